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

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define NIMBREL_AVX2_LOOPS 1
#endif

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

// ---- AVX2 loops (x86-64): each handles whole blocks of 16 frames and
// returns how many frames it did. At 512 frames they run 2-5x faster than
// the portable loops; the memcpy-relative speed targets need that.
#ifdef NIMBREL_AVX2_LOOPS
#define NIMBREL_AVX2 __attribute__((target("avx2")))

NIMBREL_AVX2 inline __m256 loadFloats(const uint8_t* x, int64_t index) {
  return _mm256_loadu_ps(reinterpret_cast<const float*>(x + 4 * index));
}

// Q on 8 lanes: minps returns its second operand for NaN, so NaN and
// anything from 1.0 up become 1.0, exactly as in quantise().
NIMBREL_AVX2 inline __m256i quantise8(__m256 v) {
  __m256 t = _mm256_min_ps(v, _mm256_set1_ps(1.0f));
  t = _mm256_max_ps(t, _mm256_set1_ps(-1.0f));
  return _mm256_cvttps_epi32(_mm256_mul_ps(t, _mm256_set1_ps(32767.0f)));
}

// Stores 16 samples held as two vectors of 8 in-range 32-bit values.
NIMBREL_AVX2 inline void store16(int16_t* out, __m256i low, __m256i high) {
  __m256i packed = _mm256_packs_epi32(low, high);  // lane-wise order
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                      _mm256_permute4x64_epi64(packed, 0xD8));
}

// shufps works within 128-bit lanes; this puts its frames back in order.
NIMBREL_AVX2 inline __m256 inFrameOrder(__m256 v) {
  return _mm256_castpd_ps(_mm256_permute4x64_pd(_mm256_castps_pd(v), 0xD8));
}

// Frames i to i+7 of a stereo float buffer as left and right vectors.
NIMBREL_AVX2 inline void splitStereo(const uint8_t* x, int64_t i, __m256* left,
                                     __m256* right) {
  __m256 a = loadFloats(x, 2 * i), b = loadFloats(x, 2 * i + 8);
  *left = inFrameOrder(_mm256_shuffle_ps(a, b, 0x88));
  *right = inFrameOrder(_mm256_shuffle_ps(a, b, 0xDD));
}

NIMBREL_AVX2 int64_t floatMonoAvx2(const uint8_t* x, int64_t frames,
                                   int16_t* out) {
  int64_t i = 0;
  for (; i + 16 <= frames; i += 16) {
    store16(out + i, quantise8(loadFloats(x, i)),
            quantise8(loadFloats(x, i + 8)));
  }
  return i;
}

NIMBREL_AVX2 int64_t floatStereoAvx2(const uint8_t* x, int64_t frames,
                                     int16_t* out) {
  const __m256 zero = _mm256_setzero_ps(), half = _mm256_set1_ps(0.5f);
  __m256i q[2];
  int64_t i = 0;
  for (; i + 16 <= frames; i += 16) {
    for (int k = 0; k < 2; ++k) {
      __m256 left, right;
      splitStereo(x, i + 8 * k, &left, &right);
      __m256 s = _mm256_add_ps(_mm256_add_ps(zero, left), right);
      q[k] = quantise8(_mm256_mul_ps(s, half));  // x * 0.5 rounds as x / 2
    }
    store16(out + i, q[0], q[1]);
  }
  return i;
}

NIMBREL_AVX2 int64_t integerStereoAvx2(const uint8_t* x, int64_t frames,
                                       int16_t* out) {
  const __m256i ones = _mm256_set1_epi16(1);
  __m256i q[2];
  int64_t i = 0;
  for (; i + 16 <= frames; i += 16) {
    for (int k = 0; k < 2; ++k) {
      __m256i v = _mm256_loadu_si256(
          reinterpret_cast<const __m256i*>(x + 4 * (i + 8 * k)));
      __m256i s = _mm256_madd_epi16(v, ones);  // left + right, exact
      // Division by 2 truncating toward zero: add 1 to negative sums.
      q[k] =
          _mm256_srai_epi32(_mm256_add_epi32(s, _mm256_srli_epi32(s, 31)), 1);
    }
    store16(out + i, q[0], q[1]);
  }
  return i;
}

// Adds frames i to i+7 of a float buffer of W channels to `sum`, channel by
// channel.
template <int64_t W>
NIMBREL_AVX2 inline __m256 addFrames8(const uint8_t* x, int64_t i, __m256 sum) {
  if constexpr (W == 2) {
    __m256 left, right;
    splitStereo(x, i, &left, &right);
    return _mm256_add_ps(_mm256_add_ps(sum, left), right);
  } else {
    return _mm256_add_ps(sum, loadFloats(x, i));
  }
}

// The several-buffer mix of float buffers, 16 frames at a time through
// every buffer, so the sums stay in registers instead of going through the
// accumulator (2-3x faster at 512 frames). Same additions in the same order
// per frame. Only for buffers of 1 or 2 channels; returns 0 otherwise.
NIMBREL_AVX2 int64_t mixSeveralFloatAvx2(const audio::Buffer* tap,
                                         int64_t count, int64_t frames, float r,
                                         int16_t* out) {
  for (int64_t k = 0; k < count; ++k) {
    if (tap[k].numberChannels > 2) return 0;
  }
  const __m256 reciprocal = _mm256_set1_ps(r);
  int64_t i = 0;
  for (; i + 16 <= frames; i += 16) {
    __m256 low = _mm256_setzero_ps(), high = _mm256_setzero_ps();
    for (int64_t k = 0; k < count; ++k) {
      const uint8_t* x = bytesOf(tap[k]);
      if (tap[k].numberChannels == 2) {
        low = addFrames8<2>(x, i, low);
        high = addFrames8<2>(x, i + 8, high);
      } else {
        low = addFrames8<1>(x, i, low);
        high = addFrames8<1>(x, i + 8, high);
      }
    }
    store16(out + i, quantise8(_mm256_mul_ps(low, reciprocal)),
            quantise8(_mm256_mul_ps(high, reciprocal)));
  }
  return i;
}

// Frames at to at+7 of an integer buffer of W channels, summed per frame.
template <int64_t W>
NIMBREL_AVX2 inline __m256i integerSums8(const uint8_t* x, int64_t at) {
  if constexpr (W == 2) {
    __m256i v =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(x + 4 * at));
    return _mm256_madd_epi16(v, _mm256_set1_epi16(1));
  } else {
    __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(x + 2 * at));
    return _mm256_cvtepi16_epi32(v);
  }
}

// Q(sum x 2^-15 x r), with 2^-15 x r folded into one exact factor.
NIMBREL_AVX2 inline __m256i integerMean8(__m256i sum, __m256 scaledReciprocal) {
  return quantise8(_mm256_mul_ps(_mm256_cvtepi32_ps(sum), scaledReciprocal));
}

template <int64_t W0, int64_t W1>
NIMBREL_AVX2 int64_t mixTwoIntegerAvx2(const uint8_t* x0, const uint8_t* x1,
                                       int64_t frames, __m256 scaledReciprocal,
                                       int16_t* out) {
  int64_t i = 0;
  for (; i + 16 <= frames; i += 16) {
    __m256i low =
        _mm256_add_epi32(integerSums8<W0>(x0, i), integerSums8<W1>(x1, i));
    __m256i high = _mm256_add_epi32(integerSums8<W0>(x0, i + 8),
                                    integerSums8<W1>(x1, i + 8));
    store16(out + i, integerMean8(low, scaledReciprocal),
            integerMean8(high, scaledReciprocal));
  }
  return i;
}

// The several-buffer mix of integer buffers. Each sample scaled by 1/32768
// is a multiple of 2^-15, so while c < 512 every partial float sum is exact:
// it equals the integer sum scaled once. Summing integers gives the same
// samples 2-3x faster; two buffers, the usual case, get their own loop.
NIMBREL_AVX2 int64_t mixSeveralIntegerAvx2(const audio::Buffer* tap,
                                           int64_t count, int64_t c,
                                           int64_t frames, float r,
                                           int16_t* out) {
  if (c >= 512) return 0;
  for (int64_t k = 0; k < count; ++k) {
    if (tap[k].numberChannels > 2) return 0;
  }
  const __m256 scaledReciprocal = _mm256_set1_ps(r / 32768.0f);  // exact
  if (count == 2) {
    const uint8_t* x0 = bytesOf(tap[0]);
    const uint8_t* x1 = bytesOf(tap[1]);
    const bool stereo0 = tap[0].numberChannels == 2;
    const bool stereo1 = tap[1].numberChannels == 2;
    if (stereo0 && stereo1)
      return mixTwoIntegerAvx2<2, 2>(x0, x1, frames, scaledReciprocal, out);
    if (stereo0)
      return mixTwoIntegerAvx2<2, 1>(x0, x1, frames, scaledReciprocal, out);
    if (stereo1)
      return mixTwoIntegerAvx2<1, 2>(x0, x1, frames, scaledReciprocal, out);
    return mixTwoIntegerAvx2<1, 1>(x0, x1, frames, scaledReciprocal, out);
  }
  int64_t i = 0;
  for (; i + 16 <= frames; i += 16) {
    __m256i low = _mm256_setzero_si256(), high = _mm256_setzero_si256();
    for (int64_t k = 0; k < count; ++k) {
      const uint8_t* x = bytesOf(tap[k]);
      if (tap[k].numberChannels == 2) {
        low = _mm256_add_epi32(low, integerSums8<2>(x, i));
        high = _mm256_add_epi32(high, integerSums8<2>(x, i + 8));
      } else {
        low = _mm256_add_epi32(low, integerSums8<1>(x, i));
        high = _mm256_add_epi32(high, integerSums8<1>(x, i + 8));
      }
    }
    store16(out + i, integerMean8(low, scaledReciprocal),
            integerMean8(high, scaledReciprocal));
  }
  return i;
}

bool processorHasAvx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#else
bool processorHasAvx2() { return false; }
#endif

const bool kHasAvx2 = processorHasAvx2();
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
#ifdef NIMBREL_AVX2_LOOPS
  if (vectorLoops.load(std::memory_order_relaxed)) {
    if constexpr (sizeof(T) == 4) {
      done = mixSeveralFloatAvx2(tap, count, frames, r, out);
    } else {
      done = mixSeveralIntegerAvx2(tap, count, c, frames, r, out);
    }
  }
#endif
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
#ifdef NIMBREL_AVX2_LOOPS
  if (vectorLoops.load(std::memory_order_relaxed)) {
    if (isFloat && c == 1) done = floatMonoAvx2(x, frames, out);
    if (isFloat && c == 2) done = floatStereoAvx2(x, frames, out);
    if (!isFloat && c == 2) done = integerStereoAvx2(x, frames, out);
  }
#endif
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
