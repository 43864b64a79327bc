// Cost of the probe: one `sample` tick over 64 audio clients whose names are
// cached (target: under 20 us), and the CPU share of the real binary at
// --interval-ms 200 (target: under 0.1% of a core), with its start-up alone.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "audio/hardware.h"
#include "audio/sim/sim.h"
#include "bench/bench_support.h"
#include "bench/ratio_reporter.h"
#include "probe/sampler.h"

extern char** environ;

namespace {

constexpr int kClients = 64;

// 64 clients of every kind: applications, plain executables, a system
// speech service; a quarter hold the microphone, most play.
std::string busyWorld() {
  std::string processes;
  for (int k = 0; k < kClients; ++k) {
    const std::string pid = std::to_string(2000 + k);
    std::string process = R"({"pid": )" + pid;
    if (k % 4 == 0) process += R"(, "input": true)";
    if (k % 4 != 3) process += R"(, "output": true)";
    if (k % 3 == 0) {
      process += R"(, "bundleID": "org.example.app)" + pid +
                 R"(", "app": {"name": "Application )" + pid + R"("})";
    } else if (k % 3 == 1) {
      process += R"(, "path": "/usr/local/bin/helper-)" + pid + R"(")";
    } else {
      process +=
          R"(, "bundleID": "com.apple.CoreSpeech", "path": "/x/corespeechd")";
    }
    processes += (k ? ",\n" : "") + process + "}";
  }
  return R"({"processes": [)" + processes + "]}";
}

void setUpProbeState() {
  probe::alwaysOnMicHolders = {probe::kAlwaysOnMicHolders.begin(),
                               probe::kAlwaysOnMicHolders.end()};
  probe::alwaysOnMicHolderNames = {probe::kAlwaysOnMicHolderNames.begin(),
                                   probe::kAlwaysOnMicHolderNames.end()};
  probe::excludedBundlePrefixes = {"org.example.app2063"};
  probe::nameCache.clear();
}

void sampleTick(benchmark::State& state) {
  audio::sim::loadWorld(busyWorld());
  setUpProbeState();
  const std::unordered_set<int32_t> excluded{int32_t(getpid())};
  probe::sample(excluded);  // fills the name cache
  for (auto _ : state) {
    benchmark::DoNotOptimize(probe::sample(excluded));
  }
  state.counters["owners"] = double(probe::sample(excluded).owners.size());
}
BENCHMARK(sampleTick)->Unit(benchmark::kMicrosecond);

// The platform reads alone (list, then PID, flags and bundle ID of every
// client), to tell the simulated platform's share from the sampler's.
void platformReadsOnly(benchmark::State& state) {
  audio::sim::loadWorld(busyWorld());
  auto address = [](audio::Selector selector) {
    return audio::PropertyAddress{selector, audio::kScopeGlobal,
                                  audio::kElementMain};
  };
  for (auto _ : state) {
    uint32_t size = 0;
    audio::getPropertyDataSize(audio::kSystemObject,
                               address(audio::kProcessObjectList), 0, nullptr,
                               &size);
    audio::ObjectID objects[kClients + 1] = {};
    audio::getPropertyData(audio::kSystemObject,
                           address(audio::kProcessObjectList), 0, nullptr,
                           &size, objects);
    for (uint32_t k = 0; k < size / 4; ++k) {
      int32_t pid = -1;
      uint32_t flag = 0, four = 4, four2 = 4, four3 = 4, eight = 8;
      audio::StringRef bundle = nullptr;
      audio::getPropertyData(objects[k], address(audio::kProcessPID), 0,
                             nullptr, &four, &pid);
      audio::getPropertyData(objects[k], address(audio::kProcessIsRunningInput),
                             0, nullptr, &four2, &flag);
      audio::getPropertyData(objects[k],
                             address(audio::kProcessIsRunningOutput), 0,
                             nullptr, &four3, &flag);
      audio::getPropertyData(objects[k], address(audio::kProcessBundleID), 0,
                             nullptr, &eight, &bundle);
      if (bundle) {
        benchmark::DoNotOptimize(audio::stringValue(bundle));
        audio::releaseString(bundle);
      }
    }
  }
}
BENCHMARK(platformReadsOnly)->Unit(benchmark::kMicrosecond);

// The built probe beside this benchmark's build directory, unless given
// with --probe=PATH.
std::string probePath = bench::builtProgram("probe/nimbrel-probe");

// A 30 s run, so that the one-off start-up (a few ms: loading, reading the
// world) does not pass for the steady cost; it is measured on its own too.
constexpr double kRunSeconds = 30.0;
double startupCpuMs = -1;
double runCpuMs = -1;
double runWallMs = -1;

// Runs the real binary on the busy world with its stdin a pipe, closes the
// pipe `seconds` after its first line, and returns the child's own CPU time
// and the wall time from start to exit, in milliseconds.
bool runProbe(double seconds, double& cpuMs, double& wallMs) {
  char worldPath[] = "/tmp/nimbrel-bench-world-XXXXXX";
  const int worldFd = mkstemp(worldPath);
  if (worldFd < 0) return false;
  const std::string world = busyWorld();
  const bool written =
      write(worldFd, world.data(), world.size()) == ssize_t(world.size());
  close(worldFd);
  const std::string variable = std::string("NIMBREL_SIM_WORLD=") + worldPath;
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) {
    if (std::strncmp(*e, "NIMBREL_SIM_WORLD=", 18) != 0) envp.push_back(*e);
  }
  envp.push_back(const_cast<char*>(variable.c_str()));
  envp.push_back(nullptr);

  int in[2], out[2];
  if (!written || pipe(in) != 0 || pipe(out) != 0) {
    unlink(worldPath);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_addclose(&actions, in[1]);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const char* argv[] = {probePath.c_str(), "--interval-ms", "200", nullptr};
  pid_t pid = -1;
  const auto start = std::chrono::steady_clock::now();
  const int spawned = posix_spawn(&pid, probePath.c_str(), &actions, nullptr,
                                  const_cast<char* const*>(argv), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(in[0]);
  close(out[1]);
  if (spawned != 0) {
    close(in[1]);
    close(out[0]);
    unlink(worldPath);
    return false;
  }
  // Wait for the hello line, then keep draining so the probe never blocks.
  char first;
  while (read(out[0], &first, 1) == 1 && first != '\n') {
  }
  std::thread reader([fd = out[0]] {
    char buffer[65536];
    while (read(fd, buffer, sizeof buffer) > 0) {
    }
  });
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  close(in[1]);
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  wallMs = std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now() - start)
               .count();
  reader.join();
  close(out[0]);
  unlink(worldPath);
  cpuMs = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
          double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  return true;
}

void probeProcessStartup(benchmark::State& state) {
  for (auto _ : state) {
    double wallMs;
    if (!runProbe(0, startupCpuMs, wallMs)) {
      state.SkipWithError(("cannot run " + probePath).c_str());
      break;
    }
    state.counters["cpu_ms"] = startupCpuMs;
  }
}
BENCHMARK(probeProcessStartup)
    ->Iterations(1)
    ->Repetitions(1)
    ->Unit(benchmark::kMillisecond);

void probeProcessCpuShare(benchmark::State& state) {
  for (auto _ : state) {
    if (!runProbe(kRunSeconds, runCpuMs, runWallMs)) {
      state.SkipWithError(("cannot run " + probePath).c_str());
      break;
    }
    state.counters["cpu_ms"] = runCpuMs;
    state.counters["share_pct"] = 100.0 * runCpuMs / runWallMs;
  }
}
BENCHMARK(probeProcessCpuShare)
    ->Iterations(1)
    ->Repetitions(1)
    ->Unit(benchmark::kSecond);

}  // namespace

int main(int argc, char** argv) {
  for (int k = 1; k < argc; ++k) {
    if (std::strncmp(argv[k], "--probe=", 8) == 0) probePath = argv[k] + 8;
  }
  benchmark::Initialize(&argc, argv);
  // sampleTick and platformReadsOnly report in microseconds, as printed.
  bench::RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nprobe costs (same run, CPU time):\n");
  const auto tick = reporter.time("sampleTick");
  const auto reads = reporter.time("platformReadsOnly");
  if (tick) {
    std::printf(
        "  sample tick, %d cached clients: %8.2f us (target < 20 us)%s\n",
        kClients, *tick, *tick < 20 ? "" : "  OVER TARGET");
  }
  if (reads) {
    std::printf("  the platform reads alone:          %8.2f us", *reads);
    if (tick) std::printf("; tick / reads %.2fx", *tick / *reads);
    std::printf("\n");
  }
  if (tick) {
    bench::summary("probe sample tick, 64 cached clients (CPU)",
                   bench::format("%.2f us", *tick), "< 20 us", *tick < 20);
  }
  if (runCpuMs >= 0) {
    const double share = 100.0 * runCpuMs / runWallMs;
    std::printf(
        "  nimbrel-probe at --interval-ms 200 over %.0f s, %d clients: "
        "%.4f%% of a core (target < 0.1%%)%s\n",
        runWallMs / 1000, kClients, share, share < 0.1 ? "" : "  OVER TARGET");
    if (startupCpuMs >= 0) {
      std::printf("    start-up alone %.2f ms; without it %.4f%%\n",
                  startupCpuMs, 100.0 * (runCpuMs - startupCpuMs) / runWallMs);
    }
    bench::summary("probe CPU share at --interval-ms 200",
                   bench::format("%.4f %% of a core", share), "< 0.1 %",
                   share < 0.1);
  }
  benchmark::Shutdown();
}
