// The I/O block: one cycle's buffers through the conversion into the queue.
#include "tap/io_block.h"

#include <span>

namespace tap {

void ioBlock(void* context, const audio::BufferList* input) {
  auto* state = static_cast<IOBlockState*>(context);
  if (input == nullptr || input->numberBuffers == 0) return;
  // Through a pointer: the list holds numberBuffers records, however many
  // its declared array has.
  const audio::Buffer* buffers = input->buffers;
  int64_t frames = convertCycle(
      std::span<const audio::Buffer>(buffers, input->numberBuffers),
      state->input, state->scratch, state->accumulator);
  if (frames > 0) {
    state->queue->push(state->scratch.data(), 2 * frames);
  }
}

}  // namespace tap
