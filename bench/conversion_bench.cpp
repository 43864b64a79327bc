// Speed of each conversion path against a memcpy of the same source bytes,
// with the same-run ratio printed at the end (targets: float 2x, others 4x).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>

#include "bench/bench_support.h"
#include "bench/ratio_reporter.h"
#include "tap/conversion.h"

namespace {

struct Path {
  const char* name;
  bool isFloat;
  std::vector<uint32_t> channels;  // one entry per tap buffer
  double target;                   // allowed ratio to memcpy
};

const Path kPaths[] = {
    {"float_mono", true, {1}, 2.0},       {"float_stereo", true, {2}, 2.0},
    {"int_mono", false, {1}, 4.0},        {"int_stereo", false, {2}, 4.0},
    {"several_float", true, {1, 1}, 2.0}, {"several_int", false, {1, 1}, 4.0},
};
const int64_t kFrames[] = {512, 4096};

struct Source {
  std::vector<std::vector<uint8_t>> data;
  std::vector<audio::Buffer> buffers;
  size_t bytes = 0;
};

Source makeSource(const Path& path, int64_t frames) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
  Source source;
  for (uint32_t channels : path.channels) {
    size_t count = size_t(frames) * channels;
    std::vector<uint8_t> bytes(count * (path.isFloat ? 4 : 2));
    for (size_t k = 0; k < count; ++k) {
      if (path.isFloat) {
        float v = sample(random);
        std::memcpy(&bytes[4 * k], &v, 4);
      } else {
        int16_t v = int16_t(sample(random) * 32767.0f);
        std::memcpy(&bytes[2 * k], &v, 2);
      }
    }
    source.bytes += bytes.size();
    source.data.push_back(std::move(bytes));
  }
  for (size_t k = 0; k < source.data.size(); ++k) {
    source.buffers.push_back({path.channels[k], uint32_t(source.data[k].size()),
                              source.data[k].data()});
  }
  return source;
}

void convertBench(benchmark::State& state, const Path& path, int64_t frames,
                  bool vectorLoops) {
  if (tap::useVectorLoops(vectorLoops) != vectorLoops) {
    state.SkipWithError("no vector loops on this processor");
    return;
  }
  Source source = makeSource(path, frames);
  tap::ConversionInput input{0, path.isFloat, path.isFloat ? 4 : 2};
  std::vector<int16_t> scratch(65536);
  std::vector<float> accumulator(65536);
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        tap::convertCycle(source.buffers, input, scratch, accumulator));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(source.bytes));
  tap::useVectorLoops(true);
}

void memcpyBench(benchmark::State& state, const Path& path, int64_t frames) {
  Source source = makeSource(path, frames);
  std::vector<uint8_t> from(source.bytes), to(source.bytes);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), from.size());
    benchmark::DoNotOptimize(to.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(source.bytes));
}

}  // namespace

int main(int argc, char** argv) {
  for (const Path& path : kPaths) {
    for (int64_t frames : kFrames) {
      std::string suffix =
          std::string(path.name) + "/" + std::to_string(frames);
      benchmark::RegisterBenchmark(("memcpy/" + suffix).c_str(), memcpyBench,
                                   path, frames);
      benchmark::RegisterBenchmark(("convert/" + suffix).c_str(), convertBench,
                                   path, frames, true);
      // The portable loops, which other processors (arm64 among them) run.
      benchmark::RegisterBenchmark(("portable/" + suffix).c_str(), convertBench,
                                   path, frames, false);
    }
  }
  benchmark::Initialize(&argc, argv);
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  struct Worst {
    double ratio = 0;
    std::string path;
  } worstFloat, worstOther;
  std::printf(
      "\nconversion / memcpy of the same source bytes (same run; "
      "portable loops for information):\n");
  for (const Path& path : kPaths) {
    for (int64_t frames : kFrames) {
      std::string suffix =
          std::string(path.name) + "/" + std::to_string(frames);
      auto convert = reporter.time("convert/" + suffix);
      auto copy = reporter.time("memcpy/" + suffix);
      if (!convert || !copy) continue;
      double ratio = *convert / *copy;
      Worst& worst = path.isFloat ? worstFloat : worstOther;
      if (ratio > worst.ratio) worst = {ratio, suffix};
      std::printf("  %-22s %6.2fx  (target %.0fx) %-4s", suffix.c_str(), ratio,
                  path.target, ratio <= path.target ? "ok" : "OVER");
      if (auto portable = reporter.time("portable/" + suffix)) {
        std::printf("  portable %6.2fx", *portable / *copy);
      }
      std::printf("\n");
    }
  }
  // One row per target for scripts/bench: the worst path of each kind.
  for (const auto& [worst, kind, target] :
       {std::tuple{worstFloat, "float", 2.0}, {worstOther, "int16", 4.0}}) {
    if (worst.path.empty()) continue;
    bench::summary(
        std::string("conversion / memcpy, ") + kind + " paths (worst)",
        bench::format("%.2fx", worst.ratio) + " (" + worst.path + ")",
        bench::format("<= %.0fx", target), worst.ratio <= target);
  }
  benchmark::Shutdown();
  return 0;
}
