// The I/O block: a thin adapter from the platform's I/O callback to the
// conversion and the output queue.
#ifndef NIMBREL_TAP_IO_BLOCK_H_
#define NIMBREL_TAP_IO_BLOCK_H_

#include <cstdint>
#include <vector>

#include "audio/hardware.h"
#include "tap/conversion.h"
#include "tap/output_queue.h"

namespace tap {

/// Everything the I/O block reads or writes, handed to it as its context.
/// Start-up fills it (the work arrays with 65,536 zeros each) before the
/// I/O proc exists and never frees it.
struct IOBlockState {
  ConversionInput input;
  std::vector<int16_t> scratch;
  std::vector<float> accumulator;
  OutputQueue* queue = nullptr;
};

/// An audio::IOFunction: converts one cycle of `input` and pushes 2 x frames
/// bytes into the state's queue. `context` is an IOBlockState*.
void ioBlock(void* context, const audio::BufferList* input);

}  // namespace tap

#endif  // NIMBREL_TAP_IO_BLOCK_H_
