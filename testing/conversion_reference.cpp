// The conversion rules in the order they are stated: find the tap buffers,
// count the frames, then one of five paths per output sample.
#include "testing/conversion_reference.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace reference {
namespace {

// A buffer's channel count, with 0 counting as 1.
int64_t width(const audio::Buffer& buffer) {
  return buffer.numberChannels == 0 ? 1 : int64_t(buffer.numberChannels);
}

// Sample j of a buffer, read as the source format says.
float floatAt(const audio::Buffer& buffer, int64_t j) {
  float v;
  std::memcpy(&v, static_cast<const uint8_t*>(buffer.data) + 4 * j, 4);
  return v;
}
int16_t intAt(const audio::Buffer& buffer, int64_t j) {
  int16_t v;
  std::memcpy(&v, static_cast<const uint8_t*>(buffer.data) + 2 * j, 2);
  return v;
}

// The index of the first tap buffer; the list is not empty.
int64_t firstTapBuffer(std::span<const audio::Buffer> buffers,
                       int64_t subDeviceInputChannels) {
  const int64_t count = int64_t(buffers.size());
  if (subDeviceInputChannels == 0) return 0;
  if (subDeviceInputChannels < 0) return count - 1;
  int64_t total = 0;
  int64_t walked = 0;
  while (walked < count && total < subDeviceInputChannels) {
    total += width(buffers[size_t(walked)]);
    ++walked;
  }
  if (total == subDeviceInputChannels && walked < count) return walked;
  return count - 1;  // overshot, short, or nothing follows
}

}  // namespace

int16_t quantize(float v) {
  if (!(v < 1.0f)) return 32767;  // 1.0 and above, and NaN
  const float t = std::max(v, -1.0f) * 32767.0f;
  return int16_t(std::trunc(t));
}

Conversion convert(std::span<const audio::Buffer> buffers,
                   const tap::ConversionInput& input) {
  Conversion result;
  if (buffers.empty()) return result;
  const int64_t count = int64_t(buffers.size());
  const int64_t first = firstTapBuffer(buffers, input.subDeviceInputChannels);

  // Frames: the fewest whole frames of any tap buffer; c: all their channels.
  int64_t frames = -1;
  int64_t c = 0;
  for (int64_t k = first; k < count; ++k) {
    const audio::Buffer& buffer = buffers[size_t(k)];
    if (buffer.data == nullptr) return result;
    const int64_t bufferFrames = int64_t(buffer.dataByteSize) /
                                 (width(buffer) * input.bytesPerSourceSample);
    frames = frames < 0 ? bufferFrames : std::min(frames, bufferFrames);
    c += width(buffer);
  }
  if (frames < 1) return result;
  result.samples.assign(size_t(frames), 0);

  if (first == count - 1) {
    const audio::Buffer& buffer = buffers[size_t(first)];
    for (int64_t i = 0; i < frames; ++i) {
      int16_t& out = result.samples[size_t(i)];
      if (input.isFloat && c == 1) {
        out = quantize(floatAt(buffer, i));
      } else if (input.isFloat) {
        float s = 0.0f;
        for (int64_t l = 0; l < c; ++l) s += floatAt(buffer, i * c + l);
        out = quantize(s / float(c));
      } else if (c == 1) {
        out = intAt(buffer, i);
      } else {
        int64_t s = 0;
        for (int64_t l = 0; l < c; ++l) s += intAt(buffer, i * c + l);
        // C++ division truncates toward zero.
        out = int16_t(std::clamp<int64_t>(s / c, -32768, 32767));
      }
    }
    return result;
  }

  // Several buffers: single-precision sums, buffer by buffer and frame by
  // frame, then a multiplication by the reciprocal of c.
  result.mixed = true;
  std::vector<float> accumulator(size_t(frames), 0.0f);
  for (int64_t k = first; k < count; ++k) {
    const audio::Buffer& buffer = buffers[size_t(k)];
    const int64_t w = width(buffer);
    for (int64_t i = 0; i < frames; ++i) {
      for (int64_t l = 0; l < w; ++l) {
        accumulator[size_t(i)] +=
            input.isFloat ? floatAt(buffer, i * w + l)
                          : float(intAt(buffer, i * w + l)) / 32768.0f;
      }
    }
  }
  const float r = 1.0f / float(c);
  for (int64_t i = 0; i < frames; ++i)
    result.samples[size_t(i)] = quantize(accumulator[size_t(i)] * r);
  return result;
}

}  // namespace reference
