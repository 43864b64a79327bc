// The conversion's AVX2 loops. At 512 frames they run 2-5x faster than the
// portable loops; the memcpy-relative speed targets need that.
#include "tap/conversion_avx2.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>

namespace tap::avx2 {
namespace {

#define NIMBREL_AVX2 __attribute__((target("avx2")))

inline const uint8_t* bytesOf(const audio::Buffer& buffer) {
  return static_cast<const uint8_t*>(buffer.data);
}

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

}  // namespace

NIMBREL_AVX2 int64_t floatMono(const uint8_t* x, int64_t frames, int16_t* out) {
  int64_t i = 0;
  for (; i + 16 <= frames; i += 16) {
    store16(out + i, quantise8(loadFloats(x, i)),
            quantise8(loadFloats(x, i + 8)));
  }
  return i;
}

NIMBREL_AVX2 int64_t floatStereo(const uint8_t* x, int64_t frames,
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

NIMBREL_AVX2 int64_t integerStereo(const uint8_t* x, int64_t frames,
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

namespace {

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

}  // namespace

// The several-buffer mix of float buffers, 16 frames at a time through
// every buffer, so the sums stay in registers instead of going through the
// accumulator (2-3x faster at 512 frames). Same additions in the same order
// per frame. Only for buffers of 1 or 2 channels; returns 0 otherwise.
NIMBREL_AVX2 int64_t mixSeveralFloat(const audio::Buffer* tap, int64_t count,
                                     int64_t frames, float r, int16_t* out) {
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

namespace {

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

NIMBREL_AVX2 inline __m256i integerSums8(const audio::Buffer& buffer,
                                         int64_t at) {
  return buffer.numberChannels == 2 ? integerSums8<2>(bytesOf(buffer), at)
                                    : integerSums8<1>(bytesOf(buffer), at);
}

// Q(sum x 2^-15 x r), with 2^-15 x r folded into one exact factor.
NIMBREL_AVX2 inline __m256i integerMean8(__m256i sum, __m256 scaledReciprocal) {
  return quantise8(_mm256_mul_ps(_mm256_cvtepi32_ps(sum), scaledReciprocal));
}

template <int64_t W0, int64_t W1>
NIMBREL_AVX2 int64_t mixTwoInteger(const uint8_t* x0, const uint8_t* x1,
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

}  // namespace

// The several-buffer mix of integer buffers. Each sample scaled by 1/32768
// is a multiple of 2^-15, so while c < 512 every partial float sum is exact:
// it equals the integer sum scaled once. Summing integers gives the same
// samples 2-3x faster; two buffers, the usual case, get their own loop.
NIMBREL_AVX2 int64_t mixSeveralInteger(const audio::Buffer* tap, int64_t count,
                                       int64_t c, int64_t frames, float r,
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
      return mixTwoInteger<2, 2>(x0, x1, frames, scaledReciprocal, out);
    if (stereo0)
      return mixTwoInteger<2, 1>(x0, x1, frames, scaledReciprocal, out);
    if (stereo1)
      return mixTwoInteger<1, 2>(x0, x1, frames, scaledReciprocal, out);
    return mixTwoInteger<1, 1>(x0, x1, frames, scaledReciprocal, out);
  }
  int64_t i = 0;
  for (; i + 16 <= frames; i += 16) {
    __m256i low = _mm256_setzero_si256(), high = _mm256_setzero_si256();
    for (int64_t k = 0; k < count; ++k) {
      low = _mm256_add_epi32(low, integerSums8(tap[k], i));
      high = _mm256_add_epi32(high, integerSums8(tap[k], i + 8));
    }
    store16(out + i, integerMean8(low, scaledReciprocal),
            integerMean8(high, scaledReciprocal));
  }
  return i;
}

bool available() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}

}  // namespace tap::avx2

#else  // no AVX2 on this processor family

namespace tap::avx2 {

bool available() { return false; }
int64_t floatMono(const uint8_t*, int64_t, int16_t*) { return 0; }
int64_t floatStereo(const uint8_t*, int64_t, int16_t*) { return 0; }
int64_t integerStereo(const uint8_t*, int64_t, int16_t*) { return 0; }
int64_t mixSeveralFloat(const audio::Buffer*, int64_t, int64_t, float,
                        int16_t*) {
  return 0;
}
int64_t mixSeveralInteger(const audio::Buffer*, int64_t, int64_t, int64_t,
                          float, int16_t*) {
  return 0;
}

}  // namespace tap::avx2

#endif
