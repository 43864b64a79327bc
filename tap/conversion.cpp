// The I/O block's conversion: find the tap's buffers in the cycle, average
// their channels and write one 16-bit sample per frame into `scratch`.

// GCC at -O2 keeps the portable loops scalar: it will not speculate the
// clamp's comparisons under trapping math and its cheap cost model rejects
// the rest. No FP trap is ever enabled, so results are the same; 3-6x faster.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-trapping-math", "vect-cost-model=dynamic")
#endif

#include "tap/conversion.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <type_traits>

#include "tap/conversion_avx2.h"

namespace tap {
namespace {

// Source samples are read with memcpy: the platform promises no alignment,
// and the compiler still turns these into plain vector loads.
template <typename T>
inline T load(const uint8_t* data, int64_t index) {
  T value;
  std::memcpy(&value, data + index * int64_t(sizeof(T)), sizeof(T));
  return value;
}

// A source sample as the several-buffer mix adds it: integers scaled by
// 1/32768, which is exact.
template <typename T>
inline float mixSample(const uint8_t* data, int64_t index) {
  if constexpr (sizeof(T) == 4) {
    return load<float>(data, index);
  } else {
    return float(load<int16_t>(data, index)) / 32768.0f;
  }
}

inline int64_t effectiveChannels(const audio::Buffer& buffer) {
  return buffer.numberChannels == 0 ? 1 : int64_t(buffer.numberChannels);
}

inline const uint8_t* bytesOf(const audio::Buffer& buffer) {
  return static_cast<const uint8_t*>(buffer.data);
}

// Branch-free form of floatToSample so the loops below vectorise (both
// comparisons run unconditionally): NaN fails `v < 1` and takes the 32767
// side, as does anything from 1.0 up.
inline int16_t quantise(float v) {
  float limited = std::max(v, -1.0f);
  float t = v < 1.0f ? limited : 1.0f;
  return int16_t(int32_t(t * 32767.0f));
}

int64_t firstTapBuffer(const audio::Buffer* buffers, int64_t count,
                       int64_t subDeviceInputChannels) {
  if (subDeviceInputChannels == 0) return 0;
  if (subDeviceInputChannels < 0) return count - 1;
  int64_t total = 0;
  int64_t walked = 0;
  while (walked < count && total < subDeviceInputChannels) {
    total += effectiveChannels(buffers[walked]);
    ++walked;
  }
  if (total == subDeviceInputChannels && walked < count) return walked;
  return count - 1;
}

// How the several-buffer mix treats one buffer: the first starts the sums
// from 0.0 (so the accumulator needs no separate clearing pass), the last
// finishes them straight into the output.
enum class Mix { kFirst, kMiddle, kLast };

// ---- Portable loops: each starts at frame `from`, where the vector loops
// (if any) stopped.

void floatMono(const uint8_t* x, int64_t from, int64_t frames, int16_t* out) {
  for (int64_t i = from; i < frames; ++i) out[i] = quantise(load<float>(x, i));
}

// A true division by c, as the single-buffer path requires; for c = 2 the
// compiler may use the exact reciprocal 0.5, which rounds the same.
template <int64_t C>
void floatInterleaved(const uint8_t* x, int64_t c, int64_t from, int64_t frames,
                      int16_t* out) {
  const int64_t width = C > 0 ? C : c;
  const float divisor = float(width);
  for (int64_t i = from; i < frames; ++i) {
    float s = 0.0f;
    for (int64_t l = 0; l < width; ++l) s += load<float>(x, i * width + l);
    out[i] = quantise(s / divisor);
  }
}

// 64-bit sums, truncating division; for c = 2 a 32-bit sum cannot overflow
// and gives the same mean, and it vectorises.
template <int64_t C>
void integerInterleaved(const uint8_t* x, int64_t c, int64_t from,
                        int64_t frames, int16_t* out) {
  using Sum = std::conditional_t<(C > 0), int32_t, int64_t>;
  const int64_t width = C > 0 ? C : c;
  for (int64_t i = from; i < frames; ++i) {
    Sum s = 0;
    for (int64_t l = 0; l < width; ++l) s += load<int16_t>(x, i * width + l);
    out[i] = int16_t(std::clamp<Sum>(Sum(s / Sum(width)), -32768, 32767));
  }
}

// Adds one buffer's channels into the sums, channel by channel in order.
template <Mix mode, typename T, int64_t W>
void mixBuffer(const uint8_t* x, int64_t w, int64_t from, int64_t frames,
               float* acc, float r, int16_t* out) {
  const int64_t width = W > 0 ? W : w;
  for (int64_t i = from; i < frames; ++i) {
    float a = mode == Mix::kFirst ? 0.0f : acc[i];
    for (int64_t l = 0; l < width; ++l) a += mixSample<T>(x, i * width + l);
    if constexpr (mode == Mix::kLast) {
      out[i] = quantise(a * r);
    } else {
      acc[i] = a;
    }
  }
}

const bool kHasAvx2 = avx2::available();
std::atomic<bool> vectorLoops{kHasAvx2};

template <Mix mode, typename T>
void mixOne(const audio::Buffer& buffer, int64_t done, int64_t frames,
            float* acc, float r, int16_t* out) {
  const uint8_t* x = bytesOf(buffer);
  const int64_t w = effectiveChannels(buffer);
  if (w == 1) {
    mixBuffer<mode, T, 1>(x, w, done, frames, acc, r, out);
  } else if (w == 2) {
    mixBuffer<mode, T, 2>(x, w, done, frames, acc, r, out);
  } else {
    mixBuffer<mode, T, 0>(x, w, done, frames, acc, r, out);
  }
}

template <typename T>
void mixSeveral(const audio::Buffer* tap, int64_t count, int64_t c,
                int64_t frames, std::vector<float>& accumulator, int16_t* out) {
  if (int64_t(accumulator.size()) < frames) {
    accumulator.assign(size_t(2 * frames), 0.0f);
  }
  float* acc = accumulator.data();
  // Several buffers multiply by the single-precision reciprocal, unlike the
  // single-buffer path, which divides.
  const float r = 1.0f / float(c);
  int64_t done = 0;
  if (vectorLoops.load(std::memory_order_relaxed)) {
    if constexpr (sizeof(T) == 4) {
      done = avx2::mixSeveralFloat(tap, count, frames, r, out);
    } else {
      done = avx2::mixSeveralInteger(tap, count, c, frames, r, out);
    }
  }
  mixOne<Mix::kFirst, T>(tap[0], done, frames, acc, r, out);
  for (int64_t k = 1; k + 1 < count; ++k) {
    mixOne<Mix::kMiddle, T>(tap[k], done, frames, acc, r, out);
  }
  mixOne<Mix::kLast, T>(tap[count - 1], done, frames, acc, r, out);
}

void convertSingle(const audio::Buffer& tap, bool isFloat, int64_t c,
                   int64_t frames, int16_t* out) {
  const uint8_t* x = bytesOf(tap);
  if (!isFloat && c == 1) {
    std::memcpy(out, x, size_t(frames) * sizeof(int16_t));  // bit for bit
    return;
  }
  int64_t done = 0;
  if (vectorLoops.load(std::memory_order_relaxed)) {
    if (isFloat && c == 1) done = avx2::floatMono(x, frames, out);
    if (isFloat && c == 2) done = avx2::floatStereo(x, frames, out);
    if (!isFloat && c == 2) done = avx2::integerStereo(x, frames, out);
  }
  if (isFloat) {
    if (c == 1) {
      floatMono(x, done, frames, out);
    } else if (c == 2) {
      floatInterleaved<2>(x, c, done, frames, out);
    } else {
      floatInterleaved<0>(x, c, done, frames, out);
    }
  } else if (c == 2) {
    integerInterleaved<2>(x, c, done, frames, out);
  } else {
    integerInterleaved<0>(x, c, done, frames, out);
  }
}

}  // namespace

int16_t floatToSample(float v) { return quantise(v); }

bool useVectorLoops(bool enabled) {
  vectorLoops.store(enabled && kHasAvx2, std::memory_order_relaxed);
  return enabled && kHasAvx2;
}

int64_t convertCycle(std::span<const audio::Buffer> buffers,
                     const ConversionInput& input,
                     std::vector<int16_t>& scratch,
                     std::vector<float>& accumulator) {
  const audio::Buffer* list = buffers.data();
  const int64_t count = int64_t(buffers.size());
  if (count == 0 || input.bytesPerSourceSample < 1) return 0;

  const int64_t first =
      firstTapBuffer(list, count, input.subDeviceInputChannels);
  const audio::Buffer* tap = list + first;
  const int64_t tapCount = count - first;

  int64_t frames = 0;
  int64_t c = 0;
  for (int64_t k = 0; k < tapCount; ++k) {
    if (tap[k].data == nullptr) return 0;
    int64_t w = effectiveChannels(tap[k]);
    int64_t bufferFrames =
        int64_t(tap[k].dataByteSize) / (w * input.bytesPerSourceSample);
    frames = k == 0 ? bufferFrames : std::min(frames, bufferFrames);
    c += w;
  }
  if (frames < 1) return 0;

  if (int64_t(scratch.size()) < frames) scratch.assign(size_t(2 * frames), 0);
  int16_t* out = scratch.data();

  if (tapCount == 1) {
    convertSingle(*tap, input.isFloat, c, frames, out);
  } else if (input.isFloat) {
    mixSeveral<float>(tap, tapCount, c, frames, accumulator, out);
  } else {
    mixSeveral<int16_t>(tap, tapCount, c, frames, accumulator, out);
  }
  return frames;
}

}  // namespace tap
