// Peak resident memory (VmHWM) of the real nimbrel-tap and nimbrel-probe on
// the simulated default machine after a few seconds of running, with a fast
// reader on their output. Targets: tap under 8 MiB, probe under 4 MiB.
// Baseline, same run: cat(1) on a pipe, the floor of any dynamic program.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "bench/bench_support.h"
#include "testing/process_stats.h"

namespace {

double runSeconds = 3.0;
std::string tapPath = bench::builtProgram("tap/nimbrel-tap");
std::string probePath = bench::builtProgram("probe/nimbrel-probe");

struct Memory {
  long peakKb = -1;
  long residentKb = -1;
};
std::map<std::string, Memory> measured;
std::map<std::string, std::string> failures;

// Runs `program` for runSeconds while draining its output, reads its
// VmHWM, then ends it by closing its stdin.
std::optional<Memory> measure(const std::string& program,
                              const std::vector<std::string>& args,
                              std::string& error) {
  std::optional<bench::Child> child = bench::start(program, args, std::nullopt);
  if (!child) {
    error = "cannot start " + program;
    return std::nullopt;
  }
  auto drain = [](int fd) {
    static thread_local char buffer[1 << 16];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
  };
  std::thread out(drain, child->out);
  std::thread err(drain, child->err);
  std::this_thread::sleep_for(std::chrono::duration<double>(runSeconds));
  Memory memory{long(procstat::peakResidentKiB(child->pid).value_or(-1)),
                long(procstat::residentKiB(child->pid).value_or(-1))};
  bench::closeStdinAndWait(*child);
  out.join();
  err.join();
  bench::closeOutputs(*child);
  if (memory.peakKb < 0 || memory.residentKb < 0) {
    error = program + " ended before its memory could be read";
    return std::nullopt;
  }
  return memory;
}

void residentMemory(benchmark::State& state, std::string name,
                    std::string program, std::vector<std::string> args) {
  for (auto _ : state) {
    std::string error;
    std::optional<Memory> memory = measure(program, args, error);
    if (!memory) {
      failures[name] = error;
      state.SkipWithError(error.c_str());
      break;
    }
    measured[name] = *memory;
    state.counters["VmHWM_kB"] = double(memory->peakKb);
    state.counters["VmRSS_kB"] = double(memory->residentKb);
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int k = 1; k < argc; ++k) {
    if (std::strncmp(argv[k], "--tap=", 6) == 0) tapPath = argv[k] + 6;
    if (std::strncmp(argv[k], "--probe=", 8) == 0) probePath = argv[k] + 8;
    if (std::strncmp(argv[k], "--seconds=", 10) == 0)
      runSeconds = std::atof(argv[k] + 10);
  }
  for (auto [name, program, args] :
       {std::tuple<std::string, std::string, std::vector<std::string>>{
            "cat", "/bin/cat", {}},
        {"nimbrel-tap", tapPath, {}},
        {"nimbrel-probe", probePath, {"--interval-ms", "200"}}}) {
    benchmark::RegisterBenchmark(("peakRss/" + name).c_str(), residentMemory,
                                 name, program, args)
        ->Iterations(1)
        ->Repetitions(1)
        ->Unit(benchmark::kSecond);
  }
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();

  const long floorKb = measured.count("cat") ? measured["cat"].peakKb : -1;
  std::printf(
      "\npeak resident memory (VmHWM) after %.0f s on the default machine:\n",
      runSeconds);
  for (auto [name, targetKb] :
       {std::pair<std::string, long>{"nimbrel-tap", 8192},
        {"nimbrel-probe", 4096}}) {
    const std::string figure = name + " peak RSS (VmHWM)";
    const std::string target = "< " + std::to_string(targetKb / 1024) + " MiB";
    if (!measured.count(name)) {
      bench::summary(figure, "not measured: " + failures[name], target, false);
      continue;
    }
    const Memory& m = measured[name];
    std::printf("  %-14s %6ld kB (target < %ld kB)", name.c_str(), m.peakKb,
                targetKb);
    if (floorKb > 0) {
      std::printf("; cat on a pipe %ld kB, ratio %.2fx", floorKb,
                  double(m.peakKb) / double(floorKb));
    }
    std::printf("\n");
    bench::summary(figure, bench::format("%.2f MiB", double(m.peakKb) / 1024),
                   target, m.peakKb < targetKb);
  }
  benchmark::Shutdown();
  return 0;
}
