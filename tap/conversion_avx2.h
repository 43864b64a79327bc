// The conversion's AVX2 loops (x86-64), chosen at run time: each does whole
// blocks of 16 frames from frame 0 and returns how many frames it did, and
// the portable loops finish the rest. They give the portable loops' samples.
#ifndef NIMBREL_TAP_CONVERSION_AVX2_H_
#define NIMBREL_TAP_CONVERSION_AVX2_H_

#include <cstdint>

#include "audio/hardware.h"

namespace tap::avx2 {

/// Whether this processor runs the loops; elsewhere every loop does 0 frames.
bool available();

int64_t floatMono(const uint8_t* x, int64_t frames, int16_t* out);
int64_t floatStereo(const uint8_t* x, int64_t frames, int16_t* out);
int64_t integerStereo(const uint8_t* x, int64_t frames, int16_t* out);
/// The several-buffer mixes; `r` is 1/c in single precision.
int64_t mixSeveralFloat(const audio::Buffer* tap, int64_t count, int64_t frames,
                        float r, int16_t* out);
int64_t mixSeveralInteger(const audio::Buffer* tap, int64_t count, int64_t c,
                          int64_t frames, float r, int16_t* out);

}  // namespace tap::avx2

#endif  // NIMBREL_TAP_CONVERSION_AVX2_H_
