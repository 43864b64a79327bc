// The I/O block's conversion rules written out plainly, step by step, with
// no regard for speed: what the fuzzer compares tap::convertCycle against.
#ifndef NIMBREL_TESTING_CONVERSION_REFERENCE_H_
#define NIMBREL_TESTING_CONVERSION_REFERENCE_H_

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/hardware.h"
#include "tap/conversion.h"

namespace fuzz {

struct ReferenceResult {
  std::vector<int16_t> samples;  // empty: nothing is pushed
  bool mixed = false;            // the several-buffer path ran
};

inline int16_t referenceQ(float v) {
  if (!(v < 1.0f)) return 32767;  // 1.0 and above, and NaN
  const float t = (v > -1.0f ? v : -1.0f) * 32767.0f;
  return int16_t(std::trunc(t));
}

inline ReferenceResult referenceConversion(const std::vector<audio::Buffer>& buffers,
                                           const tap::ConversionInput& in) {
  ReferenceResult result;
  const int64_t count = int64_t(buffers.size());
  if (count == 0) return result;
  auto channels = [&](int64_t k) {
    return buffers[k].numberChannels == 0 ? int64_t(1) : int64_t(buffers[k].numberChannels);
  };

  // The first tap buffer.
  int64_t first = count - 1;
  if (in.subDeviceInputChannels == 0) {
    first = 0;
  } else if (in.subDeviceInputChannels > 0) {
    int64_t total = 0;
    int64_t walked = 0;
    while (walked < count) {
      total += channels(walked);
      ++walked;
      if (total >= in.subDeviceInputChannels) break;
    }
    if (total == in.subDeviceInputChannels && walked < count) first = walked;
  }

  // Frames and c over the tap buffers.
  int64_t frames = -1;
  int64_t c = 0;
  for (int64_t k = first; k < count; ++k) {
    if (buffers[k].data == nullptr) return result;
    const int64_t bufferFrames =
        int64_t(buffers[k].dataByteSize) / (channels(k) * in.bytesPerSourceSample);
    if (frames < 0 || bufferFrames < frames) frames = bufferFrames;
    c += channels(k);
  }
  if (frames < 1) return result;

  auto floatAt = [&](int64_t k, int64_t j) {
    float v;
    std::memcpy(&v, static_cast<const uint8_t*>(buffers[k].data) + 4 * j, 4);
    return v;
  };
  auto intAt = [&](int64_t k, int64_t j) {
    int16_t v;
    std::memcpy(&v, static_cast<const uint8_t*>(buffers[k].data) + 2 * j, 2);
    return v;
  };

  result.samples.assign(size_t(frames), 0);
  if (first == count - 1) {
    for (int64_t i = 0; i < frames; ++i) {
      if (in.isFloat && c == 1) {
        result.samples[i] = referenceQ(floatAt(first, i));
      } else if (in.isFloat) {
        float s = 0.0f;
        for (int64_t l = 0; l < c; ++l) s += floatAt(first, i * c + l);
        result.samples[i] = referenceQ(s / float(c));
      } else if (c == 1) {
        result.samples[i] = intAt(first, i);
      } else {
        int64_t s = 0;
        for (int64_t l = 0; l < c; ++l) s += intAt(first, i * c + l);
        const int64_t a = s / c;  // C++ division truncates toward zero
        result.samples[i] = int16_t(a < -32768 ? -32768 : a > 32767 ? 32767 : a);
      }
    }
    return result;
  }

  result.mixed = true;
  std::vector<float> accumulator(size_t(frames), 0.0f);
  for (int64_t k = first; k < count; ++k) {
    const int64_t w = channels(k);
    for (int64_t i = 0; i < frames; ++i) {
      for (int64_t l = 0; l < w; ++l) {
        accumulator[i] += in.isFloat ? floatAt(k, i * w + l)
                                     : float(intAt(k, i * w + l)) / 32768.0f;
      }
    }
  }
  const float r = 1.0f / float(c);
  for (int64_t i = 0; i < frames; ++i) result.samples[i] = referenceQ(accumulator[i] * r);
  return result;
}

}  // namespace fuzz

#endif  // NIMBREL_TESTING_CONVERSION_REFERENCE_H_
