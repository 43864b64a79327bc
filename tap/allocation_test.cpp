// Counts heap allocations on the audio path after warm-up: one converted and
// pushed cycle, and one drained chunk, must allocate nothing.
#include <gtest/gtest.h>

#include "tap/io_block.h"
#include "tap/output_queue.h"
#include "testing/counting_allocator.h"

namespace tap {
namespace {

// The counting allocator serves the whole tap_tests binary; windows of this
// thread only leave other tests and threads out.
constexpr auto kThisThread = heap::AllocationWindow::Threads::kThisOne;

TEST(AudioPathAllocations, NonePerCycleOrDrainedChunkAfterWarmUp) {
  OutputQueue queue;
  IOBlockState state{{2, true, 4},
                     std::vector<int16_t>(65536),
                     std::vector<float>(65536),
                     &queue};
  // Two device channels, then the tap's audio in two buffers: the
  // several-buffer path, which uses both work arrays.
  std::vector<float> device(2 * 512, 0.1f), left(512, 0.25f),
      right(2 * 512, -0.5f);
  std::vector<uint8_t> listBytes(sizeof(audio::BufferList) +
                                 2 * sizeof(audio::Buffer));
  auto* list = reinterpret_cast<audio::BufferList*>(listBytes.data());
  list->numberBuffers = 3;
  audio::Buffer* buffers = list->buffers;
  buffers[0] = {2, uint32_t(device.size() * 4), device.data()};
  buffers[1] = {1, uint32_t(left.size() * 4), left.data()};
  buffers[2] = {2, uint32_t(right.size() * 4), right.data()};

  Chunk chunk;
  ioBlock(&state, list);
  ASSERT_TRUE(queue.drain(chunk));  // warm-up: sizes the writer's spare ring

  int64_t perCycle, perChunk;
  {
    heap::AllocationWindow window(kThisThread);
    for (int cycle = 0; cycle < 1000; ++cycle)
      ioBlock(&state, list);  // overflows
    perCycle = window.count();
  }
  {
    heap::AllocationWindow window(kThisThread);
    for (int round = 0; round < 100; ++round) {
      ioBlock(&state, list);
      queue.drain(chunk);
    }
    perChunk = window.count();
  }
  EXPECT_GT(queue.droppedBytes(), 0);
  EXPECT_EQ(perCycle, 0);
  EXPECT_EQ(perChunk, 0);
}

}  // namespace
}  // namespace tap
