// Heap allocations on the tap's audio and writer paths after warm-up: the
// I/O block converting and pushing cycles while the real writer loop drains
// the queue into a pipe that a reader empties. Target: 0. Baseline, same
// run: one std::string of 64 bytes per cycle, to show the counter counts.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "bench/bench_support.h"
#include "tap/io_block.h"
#include "tap/output_queue.h"
#include "testing/counting_allocator.h"

namespace {

constexpr uint32_t kFrames = 512;
// The writer thread's allocations count as well.
constexpr auto kEveryThread = heap::AllocationWindow::Threads::kEveryOne;

struct Counted {
  int64_t cycles = 0;
  int64_t allocations = 0;
};
Counted audioPath, baseline;

// One cycle as the tap's aggregate device delivers it: two device channels,
// then the tap's stereo float buffer (the several-channel mix).
struct Cycle {
  std::vector<float> device = std::vector<float>(2 * kFrames, 0.0f);
  std::vector<float> tap = std::vector<float>(2 * kFrames, 0.25f);
  std::vector<uint8_t> bytes =
      std::vector<uint8_t>(sizeof(audio::BufferList) + sizeof(audio::Buffer));
  audio::BufferList* list() {
    auto* l = reinterpret_cast<audio::BufferList*>(bytes.data());
    l->numberBuffers = 2;
    audio::Buffer* buffers = l->buffers;
    buffers[0] = {2, uint32_t(device.size() * 4), device.data()};
    buffers[1] = {2, uint32_t(tap.size() * 4), tap.data()};
    return l;
  }
};

void audioAndWriterPaths(benchmark::State& state) {
  // Never destroyed, as in the tap: the writer may still hold it.
  auto* queue = new tap::OutputQueue;
  tap::IOBlockState block{{2, true, 4},
                          std::vector<int16_t>(65536),
                          std::vector<float>(65536),
                          queue};
  int fds[2];
  if (pipe(fds) != 0) {
    state.SkipWithError("no pipe");
    return;
  }
  std::thread writer([queue, fd = fds[1]] { tap::writerLoop(*queue, fd); });
  std::thread reader([fd = fds[0]] {
    static char buffer[1 << 16];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
  });
  Cycle cycle;
  const audio::BufferList* list = cycle.list();
  // Warm-up: the writer's first drain sizes its spare ring.
  for (int k = 0; k < 100; ++k) tap::ioBlock(&block, list);
  while (queue->queuedBytes() > 0) std::this_thread::yield();

  for (auto _ : state) {
    tap::ioBlock(&block, list);
    // About one drain per cycle, as at the device's pace, without sleeping.
    if (queue->queuedBytes() > 64 * 1024) std::this_thread::yield();
  }

  // Counted apart from the timed loop, so that nothing of the benchmark
  // library is counted: this thread runs only the I/O block meanwhile, and
  // the window ends after the writer has written everything and stopped.
  constexpr int64_t kCountedCycles = 10000;
  int64_t allocations;
  bool written;
  {
    heap::AllocationWindow window(kEveryThread);
    for (int64_t k = 0; k < kCountedCycles; ++k) {
      tap::ioBlock(&block, list);
      if (queue->queuedBytes() > 64 * 1024) std::this_thread::yield();
    }
    queue->finish();
    written = queue->waitUntilWritten(std::chrono::seconds(20));
    allocations = window.count();
  }
  audioPath.cycles += kCountedCycles;
  audioPath.allocations += allocations;
  state.counters["allocations"] = double(allocations);
  if (!written) state.SkipWithError("the writer did not finish");

  writer.join();
  close(fds[1]);
  reader.join();
  close(fds[0]);
}
BENCHMARK(audioAndWriterPaths);

// Shows the counter works: one heap string per iteration.
void oneStringPerCycle(benchmark::State& state) {
  for (auto _ : state) {
    std::string text(64, 'x');
    benchmark::DoNotOptimize(text.data());
  }
  constexpr int64_t kCountedCycles = 10000;
  int64_t allocations;
  {
    heap::AllocationWindow window(kEveryThread);
    for (int64_t k = 0; k < kCountedCycles; ++k) {
      std::string text(64, 'x');
      benchmark::DoNotOptimize(text.data());
    }
    allocations = window.count();
  }
  baseline.cycles += kCountedCycles;
  baseline.allocations += allocations;
  state.counters["allocations"] = double(allocations);
}
BENCHMARK(oneStringPerCycle);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  std::printf("\nheap allocations after warm-up (same run):\n");
  std::printf("  audio and writer paths: %lld in %lld cycles (target 0)\n",
              (long long)audioPath.allocations, (long long)audioPath.cycles);
  std::printf(
      "  baseline, one 64-byte string per cycle: %lld in %lld cycles (%.2f per "
      "cycle)\n",
      (long long)baseline.allocations, (long long)baseline.cycles,
      baseline.cycles ? double(baseline.allocations) / double(baseline.cycles)
                      : 0.0);
  const bool counterWorks =
      baseline.cycles > 0 && baseline.allocations >= baseline.cycles;
  bench::summary(
      "allocations, audio + writer paths",
      std::to_string(audioPath.allocations) + " in " +
          std::to_string(audioPath.cycles) + " cycles",
      "0", counterWorks && audioPath.cycles > 0 && audioPath.allocations == 0);
  benchmark::Shutdown();
  return 0;
}
