// Counts heap allocations on the audio path after warm-up: one converted and
// pushed cycle, and one drained chunk, must allocate nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "tap/io_block.h"
#include "tap/output_queue.h"

namespace {

// This replacement serves the whole tap_tests binary; it counts only on a
// thread that opened a window, so other tests and threads are unaffected.
thread_local bool counting = false;
thread_local int64_t allocations = 0;

void* allocate(std::size_t size, std::size_t alignment) {
  if (counting) ++allocations;
  if (size == 0) size = 1;
  void* p = alignment <= alignof(std::max_align_t)
                ? std::malloc(size)
                : std::aligned_alloc(alignment, (size + alignment - 1) /
                                                    alignment * alignment);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size, 0); }
void* operator new[](std::size_t size) { return allocate(size, 0); }
void* operator new(std::size_t size, std::align_val_t a) {
  return allocate(size, std::size_t(a));
}
void* operator new[](std::size_t size, std::align_val_t a) {
  return allocate(size, std::size_t(a));
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}

namespace tap {
namespace {

struct Window {
  Window() {
    allocations = 0;
    counting = true;
  }
  ~Window() { counting = false; }
};

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
    Window window;
    for (int cycle = 0; cycle < 1000; ++cycle)
      ioBlock(&state, list);  // overflows
    perCycle = allocations;
  }
  {
    Window window;
    for (int round = 0; round < 100; ++round) {
      ioBlock(&state, list);
      queue.drain(chunk);
    }
    perChunk = allocations;
  }
  EXPECT_GT(queue.droppedBytes(), 0);
  EXPECT_EQ(perCycle, 0);
  EXPECT_EQ(perChunk, 0);
}

}  // namespace
}  // namespace tap
