// The I/O block's work: the tap's buffers of one I/O cycle mixed down to
// mono signed 16-bit samples.
#ifndef NIMBREL_TAP_CONVERSION_H_
#define NIMBREL_TAP_CONVERSION_H_

#include <cstdint>
#include <span>
#include <vector>

#include "audio/hardware.h"

namespace tap {

struct ConversionInput {
  int64_t subDeviceInputChannels;
  bool isFloat;
  int64_t bytesPerSourceSample;  // 4 when isFloat, else 2
};

/// Converts one cycle into scratch[0, frames) and returns frames; returns 0
/// when the cycle yields no output. Grows `scratch` and `accumulator` to
/// twice the frames when they are too small; never shrinks them.
int64_t convertCycle(std::span<const audio::Buffer> buffers,
                     const ConversionInput& input,
                     std::vector<int16_t>& scratch,
                     std::vector<float>& accumulator);

/// Q(v): float sample to 16-bit, truncating; NaN and v >= 1 give 32767.
int16_t floatToSample(float v);

/// Turns the AVX2 loops on or off (on by default where the processor has
/// them; tests also check the portable loops). Both give the same samples.
/// Returns whether they are now on.
bool useVectorLoops(bool enabled);

}  // namespace tap

#endif  // NIMBREL_TAP_CONVERSION_H_
