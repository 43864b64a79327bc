// The I/O block's conversion rules written out plainly, step by step, with no
// regard for speed: what every test and fuzzer compares the tap against.
#ifndef NIMBREL_TESTING_CONVERSION_REFERENCE_H_
#define NIMBREL_TESTING_CONVERSION_REFERENCE_H_

#include <cstdint>
#include <span>
#include <vector>

#include "audio/hardware.h"
#include "tap/conversion.h"

namespace reference {

/// Q(v): a float sample to 16 bits, truncating toward zero; 1.0 and above,
/// and NaN, give 32767, so the result is never -32768.
int16_t quantize(float v);

struct Conversion {
  std::vector<int16_t> samples;  // empty: the cycle yields nothing
  bool mixed = false;            // the several-buffer path ran
};

/// What one cycle of `buffers` yields. Reads only whole samples inside each
/// buffer's byte size, at any alignment.
Conversion convert(std::span<const audio::Buffer> buffers,
                   const tap::ConversionInput& input);

}  // namespace reference

#endif  // NIMBREL_TESTING_CONVERSION_REFERENCE_H_
