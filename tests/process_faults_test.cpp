// Faults around the programs' processes: a reader that stalls or goes away,
// standard streams closed or non-blocking, stop requests that collide or come
// too early or late.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "testing/e2e_harness.h"
#include "testing/process_stats.h"
#include "testing/tap_runs.h"
#include "testing/tap_worlds.h"

namespace {

using e2e::Child;
using e2e::expectDeathBy;
using e2e::expectExit;
using e2e::Output;
using e2e::Stream;
using tapworld::CaptureWorld;
using tapworld::kChain;
using tapworld::kShutdown;
using tapworld::kStarted;
using tapworld::Lines;
using tapworld::operator+;
using tapworld::Stop;

constexpr size_t kBytesPerCycle = 2 * 512;

/// A ramp so slow that every cycle of it differs from every other: a cycle
/// of output tells which cycle of capture it was.
CaptureWorld rampWorld(double speed, const std::string& extra = "") {
  CaptureWorld world;
  world.players = {{4242, tapworld::ramp(-0.9, 1.8 / (1 << 23), 1 << 23)}};
  world.speed = speed;
  world.extra = extra;
  return world;
}

e2e::LaunchOptions on(const CaptureWorld& world) {
  return {.world = world.json()};
}

/// The call log without the "cycles" line.
Lines calls(const Child& tap) {
  Lines lines = tap.callLog();
  std::erase_if(lines, [](const std::string& line) {
    return line.rfind("cycles ", 0) == 0;
  });
  return lines;
}

TEST(ProcessFaults, StalledReaderLosesTheOldestAudioAndThenGetsTheNewest) {
  // At three times real time, five seconds of capture are far more than the
  // pipe and the queue hold together.
  const CaptureWorld world = rampWorld(3, R"(,"logCycles":true)");
  Child tap(NIMBREL_TAP_PATH, on(world));
  ASSERT_EQ(tap.readLine(Stream::Stderr), tapworld::kSpeakersFormat);
  ASSERT_EQ(tap.readLine(Stream::Stderr), kStarted);
  std::string pcm = tap.readBytes(Stream::Stdout, 20 * kBytesPerCycle);
  pcm += tap.readAvailable(Stream::Stdout);

  const std::optional<int64_t> before = procstat::residentKiB(tap.pid());
  ASSERT_TRUE(before) << "the tap's resident set cannot be read";
  const int64_t residentBefore = *before;
  int64_t residentMost = residentBefore;
  const std::optional<double> cpuBefore = procstat::cpuSeconds(tap.pid());
  for (int i = 0; i < 10; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::optional<int64_t> now = procstat::residentKiB(tap.pid());
    ASSERT_TRUE(now) << "the tap's resident set cannot be read";
    residentMost = std::max(residentMost, *now);
  }
  const std::optional<double> cpuAfter = procstat::cpuSeconds(tap.pid());
  ASSERT_TRUE(cpuBefore && cpuAfter) << "the tap's CPU time cannot be read";
  ASSERT_FALSE(tap.waitExit(e2e::Duration(0))) << "the tap stopped";

  pcm += tap.readBytes(Stream::Stdout, 600 * kBytesPerCycle);
  tap.sendSignal(SIGTERM);
  pcm += tap.readToEnd(Stream::Stdout);
  expectExit(tap, 0);
  EXPECT_FALSE(procstat::residentKiB(tap.pid()))
      << "a figure of a gone process";
  EXPECT_EQ(tap.readToEnd(Stream::Stderr), "");
  EXPECT_EQ(calls(tap), kChain + kShutdown);

  // The queue is a fixed ring: a stalled reader costs no memory.
  EXPECT_GT(residentBefore, 0);
  EXPECT_LT(residentMost - residentBefore, 2048)
      << residentBefore << " KiB before the stall, " << residentMost
      << " KiB at most during it";
  // A writer or queue that spins on the full pipe would take most of it.
  EXPECT_LT(*cpuAfter - *cpuBefore, 2.5) << "CPU seconds in a 5 s stall";
  std::printf(
      "[ figures  ] tap RSS %lld KiB before a 5 s stall, %lld KiB at "
      "most during it\n",
      static_cast<long long>(residentBefore),
      static_cast<long long>(residentMost));

  // Whole cycles, each one of the capture, in order: the first ones, one
  // gap where the oldest queued bytes were dropped, then everything up to
  // the very last cycle captured.
  const std::optional<uint64_t> delivered = tapworld::cyclesDelivered(tap);
  ASSERT_TRUE(delivered);
  ASSERT_EQ(pcm.size() % kBytesPerCycle, 0u);
  const std::vector<int16_t> expected =
      tapworld::expectedPCM(world, *delivered * 512, {});
  const std::vector<int16_t> got = tapworld::samples(pcm);
  auto cycleOf = [](const std::vector<int16_t>& samples, uint64_t k) {
    return std::vector<int16_t>(samples.begin() + int64_t(k * 512),
                                samples.begin() + int64_t((k + 1) * 512));
  };
  std::vector<std::pair<uint64_t, uint64_t>> gaps;  // [from, to) missing
  uint64_t next = 0;
  for (uint64_t k = 0; k < got.size() / 512; ++k) {
    const std::vector<int16_t> cycle = cycleOf(got, k);
    uint64_t match = next;
    while (match < *delivered && cycleOf(expected, match) != cycle) ++match;
    ASSERT_LT(match, *delivered)
        << "output cycle " << k << " was never captured";
    if (match != next) gaps.emplace_back(next, match);
    next = match + 1;
  }
  EXPECT_EQ(next, *delivered) << "the newest audio did not come out";
  ASSERT_EQ(gaps.size(), 1u);
  // The queue holds 375 cycles; what follows the gap starts with them.
  EXPECT_GE(*delivered - gaps[0].second, 375u);
  std::printf(
      "[ figures  ] %llu cycles captured, cycles %llu to %llu dropped\n",
      static_cast<unsigned long long>(*delivered),
      static_cast<unsigned long long>(gaps[0].first),
      static_cast<unsigned long long>(gaps[0].second - 1));
}

TEST(ProcessFaults, ReaderOfStdoutGoneIsSurvivedOnlyWithSigpipeIgnored) {
  // The aggregate device dies again and again from cycle 150 on, after the
  // reader has gone: its line shows the tap still serves its main queue.
  const std::string deaths =
      R"(,"script":[{"atCycle":150,"aggregateAlive":false},)"
      R"({"atCycle":300,"aggregateAlive":false},)"
      R"({"atCycle":600,"aggregateAlive":false}])";
  for (const bool ignored : {true, false}) {
    SCOPED_TRACE(ignored ? "SIGPIPE ignored" : "SIGPIPE at its default");
    e2e::LaunchOptions options = on(rampWorld(4, deaths));
    options.ignoreSigpipe = ignored;
    Child tap(NIMBREL_TAP_PATH, options);
    ASSERT_EQ(tap.readLine(Stream::Stderr), tapworld::kSpeakersFormat);
    ASSERT_EQ(tap.readLine(Stream::Stderr), kStarted);
    ASSERT_EQ(tap.readBytes(Stream::Stdout, 10 * kBytesPerCycle).size(),
              10 * kBytesPerCycle);
    tap.closeReader(Stream::Stdout);
    if (ignored) {
      // Every write fails from now on; capture and the handlers go on.
      EXPECT_EQ(tap.readLine(Stream::Stderr), tapworld::kDeathLine);
      EXPECT_FALSE(tap.waitExit(e2e::Duration(500)));
      tap.sendSignal(SIGTERM);
      expectExit(tap, 0);
      EXPECT_EQ(tap.callLog(), kChain + kShutdown);
    } else {
      // The first write after the reader left ends the process, with no
      // teardown and no event.
      expectDeathBy(tap, SIGPIPE);
      EXPECT_EQ(tap.callLog(), kChain);
    }
    EXPECT_EQ(tap.readToEnd(Stream::Stderr), "");
  }
}

TEST(ProcessFaults, LostStandardErrorLeavesCaptureAsItIs) {
  struct Case {
    const char* name;
    Output stderrMode;
    bool ignoreSigpipe;
    bool captures;  // else the "format" line's write ends it by SIGPIPE
  };
  const Case cases[] = {
      {"standard error not open", Output::NotOpen, false, true},
      {"reader gone, SIGPIPE ignored", Output::ReaderClosed, true, true},
      {"reader gone, SIGPIPE at its default", Output::ReaderClosed, false,
       false},
  };
  const CaptureWorld world = rampWorld(4);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::LaunchOptions options = on(world);
    options.stderrMode = c.stderrMode;
    options.ignoreSigpipe = c.ignoreSigpipe;
    Child tap(NIMBREL_TAP_PATH, options);
    if (c.captures) {
      constexpr uint64_t kFrames = 40 * 512;
      const std::string pcm = tap.readBytes(Stream::Stdout, 2 * kFrames);
      EXPECT_TRUE(tapworld::samples(pcm) ==
                  tapworld::expectedPCM(world, kFrames, {}));
      tap.closeStdin();
      expectExit(tap, 0);
    } else {
      expectDeathBy(tap, SIGPIPE);
      EXPECT_EQ(tap.readToEnd(Stream::Stdout), "");
    }
    // A closed descriptor 2 is not taken by the call log: no event line
    // lands there.
    const Lines beforeFormat{"createProcessTap 300",
                             "createAggregateDevice 400"};
    EXPECT_EQ(tap.callLog(), c.captures ? kChain + kShutdown : beforeFormat);
  }
}

TEST(ProcessFaults, StopsAfterStartedEndInStatus0WithNoEvent) {
  enum class Then { kNothing, kReaderLeaves, kReaderWaits };
  struct Case {
    const char* name;
    int signo;    // 0: the end of stdin, which stops on a background thread
    int stallMs;  // nobody reads: the pipe fills, the writer blocks
    Then then;    // once the chain is destroyed and queued audio written out
    int runs = 1;
    std::string extra = "";
    Output stdoutMode = Output::Pipe;
  };
  const Case cases[] = {
      // "started" says that a signal now stops the tap in order.
      {"SIGTERM the moment started is read", SIGTERM, 0, Then::kNothing, 5},
      {"SIGINT the moment started is read", SIGINT, 0, Then::kNothing, 5},
      {"SIGTERM, then the reader goes", SIGTERM, 300, Then::kReaderLeaves},
      {"end of stdin, then the reader goes", 0, 300, Then::kReaderLeaves},
      {"the destroyed aggregate reports itself dead", 0, 300,
       Then::kReaderWaits, 1, R"(,"deadAfterDestroy":true)"},
      // Not the call log, the first file opened, takes descriptor 1.
      {"standard output not open", 0, 300, Then::kNothing, 1, "",
       Output::NotOpen},
  };
  for (const Case& c : cases) {
    for (int run = 0; run < c.runs; ++run) {
      SCOPED_TRACE(c.name);
      e2e::LaunchOptions options = on(rampWorld(4, c.extra));
      options.stdoutPipeBytes = 4096;
      options.stdoutMode = c.stdoutMode;
      Child tap(NIMBREL_TAP_PATH, options);
      ASSERT_EQ(tap.readLine(Stream::Stderr), tapworld::kSpeakersFormat);
      ASSERT_EQ(tap.readLine(Stream::Stderr), kStarted);
      std::this_thread::sleep_for(std::chrono::milliseconds(c.stallMs));
      c.signo ? tap.sendSignal(c.signo) : tap.closeStdin();
      const auto until = std::chrono::steady_clock::now() + e2e::kPatience;
      while (c.then != Then::kNothing && tap.callLog() != kChain + kShutdown &&
             std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      if (c.then == Then::kReaderLeaves) tap.closeReader(Stream::Stdout);
      // Meanwhile the main queue serves whatever the platform reports late.
      if (c.then == Then::kReaderWaits) {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
      }
      expectExit(tap, 0);
      EXPECT_EQ(tap.readToEnd(Stream::Stderr), "");
      EXPECT_EQ(tap.callLog(), kChain + kShutdown);
    }
  }
}

TEST(ProcessFaults, ProbeWritesWholeLinesToAFullNonBlockingPipe) {
  // A report far larger than the pipe: most writes find it full. The PIDs
  // lie above any pid_max, so none is the probe's own (left out of owners).
  std::string processes, owners;
  for (int pid = 1'000'000'000; pid < 1'000'000'400; ++pid) {
    const std::string name = std::to_string(pid) + std::string(200, 'x');
    processes += R"({"pid":)" + std::to_string(pid) +
                 R"(,"output":true,"app":{"name":")" + name + R"("}},)";
    owners += R"({"gui":true,"ignored":false,"input":false,"name":")" + name +
              R"(","output":true,"pid":)" + std::to_string(pid) + "},";
  }
  processes.pop_back();
  owners.pop_back();
  Child probe(NIMBREL_PROBE_PATH,
              {.args = {"--interval-ms", "200"},
               .world = R"({"processes":[)" + processes + "]}",
               .stdoutPipeBytes = 4096,
               .nonBlockingStdout = true});
  EXPECT_EQ(probe.readLine(),
            R"({"intervalMs":200,"protocolVersion":1,"type":"hello"})");
  EXPECT_EQ(probe.readLine(),
            R"({"audioPlaying":true,"micHot":false,"owners":[)" + owners +
                R"(],"type":"state"})");
  probe.closeStdin();
  expectExit(probe, 0);
}

TEST(ProcessFaults, TwoStopsAtOnceTearDownOnceAndExit0) {
  struct Case {
    const char* name;
    Stop first, second;
  };
  const Case cases[] = {
      {"SIGTERM and the end of stdin", Stop::kSigterm, Stop::kEndOfStdin},
      {"the end of stdin and SIGTERM", Stop::kEndOfStdin, Stop::kSigterm},
      {"SIGINT and the end of stdin", Stop::kSigint, Stop::kEndOfStdin},
      {"SIGTERM and SIGINT", Stop::kSigterm, Stop::kSigint},
      {"SIGTERM twice", Stop::kSigterm, Stop::kSigterm},
  };
  // The stops come once a device-changed line shows the tap serving its
  // main queue: back to back, and with the first stop held inside
  // AudioDeviceStop while the second arrives.
  for (const int stopDelayMs : {0, 300}) {
    const std::string extra =
        stopDelayMs ? R"(,"failures":[{"op":"stop","status":0,"delayMs":)" +
                          std::to_string(stopDelayMs) + "}]"
                    : "";
    const CaptureWorld world = rampWorld(4, extra + tapworld::kDeathScript);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", stop held " +
                   std::to_string(stopDelayMs) + " ms");
      Child tap(NIMBREL_TAP_PATH, on(world));
      ASSERT_EQ(tap.readLine(Stream::Stderr), tapworld::kSpeakersFormat);
      ASSERT_EQ(tap.readLine(Stream::Stderr), kStarted);
      std::string pcm = tap.readBytes(Stream::Stdout, 20 * kBytesPerCycle);
      ASSERT_EQ(tap.readLine(Stream::Stderr), tapworld::kDeathLine);
      tapworld::stop(tap, c.first);
      tapworld::stop(tap, c.second);
      pcm += tap.readToEnd(Stream::Stdout);
      expectExit(tap, 0);
      EXPECT_EQ(tap.readToEnd(Stream::Stderr), "");
      EXPECT_EQ(tap.callLog(), kChain + kShutdown);
      EXPECT_EQ(pcm.size() % kBytesPerCycle, 0u);
      EXPECT_TRUE(tapworld::samples(pcm) ==
                  tapworld::expectedPCM(world, pcm.size() / 2, {}));
    }
  }
}

TEST(ProcessFaults, SignalBeforeStartedKillsWithoutAnEvent) {
  // The tap is held inside one platform call for far longer than the test
  // takes, so the signal surely arrives there.
  struct Case {
    const char* name;
    const char* heldOp;
    int signo;
    Lines lines;  // on standard error before the signal
    Lines calls;
  };
  const Case cases[] = {
      {"SIGTERM while the tap is created", "createProcessTap", SIGTERM, {}, {}},
      {"SIGINT while the tap is created", "createProcessTap", SIGINT, {}, {}},
      {"SIGTERM between format and started",
       "createIOProc",
       SIGTERM,
       {tapworld::kSpeakersFormat},
       {"createProcessTap 300", "createAggregateDevice 400"}},
      {"SIGINT between format and started",
       "createIOProc",
       SIGINT,
       {tapworld::kSpeakersFormat},
       {"createProcessTap 300", "createAggregateDevice 400"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const CaptureWorld world =
        rampWorld(1, std::string(R"(,"failures":[{"op":")") + c.heldOp +
                         R"(","status":0,"delayMs":600000}])");
    Child tap(NIMBREL_TAP_PATH, on(world));
    for (const std::string& line : c.lines) {
      ASSERT_EQ(tap.readLine(Stream::Stderr), line);
    }
    tap.sendSignal(c.signo);
    expectDeathBy(tap, c.signo);
    EXPECT_EQ(tap.readToEnd(Stream::Stderr), "");
    EXPECT_EQ(tap.readToEnd(Stream::Stdout), "");
    EXPECT_EQ(tap.callLog(), c.calls);
  }
}

}  // namespace
