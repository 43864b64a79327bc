// The I/O block's conversion: find the tap's buffers in the cycle, average
// their channels and write one 16-bit sample per frame into `scratch`.
// GCC at -O2 keeps these loops scalar: it will not speculate the clamp's
// comparisons under trapping math and its cheap cost model rejects the rest.
// No FP trap is ever enabled, so the results are the same; measured 3-6x.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-trapping-math", "vect-cost-model=dynamic")
#endif

#include "tap/conversion.h"

#include <algorithm>
#include <cstring>

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

void floatMono(const uint8_t* x, int64_t frames, int16_t* out) {
  for (int64_t i = 0; i < frames; ++i) out[i] = quantise(load<float>(x, i));
}

// A true division by c, as the single-buffer path requires; with c a
// compile-time power of two the compiler may use the exact reciprocal.
template <int64_t C>
void floatInterleaved(const uint8_t* x, int64_t frames, int16_t* out) {
  const float divisor = float(C);
  for (int64_t i = 0; i < frames; ++i) {
    float s = 0.0f;
    for (int64_t l = 0; l < C; ++l) s += load<float>(x, i * C + l);
    out[i] = quantise(s / divisor);
  }
}

void floatInterleaved(const uint8_t* x, int64_t c, int64_t frames,
                      int16_t* out) {
  if (c == 2) return floatInterleaved<2>(x, frames, out);
  const float divisor = float(c);
  for (int64_t i = 0; i < frames; ++i) {
    float s = 0.0f;
    for (int64_t l = 0; l < c; ++l) s += load<float>(x, i * c + l);
    out[i] = quantise(s / divisor);
  }
}

// Sums of a few 16-bit samples fit in 32 bits, so the fixed-width version
// gives the same truncated mean as 64-bit sums and vectorises.
template <int64_t C>
void integerInterleaved(const uint8_t* x, int64_t frames, int16_t* out) {
  for (int64_t i = 0; i < frames; ++i) {
    int32_t s = 0;
    for (int64_t l = 0; l < C; ++l) s += load<int16_t>(x, i * C + l);
    out[i] = int16_t(std::clamp<int32_t>(s / int32_t(C), -32768, 32767));
  }
}

void integerInterleaved(const uint8_t* x, int64_t c, int64_t frames,
                        int16_t* out) {
  if (c == 2) return integerInterleaved<2>(x, frames, out);
  for (int64_t i = 0; i < frames; ++i) {
    int64_t s = 0;
    for (int64_t l = 0; l < c; ++l) s += load<int16_t>(x, i * c + l);
    out[i] = int16_t(std::clamp<int64_t>(s / c, -32768, 32767));
  }
}

// Adds one buffer's channels into the accumulator, channel by channel in
// order; integers are scaled by 1/32768, which is exact.
template <typename T, int64_t W>
void accumulate(const uint8_t* x, int64_t frames, float* acc) {
  for (int64_t i = 0; i < frames; ++i) {
    float a = acc[i];
    for (int64_t l = 0; l < W; ++l) {
      if constexpr (sizeof(T) == 4) {
        a += load<T>(x, i * W + l);
      } else {
        a += float(load<T>(x, i * W + l)) / 32768.0f;
      }
    }
    acc[i] = a;
  }
}

template <typename T>
void accumulate(const uint8_t* x, int64_t w, int64_t frames, float* acc) {
  if (w == 1) return accumulate<T, 1>(x, frames, acc);
  if (w == 2) return accumulate<T, 2>(x, frames, acc);
  for (int64_t i = 0; i < frames; ++i) {
    float a = acc[i];
    for (int64_t l = 0; l < w; ++l) {
      if constexpr (sizeof(T) == 4) {
        a += load<T>(x, i * w + l);
      } else {
        a += float(load<T>(x, i * w + l)) / 32768.0f;
      }
    }
    acc[i] = a;
  }
}

void mixSeveral(const audio::Buffer* tap, int64_t count, int64_t c,
                bool isFloat, int64_t frames, std::vector<float>& accumulator,
                int16_t* out) {
  if (int64_t(accumulator.size()) < frames) {
    accumulator.assign(size_t(2 * frames), 0.0f);
  }
  float* acc = accumulator.data();
  std::fill(acc, acc + frames, 0.0f);
  for (int64_t k = 0; k < count; ++k) {
    const uint8_t* x = bytesOf(tap[k]);
    int64_t w = effectiveChannels(tap[k]);
    if (isFloat) {
      accumulate<float>(x, w, frames, acc);
    } else {
      accumulate<int16_t>(x, w, frames, acc);
    }
  }
  // Several buffers multiply by the single-precision reciprocal, unlike the
  // single-buffer path, which divides.
  const float r = 1.0f / float(c);
  for (int64_t i = 0; i < frames; ++i) out[i] = quantise(acc[i] * r);
}

}  // namespace

int16_t floatToSample(float v) { return quantise(v); }

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

  if (tapCount > 1) {
    mixSeveral(tap, tapCount, c, input.isFloat, frames, accumulator, out);
  } else if (input.isFloat) {
    if (c == 1) {
      floatMono(bytesOf(*tap), frames, out);
    } else {
      floatInterleaved(bytesOf(*tap), c, frames, out);
    }
  } else if (c == 1) {
    std::memcpy(out, tap->data, size_t(frames) * sizeof(int16_t));
  } else {
    integerInterleaved(bytesOf(*tap), c, frames, out);
  }
  return frames;
}

}  // namespace tap
