// Speed of OutputQueue::push of one 1,024-byte cycle into an empty queue and
// into a full one, where every push drops; target: full within 1.5x of empty.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <optional>
#include <string>

#include "bench/bench_support.h"
#include "bench/ratio_reporter.h"
#include "tap/output_queue.h"

namespace {

constexpr int64_t kPush = 1024;

void pushEmpty(benchmark::State& state) {
  tap::OutputQueue queue;
  tap::Chunk chunk;
  std::vector<uint8_t> bytes(kPush, 0x5A);
  int64_t pushes = 0;
  for (auto _ : state) {
    queue.push(bytes.data(), kPush);
    // Emptied well before it could overflow; the pause is paid once per 256
    // pushes.
    if (++pushes % 256 == 0) {
      state.PauseTiming();
      queue.drain(chunk);
      state.ResumeTiming();
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kPush);
}

void pushFull(benchmark::State& state) {
  tap::OutputQueue queue;
  std::vector<uint8_t> fill(tap::OutputQueue::kDefaultCapacity, 0);
  queue.push(fill.data(), int64_t(fill.size()));
  std::vector<uint8_t> bytes(kPush, 0x5A);
  for (auto _ : state)
    queue.push(bytes.data(), kPush);  // drops 1,024 each time
  if (queue.droppedBytes() != int64_t(state.iterations()) * kPush) {
    state.SkipWithError("the full queue did not drop");
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kPush);
}

BENCHMARK(pushEmpty);
BENCHMARK(pushFull);

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  auto empty = reporter.time("pushEmpty");
  auto full = reporter.time("pushFull");
  if (empty && full) {
    double ratio = *full / *empty;
    std::printf(
        "\npush of 1,024 bytes, full / empty queue (same run): %.2fx "
        "(target 1.5x) %s\n",
        ratio, ratio <= 1.5 ? "ok" : "OVER");
    bench::summary(
        "push, full / empty queue",
        bench::format("%.2fx (%.0f / %.0f ns)", ratio, *full, *empty),
        "<= 1.5x", ratio <= 1.5);
  }
  benchmark::Shutdown();
  return 0;
}
