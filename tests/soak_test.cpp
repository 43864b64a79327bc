// The soak: ten simulated minutes of tap capture, checked byte for byte, and
// thousands of probe ticks over churning processes, with memory held flat.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "audio/sim/sim.h"
#include "probe/messages.h"
#include "probe/sampler.h"
#include "testing/conversion_reference.h"
#include "testing/counting_allocator.h"
#include "testing/e2e_harness.h"
#include "testing/process_stats.h"
#include "testing/tap_runs.h"
#include "testing/tap_worlds.h"

namespace {

using Clock = std::chrono::steady_clock;
using e2e::Child;
using e2e::Stream;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

/// A length from the environment, or the default: the full soak, or a short
/// one under the sanitizers, which run everything several times slower.
double length(const char* variable, double full, double sanitized) {
  const char* text = std::getenv(variable);
  if (text && *text) {
    char* end = nullptr;
    const double value = std::strtod(text, &end);
    if (*end == '\0' && value > 0) return value;
  }
  return kSanitized ? sanitized : full;
}

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(Soak, TapCapturesTenSimulatedMinutesWholeAndExact) {
  const double minutes = length("NIMBREL_SOAK_MINUTES", 10, 1);
  constexpr double kSpeed = 20;
  constexpr uint64_t kFramesPerCycle = 512;
  const uint64_t targetFrames = uint64_t(minutes * 60 * 48000);

  tapworld::CaptureWorld world;
  world.players = {{4242, tapworld::ramp(-0.5, 1.0 / 65536, 65536)},
                   {5150, tapworld::square(0.3, 100)}};
  world.speed = kSpeed;
  world.extra = R"(,"logCycles":true)";
  auto expectedAt = [&](uint64_t n) {
    double mix = 0;
    for (const tapworld::Player& p : world.players) mix += p.signal.at(n);
    return reference::quantize(float(mix));
  };

  e2e::LaunchOptions options{.world = world.json()};
  // The reader must never fall behind: give it the largest pipe there is.
  options.stdoutPipeBytes = 1 << 20;
  const auto start = Clock::now();
  Child tap(NIMBREL_TAP_PATH, options);
  ASSERT_TRUE(tap.readLine(Stream::Stderr).has_value());
  ASSERT_EQ(tap.readLine(Stream::Stderr), R"({"type":"started"})");

  uint64_t bytes = 0;
  uint64_t frame = 0;  // the next sample to check
  std::optional<uint8_t> oddByte;
  uint64_t mismatches = 0;
  std::optional<uint64_t> firstMismatch;
  auto check = [&](const std::string& chunk) {
    bytes += chunk.size();
    size_t at = 0;
    if (oddByte && !chunk.empty()) {
      const int16_t got = int16_t(*oddByte | (uint8_t(chunk[0]) << 8));
      if (got != expectedAt(frame) && !mismatches++) firstMismatch = frame;
      ++frame;
      oddByte.reset();
      at = 1;
    }
    for (; at + 1 < chunk.size(); at += 2, ++frame) {
      const int16_t got =
          int16_t(uint8_t(chunk[at]) | (uint16_t(uint8_t(chunk[at + 1])) << 8));
      if (got != expectedAt(frame) && !mismatches++) firstMismatch = frame;
    }
    if (at < chunk.size()) oddByte = uint8_t(chunk[at]);
  };

  // The resident set a dozen times over the run; the first sample is the
  // warm-up's.
  const auto every = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(minutes * 60 / kSpeed / 12));
  std::vector<int64_t> resident;
  auto nextSample = Clock::now() + every;
  while (frame < targetFrames) {
    const std::string chunk = tap.readBytes(Stream::Stdout, 256 * 1024);
    ASSERT_FALSE(chunk.empty()) << "no audio for " << e2e::kPatience.count()
                                << " ms at frame " << frame;
    check(chunk);
    if (Clock::now() >= nextSample) {
      const std::optional<int64_t> kib = procstat::residentKiB(tap.pid());
      ASSERT_TRUE(kib) << "the tap's resident set cannot be read";
      resident.push_back(*kib);
      nextSample += every;
    }
  }
  tap.sendSignal(SIGTERM);
  check(tap.readToEnd(Stream::Stdout));
  const std::optional<e2e::ExitStatus> status = tap.waitExit();
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->signaled);
  EXPECT_EQ(status->code, 0);
  EXPECT_EQ(tap.readToEnd(Stream::Stderr), "");
  const double seconds = secondsSince(start);

  const uint64_t cycles = tapworld::cyclesDelivered(tap).value_or(0);
  EXPECT_EQ(bytes, 2 * kFramesPerCycle * cycles)
      << "every frame delivered, and nothing else, reaches the reader";
  EXPECT_FALSE(oddByte) << "a sample cut in half";
  EXPECT_EQ(mismatches, 0u)
      << "first wrong sample: frame " << firstMismatch.value_or(0);

  ASSERT_GE(resident.size(), 3u) << "the run was too short to sample";
  const auto [least, most] =
      std::minmax_element(resident.begin() + 1, resident.end());
  std::printf(
      "[ figures  ] tap soak: %.1f simulated minutes in %.1f s, %llu "
      "cycles, %llu bytes; RSS %lld to %lld KiB after warm-up\n",
      double(cycles * kFramesPerCycle) / 48000 / 60, seconds,
      static_cast<unsigned long long>(cycles),
      static_cast<unsigned long long>(bytes), static_cast<long long>(*least),
      static_cast<long long>(*most));
  // Nothing on the audio or writer path allocates after warm-up.
  if (!kSanitized) {
    EXPECT_LE(*most - *least, 256) << "RSS grew";
  }
}

/// One tick's world: eight processes that stay, sixteen that are new at
/// every tick, in every shape the sampler meets (named applications,
/// executable paths, paths that are not UTF-8, nothing at all, failing
/// reads, ignored services). `owners` gets how many the report must list.
std::string churningWorld(int tick, size_t* owners) {
  std::string processes;
  *owners = 0;
  auto add = [&](int32_t pid, int kind) {
    std::string p = "{\"pid\":" + std::to_string(pid);
    switch (kind % 6) {
      case 0:
        p += R"(,"bundleID":"org.example.app)" + std::to_string(kind) +
             R"(","input":true,"app":{"name":"App )" + std::to_string(pid) +
             "\"}";
        break;
      case 1:
        p += R"(,"output":true,"app":{},"path":"/usr/bin/tool)" +
             std::to_string(kind) + "\"";
        break;
      case 2:
        p += R"(,"bundleID":"com.apple.assistantd","input":true,"output":true,)"
             R"("pathHex":"2f746d702fff")";
        break;
      case 3:
        p += R"(,"input":true,"failures":{"pbid":-50})";
        break;
      case 4:
        p += R"(,"output":true,"failures":{"ppid":-50})";
        --*owners;  // its PID cannot be read
        break;
      case 5:
        p += R"(,"bundleID":null,"output":true,"failures":{"piri":-50},)"
             R"("path":"/Applications/Caf\u00e9.app/Contents/MacOS/Caf\u00e9")";
        break;
    }
    ++*owners;
    processes += (processes.empty() ? "" : ",") + p + "}";
  };
  // Above any real PID (pid_max is at most 2^22), so never the test's own.
  constexpr int32_t kFirstPID = 100000000;
  for (int k = 0; k < 8; ++k) add(kFirstPID + k, k);
  for (int k = 0; k < 16; ++k) add(kFirstPID + 1000 + tick * 16 + k, k);
  return R"({"processes":[)" + processes + "]}";
}

TEST(Soak, ProbeMemoryStaysFlatOverThousandsOfChurningTicks) {
  const int ticks = int(length("NIMBREL_SOAK_TICKS", 20000, 1000));
  constexpr int kWarmUpTicks = 500;
  probe::alwaysOnMicHolders = {probe::kAlwaysOnMicHolders.begin(),
                               probe::kAlwaysOnMicHolders.end()};
  probe::alwaysOnMicHolderNames = {probe::kAlwaysOnMicHolderNames.begin(),
                                   probe::kAlwaysOnMicHolderNames.end()};
  const std::unordered_set<int32_t> excluded{int32_t(getpid())};
  probe::nameCache.clear();

  // Heap held right after each emptying of the name cache, when what the
  // probe holds is the same every time.
  int64_t least = INT64_MAX, most = 0;
  int emptied = 0;
  int wrongTicks = 0;
  const auto start = Clock::now();
  for (int tick = 0; tick < ticks; ++tick) {
    size_t owners = 0;
    audio::sim::loadWorld(churningWorld(tick, &owners));
    const probe::Report report = probe::sample(excluded);
    if (report.owners.size() != owners || !probe::encodeLine(report) ||
        !report.micHot || !report.audioPlaying) {
      if (!wrongTicks++) {
        ADD_FAILURE() << "tick " << tick << ": " << report.owners.size()
                      << " owners instead of " << owners << ", line "
                      << probe::encodeLine(report).value_or("not encoded");
      }
    }
    if (probe::nameCache.size() > 256) {
      probe::nameCache.clear();
      ++emptied;
      if (tick >= kWarmUpTicks) {
        least = std::min(least, heap::bytesHeld());
        most = std::max(most, heap::bytesHeld());
      }
    }
  }
  const double seconds = secondsSince(start);
  audio::sim::loadWorld("{}");
  EXPECT_EQ(wrongTicks, 0);
  EXPECT_EQ(audio::sim::liveStringCount(), 0) << "string references leaked";
  EXPECT_GE(emptied, ticks / 20);
  std::printf(
      "[ figures  ] probe soak: %d ticks in %.2f s, name cache emptied "
      "%d times, heap held %lld to %lld bytes after warm-up\n",
      ticks, seconds, emptied, static_cast<long long>(least),
      static_cast<long long>(most));
  EXPECT_LE(most - least, 1024) << "the heap grew";
}

}  // namespace
