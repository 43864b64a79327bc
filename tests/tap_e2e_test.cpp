// End-to-end tests of nimbrel-tap: the real binary on simulated worlds,
// through real pipes, checked byte for byte.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "testing/conversion_reference.h"
#include "testing/e2e_harness.h"
#include "testing/process_stats.h"
#include "testing/tap_runs.h"
#include "testing/tap_worlds.h"

namespace {

using e2e::Child;
using e2e::expectExit;
using e2e::Stream;
using tapworld::CaptureWorld;
using tapworld::changeLine;
using tapworld::constant;
using tapworld::errorLine;
using tapworld::formatLine;
using tapworld::kDeathLine;
using tapworld::kDeathScript;
using tapworld::kShutdown;
using tapworld::kSpeakersFormat;
using tapworld::kStarted;
using tapworld::ramp;
using tapworld::square;
using tapworld::Stop;
using tapworld::stopAndExpectCleanExit;

constexpr int kBytesPerCycle = 2 * 512;

e2e::LaunchOptions on(const CaptureWorld& world,
                      std::vector<std::string> args = {},
                      e2e::Stdin stdinMode = e2e::Stdin::Pipe) {
  e2e::LaunchOptions options;
  options.args = std::move(args);
  options.world = world.json();
  options.stdinMode = stdinMode;
  return options;
}

/// The call log from the start of the device on.
std::vector<std::string> callsAfterStart(const Child& tap) {
  std::vector<std::string> calls = tap.callLog();
  auto start = std::find(calls.begin(), calls.end(), "deviceStart 400");
  if (start != calls.end()) calls.erase(calls.begin(), start + 1);
  // Counts of a world with "logCycles" are not calls.
  std::erase_if(calls, [](const std::string& call) {
    return call.rfind("cycles ", 0) == 0;
  });
  return calls;
}

std::vector<std::string> destroyCalls(const Child& tap) {
  std::vector<std::string> destroys;
  for (const std::string& call : tap.callLog()) {
    if (call.rfind("destroy", 0) == 0) destroys.push_back(call);
  }
  return destroys;
}

/// Compares PCM bytes with the expected samples; names the first difference.
void expectPCM(const std::string& bytes, const std::vector<int16_t>& expected) {
  const std::vector<int16_t> got = tapworld::samples(bytes);
  ASSERT_EQ(bytes.size() % 2, 0u);
  ASSERT_EQ(got.size(), expected.size());
  for (size_t i = 0; i < got.size(); ++i) {
    if (got[i] != expected[i]) {
      ADD_FAILURE() << "sample " << i << " is " << got[i] << ", expected "
                    << expected[i];
      return;
    }
  }
}

// ---- Start-up lines --------------------------------------------------------

TEST(TapEndToEnd, DefaultMachineAnnouncesFormatThenWritesSilence) {
  Child tap(NIMBREL_TAP_PATH, {});
  EXPECT_EQ(
      tap.readLine(Stream::Stderr),
      formatLine(1, 0, R"("nimbrel-sim-speakers")", "48000", true, "48000"));
  EXPECT_EQ(tap.readLine(Stream::Stderr), kStarted);
  EXPECT_EQ(tap.readBytes(Stream::Stdout, 48000), std::string(48000, '\0'));
  stopAndExpectCleanExit(tap, Stop::kEndOfStdin);
}

TEST(TapEndToEnd, FormatLineDescribesTheChainBuilt) {
  struct Case {
    const char* name;
    CaptureWorld world;
    std::string format;
  };
  const std::string speakers = R"("speakers")";
  const Case cases[] = {
      {"device rate wins over the tap's",
       {.deviceRate = 44100, .tapBuffers = {2}},
       formatLine(2, 0, speakers, "44100", true, "48000")},
      {"unreadable aggregate rate falls back to the tap's",
       {.tapRate = 96000,
        .extra = R"(,"failures":[{"op":"get","selector":"nsrt",)"
                 R"("object":400,"status":-50}])"},
       formatLine(1, 0, speakers, "96000", true, "96000")},
      {"aggregate rate 0 falls back to the tap's",
       {.deviceRate = 0, .tapRate = 44100.5},
       formatLine(1, 0, speakers, "44100.5", true, "44100.5")},
      {"one stereo input stream",
       {.inputStreams = {2}},
       formatLine(1, 2, speakers, "48000", true, "48000")},
      {"two stereo input streams",
       {.inputStreams = {2, 2}},
       formatLine(1, 4, speakers, "48000", true, "48000")},
      {"buffer count beyond the configuration's size",
       {.inputStreams = {2, 2},
        .outputExtra = R"(,"reportedBufferCount":4000000000)"},
       formatLine(1, 4, speakers, "48000", true, "48000")},
      {"buffer count below the configuration's size",
       {.inputStreams = {2, 2}, .outputExtra = R"(,"reportedBufferCount":1)"},
       formatLine(1, 2, speakers, "48000", true, "48000")},
      {"output UID that does not translate back",
       {.inputStreams = {2, 2},
        .extra =
            R"(,"failures":[{"op":"get","selector":"uidd","status":-50}])"},
       formatLine(1, 0, speakers, "48000", true, "48000")},
      {"unreadable input configuration",
       {.inputStreams = {2},
        .extra = R"(,"failures":[{"op":"getSize","selector":"slay",)"
                 R"("status":-50}])"},
       formatLine(1, 0, speakers, "48000", true, "48000")},
      {"16-bit integer tap",
       {.isFloat = false},
       formatLine(1, 0, speakers, "48000", false, "48000")},
      {"UID with a slash and non-ASCII text",
       {.outputUID = "Haut-parleurs/USB \u00e9"},
       formatLine(1, 0, "\"Haut-parleurs\\/USB \u00e9\"", "48000", true,
                  "48000")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Child tap(NIMBREL_TAP_PATH, on(c.world));
    EXPECT_EQ(tap.readLine(Stream::Stderr), c.format);
    EXPECT_EQ(tap.readLine(Stream::Stderr), kStarted);
    stopAndExpectCleanExit(tap, Stop::kEndOfStdin);
  }
}

// ---- PCM -------------------------------------------------------------------

TEST(TapEndToEnd, PCMFollowsTheConversionRulesBitForBit) {
  struct Case {
    const char* name;
    CaptureWorld world;
    std::vector<std::string> args{};
    std::vector<int32_t> excluded{};
  };
  const tapworld::Player fullRamp{4242, ramp(-1.0, 1.0 / 1024, 2048)};
  const tapworld::Player fineRamp{4242, ramp(-0.9, 0.000173, 10007)};
  const tapworld::Player hot{5150, constant(0.3)};
  const tapworld::Player beep{6000, square(0.25, 96)};
  const Case cases[] = {
      {"float mono", {.players = {fullRamp}}},
      {"float mono, two processes summed past full scale",
       {.players = {fullRamp, hot}}},
      {"float stereo",
       {.players = {fineRamp, beep}, .tapBuffers = {2}, .gains = {1.0, 0.3}}},
      {"float, three channels in one buffer",
       {.players = {fineRamp}, .tapBuffers = {3}, .gains = {1.0, 0.5, -0.7}}},
      {"16-bit mono, clipped at both ends",
       {.players = {fullRamp}, .isFloat = false, .gains = {1.2}}},
      {"16-bit stereo",
       {.players = {fineRamp, beep},
        .isFloat = false,
        .tapBuffers = {2},
        .gains = {1.0, -0.45}}},
      {"float split over two buffers",
       {.players = {fineRamp, beep},
        .tapBuffers = {1, 1},
        .gains = {1.0, 0.5}}},
      {"float split over buffers of 1 and 2 channels",
       {.players = {fineRamp}, .tapBuffers = {1, 2}, .gains = {0.9, 0.7, 0.1}}},
      {"16-bit split over two buffers",
       {.players = {fullRamp, hot},
        .isFloat = false,
        .tapBuffers = {1, 1},
        .gains = {1.0, 0.6}}},
      {"float mono behind a stereo input stream",
       {.players = {fineRamp}, .inputStreams = {2}}},
      {"float split behind two input streams",
       {.players = {fineRamp, beep},
        .inputStreams = {2, 2},
        .tapBuffers = {1, 1},
        .gains = {0.8, 0.4}}},
      {"16-bit stereo behind input streams of 1 and 2 channels",
       {.players = {fullRamp},
        .inputStreams = {1, 2},
        .isFloat = false,
        .tapBuffers = {2},
        .gains = {1.0, 0.25}}},
      {"an excluded process is not heard",
       {.players = {fineRamp, hot, beep}},
       {"--exclude-pid", "5150"},
       {5150}},
      {"excluded processes in any order, bad values skipped",
       {.players = {fineRamp, hot, beep}},
       {"--exclude-pid", "x", "--exclude-pid", "6000", "--exclude-pid", "77777",
        "--exclude-pid", "4242"},
       {6000, 4242}},
  };
  constexpr uint64_t kFrames = 16 * 512;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Child tap(NIMBREL_TAP_PATH, on(c.world, c.args));
    ASSERT_EQ(tap.readLine(Stream::Stderr).has_value(), true);
    ASSERT_EQ(tap.readLine(Stream::Stderr), kStarted);
    expectPCM(tap.readBytes(Stream::Stdout, 2 * kFrames),
              tapworld::expectedPCM(c.world, kFrames, c.excluded));
    tap.closeStdin();
    expectExit(tap, 0);
  }
}

// ---- Start-up failures -----------------------------------------------------

TEST(TapEndToEnd, EachStartUpFailureWritesItsErrorLineAndExits1) {
  const std::string tapCreate =
      "AudioHardwareCreateProcessTap failed. This usually means the System "
      "Audio Recording permission was denied, or "
      "NSAudioCaptureUsageDescription is missing from Info.plist.";
  struct Case {
    const char* name;
    std::string failures;  // the world's "failures" list
    bool noDefaultOutput;
    std::string error;
    bool formatFirst;
    bool tornDown;
  };
  const Case cases[] = {
      {"tap creation fails", R"([{"op":"createProcessTap","status":-50}])",
       false, errorLine("TAP_CREATE_FAILED", tapCreate, -50), false, false},
      {"tap creation makes no tap",
       R"([{"op":"createProcessTap","status":0,"noObject":true}])", false,
       errorLine("TAP_CREATE_FAILED", tapCreate, 0), false, false},
      {"tap UID unreadable",
       R"([{"op":"get","selector":"tuid","status":2003332927}])", false,
       errorLine("TAP_UID_FAILED", "Could not read the tap UID.", std::nullopt),
       false, false},
      {"no default output device", "[]", true,
       errorLine("NO_OUTPUT_DEVICE", "No default output device.", std::nullopt),
       false, false},
      {"default output unreadable",
       R"([{"op":"get","selector":"dOut","status":-50}])", false,
       errorLine("NO_OUTPUT_DEVICE", "No default output device.", std::nullopt),
       false, false},
      {"default output's UID unreadable",
       R"([{"op":"get","selector":"uid ","object":50,"status":-50}])", false,
       errorLine("NO_OUTPUT_DEVICE", "No default output device.", std::nullopt),
       false, false},
      {"aggregate creation fails",
       R"([{"op":"createAggregateDevice","status":1852797029}])", false,
       errorLine("AGGREGATE_CREATE_FAILED",
                 "AudioHardwareCreateAggregateDevice failed.", 1852797029),
       false, false},
      {"aggregate creation makes no device",
       R"([{"op":"createAggregateDevice","status":0,"noObject":true}])", false,
       errorLine("AGGREGATE_CREATE_FAILED",
                 "AudioHardwareCreateAggregateDevice failed.", 0),
       false, false},
      {"tap format unreadable",
       R"([{"op":"get","selector":"tfmt","status":-50}])", false,
       errorLine("TAP_FORMAT_FAILED", "Could not read the tap stream format.",
                 std::nullopt),
       false, true},
      {"I/O proc creation fails", R"([{"op":"createIOProc","status":-66}])",
       false,
       errorLine("IOPROC_FAILED", "AudioDeviceCreateIOProcIDWithBlock failed.",
                 -66),
       true, true},
      {"I/O proc creation makes no proc",
       R"([{"op":"createIOProc","status":0,"noObject":true}])", false,
       errorLine("IOPROC_FAILED", "AudioDeviceCreateIOProcIDWithBlock failed.",
                 0),
       true, true},
      {"device start fails", R"([{"op":"start","status":1937010544}])", false,
       errorLine("DEVICE_START_FAILED", "AudioDeviceStart failed.", 1937010544),
       true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CaptureWorld world;
    world.extra = ",\"failures\":" + c.failures;
    e2e::LaunchOptions options = on(world);
    if (c.noDefaultOutput) {
      // The same world with no default output device at all.
      const std::string key = R"("defaultOutput":"speakers")";
      options.world->replace(options.world->find(key), key.size(),
                             R"("defaultOutput":null)");
    }
    Child tap(NIMBREL_TAP_PATH, options);
    if (c.formatFirst) {
      EXPECT_EQ(tap.readLine(Stream::Stderr), kSpeakersFormat);
    }
    EXPECT_EQ(tap.readLine(Stream::Stderr), c.error);
    // Read as soon as the error line is out: the chain is gone by then.
    const std::vector<std::string> destroys = destroyCalls(tap);
    if (c.tornDown) {
      EXPECT_EQ(destroys,
                (std::vector<std::string>{"destroyAggregateDevice 400",
                                          "destroyProcessTap 300"}));
    } else {
      EXPECT_EQ(destroys, std::vector<std::string>{});
    }
    expectExit(tap, 1);
    EXPECT_EQ(tap.readToEnd(Stream::Stderr), "");
    EXPECT_EQ(tap.readToEnd(Stream::Stdout), "");
  }
}

// ---- Stopping --------------------------------------------------------------

TEST(TapEndToEnd, StopWritesOutEverythingQueuedAndExits0) {
  struct Case {
    const char* name;
    Stop stop;
    e2e::Stdin stdinMode;
    bool nonBlockingStdout = false;
  };
  const Case cases[] = {
      {"SIGTERM", Stop::kSigterm, e2e::Stdin::Pipe},
      {"SIGTERM, stdout non-blocking", Stop::kSigterm, e2e::Stdin::Pipe, true},
      {"SIGINT", Stop::kSigint, e2e::Stdin::Pipe},
      {"end of a stdin pipe", Stop::kEndOfStdin, e2e::Stdin::Pipe},
      {"close of a stdin socket", Stop::kEndOfStdin, e2e::Stdin::Socket},
      {"shutdown of a stdin socket", Stop::kEndOfStdin,
       e2e::Stdin::SocketShutdown},
      {"SIGTERM with a stdin socket", Stop::kSigterm, e2e::Stdin::Socket},
  };
  const CaptureWorld world{.players = {{4242, ramp(-1.0, 1.0 / 1024, 2048)}},
                           .extra = kDeathScript + R"(,"logCycles":true)"};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    e2e::LaunchOptions options = on(world, {}, c.stdinMode);
    options.nonBlockingStdout = c.nonBlockingStdout;
    Child tap(NIMBREL_TAP_PATH, options);
    ASSERT_EQ(tap.readLine(Stream::Stderr), kSpeakersFormat);
    ASSERT_EQ(tap.readLine(Stream::Stderr), kStarted);
    ASSERT_EQ(tap.readLine(Stream::Stderr), kDeathLine);
    std::string pcm = tap.readBytes(Stream::Stdout, 4 * kBytesPerCycle);
    pcm += tap.readAvailable(Stream::Stdout);
    // The reader stalls: the pipe fills up and the rest queues in the tap,
    // which must hand it over when it stops.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    tapworld::stop(tap, c.stop);
    pcm += tap.readToEnd(Stream::Stdout);
    expectExit(tap, 0);
    EXPECT_EQ(tap.readToEnd(Stream::Stderr), "");
    EXPECT_EQ(callsAfterStart(tap), kShutdown);
    // Every cycle the device delivered, none missing: three seconds fit in
    // the queue, so nothing was dropped either.
    const std::optional<uint64_t> cycles = tapworld::cyclesDelivered(tap);
    ASSERT_TRUE(cycles);
    EXPECT_EQ(pcm.size(), *cycles * kBytesPerCycle);
    expectPCM(pcm, tapworld::expectedPCM(world, pcm.size() / 2, {}));
  }
}

TEST(TapEndToEnd, StdinFromDevNullRunsUntilASignal) {
  const CaptureWorld world{.extra = kDeathScript};
  Child tap(NIMBREL_TAP_PATH, on(world, {}, e2e::Stdin::DevNull));
  ASSERT_EQ(tap.readLine(Stream::Stderr), kSpeakersFormat);
  ASSERT_EQ(tap.readLine(Stream::Stderr), kStarted);
  ASSERT_EQ(tap.readLine(Stream::Stderr), kDeathLine);
  EXPECT_EQ(tap.readBytes(Stream::Stdout, 20 * kBytesPerCycle).size(),
            size_t(20 * kBytesPerCycle));
  EXPECT_FALSE(tap.waitExit(e2e::Duration(300)));
  tap.sendSignal(SIGTERM);
  expectExit(tap, 0);
  EXPECT_EQ(callsAfterStart(tap), kShutdown);
}

TEST(TapEndToEnd, BytesWrittenToStdinAreIgnored) {
  const CaptureWorld world{.players = {{4242, ramp(-1.0, 1.0 / 1024, 2048)}},
                           .extra = R"(,"logCycles":true)"};
  for (const e2e::Stdin mode : {e2e::Stdin::Pipe, e2e::Stdin::Socket}) {
    SCOPED_TRACE(mode == e2e::Stdin::Pipe ? "pipe" : "socket");
    Child tap(NIMBREL_TAP_PATH, on(world, {}, mode));
    ASSERT_EQ(tap.readLine(Stream::Stderr), kSpeakersFormat);
    ASSERT_EQ(tap.readLine(Stream::Stderr), kStarted);
    std::string pcm = tap.readBytes(Stream::Stdout, 2 * kBytesPerCycle);
    EXPECT_TRUE(tap.writeStdin("stop\n"));
    EXPECT_TRUE(tap.writeStdin(std::string(100000, '\0')));
    pcm += tap.readBytes(Stream::Stdout, 20 * kBytesPerCycle);
    EXPECT_FALSE(tap.waitExit(e2e::Duration(300)));
    tap.closeStdin();
    pcm += tap.readToEnd(Stream::Stdout);
    expectExit(tap, 0);
    EXPECT_EQ(tap.readToEnd(Stream::Stderr), "");
    EXPECT_EQ(callsAfterStart(tap), kShutdown);
    EXPECT_EQ(pcm.size(),
              tapworld::cyclesDelivered(tap).value_or(0) * kBytesPerCycle);
    expectPCM(pcm, tapworld::expectedPCM(world, pcm.size() / 2, {}));
  }
}

// ---- Tap auto-start on a quiet machine --------------------------------------

TEST(TapEndToEnd, WhileAutoStartWaitsForAudioEveryPromisedStopHolds) {
  // Two readings of "tapautostart": the device start itself waits until a
  // tapped process plays, or it returns and the I/O cycles wait. Nothing
  // plays here.
  enum class Stop { kSigterm, kSigint, kEndOfStdin };
  struct Case {
    const char* name;
    const char* reading;
    Stop stop;
    bool started;  // "started" comes, and signals are watched
  };
  const Case cases[] = {
      {"cycles wait, SIGTERM", "cyclesWait", Stop::kSigterm, true},
      {"cycles wait, SIGINT", "cyclesWait", Stop::kSigint, true},
      {"cycles wait, end of stdin", "cyclesWait", Stop::kEndOfStdin, true},
      {"start waits, end of stdin", "startWaits", Stop::kEndOfStdin, false},
      {"start waits, SIGTERM", "startWaits", Stop::kSigterm, false},
      {"start waits, SIGINT", "startWaits", Stop::kSigint, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // No cycles come, so the clock declares the aggregate dead: that line
    // proves the signal watchers exist.
    const CaptureWorld world{
        .extra = R"(,"tapAutoStart":")" + std::string(c.reading) +
                 R"(","script":[{"atMs":200,"aggregateAlive":false},)"
                 R"({"atMs":800,"aggregateAlive":false},)"
                 R"({"atMs":3200,"aggregateAlive":false}])"};
    Child tap(NIMBREL_TAP_PATH, on(world));
    ASSERT_EQ(tap.readLine(Stream::Stderr), kSpeakersFormat);
    if (c.started) {
      ASSERT_EQ(tap.readLine(Stream::Stderr), kStarted);
      ASSERT_EQ(tap.readLine(Stream::Stderr), kDeathLine);
    } else {
      EXPECT_EQ(tap.readLine(Stream::Stderr, e2e::Duration(300)), std::nullopt);
    }
    EXPECT_EQ(tap.readBytes(Stream::Stdout, 1, e2e::Duration(300)), "");
    const int signo = c.stop == Stop::kSigint ? SIGINT : SIGTERM;
    if (c.stop == Stop::kEndOfStdin) {
      tap.closeStdin();
    } else {
      tap.sendSignal(signo);
    }
    std::optional<e2e::ExitStatus> status = tap.waitExit();
    ASSERT_TRUE(status) << "still running";
    if (c.started || c.stop == Stop::kEndOfStdin) {
      EXPECT_FALSE(status->signaled) << "signal " << status->signal;
      EXPECT_EQ(status->code, 0);
      EXPECT_EQ(callsAfterStart(tap), kShutdown);
    } else {
      // Before "started" a signal keeps its default action.
      EXPECT_TRUE(status->signaled);
      EXPECT_EQ(status->signal, signo);
    }
    EXPECT_EQ(tap.readToEnd(Stream::Stdout), "");
    EXPECT_EQ(tap.readToEnd(Stream::Stderr), "");
  }
}

TEST(TapEndToEnd, AutoStartBeginsCaptureOnceSomethingPlays) {
  for (const char* reading : {"cyclesWait", "startWaits"}) {
    SCOPED_TRACE(reading);
    const CaptureWorld world{
        .extra =
            R"(,"tapAutoStart":")" + std::string(reading) +
            R"(","script":[{"atMs":300,"processes":[{"object":100,"pid":4242,)"
            R"("output":true,"signal":{"kind":"constant","value":0.5}}]}])"};
    Child tap(NIMBREL_TAP_PATH, on(world));
    ASSERT_EQ(tap.readLine(Stream::Stderr), kSpeakersFormat);
    ASSERT_EQ(tap.readLine(Stream::Stderr), kStarted);
    const std::string pcm = tap.readBytes(Stream::Stdout, 4 * kBytesPerCycle);
    expectPCM(pcm, std::vector<int16_t>(pcm.size() / 2, 16383));
    stopAndExpectCleanExit(tap, Stop::kEndOfStdin);
  }
}

// ---- Device changes --------------------------------------------------------

TEST(TapEndToEnd, EachDeviceChangeIsAnnouncedOnce) {
  struct Case {
    const char* name;
    std::string extra;  // script and failures
    std::vector<std::string>
        lines;  // one of them, whichever listener runs first
  };
  const std::string speakers = R"("speakers")";
  const Case cases[] = {
      {"default output switched",
       R"(,"script":[{"atCycle":5,"defaultOutput":"usb-dac"}])",
       {changeLine("default-output-changed", speakers, R"("usb-dac")")}},
      {"default output gone",
       R"(,"script":[{"atCycle":5,"defaultOutput":null}])",
       {changeLine("default-output-changed", speakers, R"("none")")}},
      {"new default output's UID unreadable",
       R"(,"failures":[{"op":"get","selector":"uid ","object":51,"status":-50}],)"
       R"("script":[{"atCycle":5,"defaultOutput":"usb-dac"}])",
       {changeLine("default-output-changed", speakers, R"("none")")}},
      {"aggregate device dead",
       R"(,"script":[{"atCycle":5,"aggregateAlive":false}])",
       {changeLine("aggregate-dead", speakers, speakers)}},
      {"aggregate rate changed",
       R"(,"script":[{"atCycle":5,"aggregateRate":44100}])",
       {changeLine("sample-rate-changed", speakers, speakers)}},
      {"aggregate rate gone to 0",
       R"(,"script":[{"atCycle":5,"aggregateRate":0}])",
       {changeLine("sample-rate-changed", speakers, speakers)}},
      {"output device rate changed",
       R"(,"script":[{"atCycle":5,"deviceRate":{"uid":"speakers","rate":16000}}])",
       {changeLine("device-sample-rate-changed", speakers, speakers),
        changeLine("sample-rate-changed", speakers, speakers)}},
  };
  // The platform promises no order among the listeners of one change.
  for (const char* order : {"asSet", "reversed"}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.name) + ", listeners " + order);
      const CaptureWorld world{.extra = R"(,"listenerOrder":")" +
                                        std::string(order) + "\"" + c.extra};
      Child tap(NIMBREL_TAP_PATH, on(world));
      ASSERT_EQ(tap.readLine(Stream::Stderr), kSpeakersFormat);
      ASSERT_EQ(tap.readLine(Stream::Stderr), kStarted);
      const std::string line = tap.readLine(Stream::Stderr).value_or("(none)");
      EXPECT_NE(std::find(c.lines.begin(), c.lines.end(), line), c.lines.end())
          << line;
      stopAndExpectCleanExit(tap, Stop::kSigterm);
    }
  }
}

TEST(TapEndToEnd, ChangesThatLeaveTheRouteAsAnnouncedWriteNothing) {
  // Each world ends with the aggregate device dying at cycle 15: that line
  // must be the first one after "started".
  struct Case {
    const char* name;
    CaptureWorld world;
  };
  auto world = [](std::string outputUID, std::string otherUID,
                  std::string script, std::string failures) {
    CaptureWorld w;
    w.outputUID = std::move(outputUID);
    w.otherUID = std::move(otherUID);
    w.extra = ",\"failures\":" + failures + ",\"script\":[" + script +
              R"(,{"atCycle":15,"aggregateAlive":false}])";
    return w;
  };
  const Case cases[] = {
      {"default output notified, still the same device",
       world("speakers", "usb-dac",
             R"({"atCycle":5,"defaultOutput":"speakers"})", "[]")},
      {"default output switched to a canonically equal UID",
       world("caf\u00e9", "cafe\u0301",
             "{\"atCycle\":5,\"defaultOutput\":\"cafe\u0301\"}", "[]")},
      {"aggregate rate notified at the announced rate",
       world("speakers", "usb-dac", R"({"atCycle":5,"aggregateRate":48000})",
             "[]")},
      {"output device rate notified at the announced rate",
       world("speakers", "usb-dac",
             R"({"atCycle":5,"deviceRate":{"uid":"speakers","rate":48000}})",
             "[]")},
      {"output device rate gone to 0",
       world("speakers", "usb-dac",
             R"({"atCycle":5,"deviceRate":{"uid":"speakers","rate":0}})",
             R"([{"op":"get","selector":"nsrt","object":400,"status":-50}])")},
      {"output device not watched when its UID did not translate",
       world("speakers", "usb-dac",
             R"({"atCycle":5,"deviceRate":{"uid":"speakers","rate":44100}})",
             R"([{"op":"get","selector":"uidd","status":-50},)"
             R"({"op":"get","selector":"nsrt","object":400,"status":-50}])")},
      {"aggregate liveness notified while alive",
       world("speakers", "usb-dac", R"({"atCycle":5,"aggregateAlive":true})",
             "[]")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Child tap(NIMBREL_TAP_PATH, on(c.world));
    const std::string uid = e2e::quoted(c.world.outputUID);
    ASSERT_EQ(tap.readLine(Stream::Stderr),
              formatLine(1, 0, uid, "48000", true, "48000"));
    ASSERT_EQ(tap.readLine(Stream::Stderr), kStarted);
    // The default output at cycle 15 is the other device only when the
    // world switched to it.
    const bool switched = c.world.otherUID != "usb-dac";
    EXPECT_EQ(tap.readLine(Stream::Stderr),
              changeLine("aggregate-dead", uid,
                         switched ? e2e::quoted(c.world.otherUID) : uid));
    stopAndExpectCleanExit(tap, Stop::kSigterm);
  }
}

TEST(TapEndToEnd, AfterOneAnnouncementNothingMoreAndCaptureGoesOn) {
  CaptureWorld world;
  world.players = {{4242, ramp(-1.0, 1.0 / 1024, 2048)}};
  world.extra =
      R"(,"script":[)"
      R"({"atCycle":5,"defaultOutput":"usb-dac"},)"
      R"({"atCycle":10,"aggregateAlive":false},)"
      R"({"atCycle":15,"aggregateRate":44100},)"
      R"({"atCycle":20,"deviceRate":{"uid":"speakers","rate":96000}},)"
      R"({"atCycle":25,"defaultOutput":null}])";
  Child tap(NIMBREL_TAP_PATH, on(world));
  ASSERT_EQ(tap.readLine(Stream::Stderr), kSpeakersFormat);
  ASSERT_EQ(tap.readLine(Stream::Stderr), kStarted);
  EXPECT_EQ(
      tap.readLine(Stream::Stderr),
      changeLine("default-output-changed", R"("speakers")", R"("usb-dac")"));
  // Forty cycles out, every scripted change is queued for its listeners
  // ahead of the stop.
  std::string pcm = tap.readBytes(Stream::Stdout, 40 * kBytesPerCycle);
  ASSERT_EQ(pcm.size(), size_t(40 * kBytesPerCycle));
  tap.sendSignal(SIGTERM);
  pcm += tap.readToEnd(Stream::Stdout);
  expectExit(tap, 0);
  EXPECT_EQ(tap.readToEnd(Stream::Stderr), "");
  expectPCM(pcm, tapworld::expectedPCM(world, pcm.size() / 2, {}));
}

// ---- A stalled reader ------------------------------------------------------

TEST(TapEndToEnd, StalledReaderGetsTheNewestAudioWithBoundedMemory) {
  // At four times real time the queue's 384,000 bytes last one second. From
  // cycle 600 on the tap hears a constant that the ramp never produces.
  constexpr int kMarkerCycle = 600;
  const int16_t marker = reference::quantize(float(0.7501));
  CaptureWorld world;
  world.speed = 4;
  world.players = {{4242, ramp(-1.0, 1.0 / 1024, 2048)}};
  world.extra = ",\"script\":[{\"atCycle\":" + std::to_string(kMarkerCycle) +
                R"(,"processes":[{"object":100,"pid":4242,"output":true,)"
                R"("signal":{"kind":"constant","value":0.7501}}]}])";
  Child tap(NIMBREL_TAP_PATH, on(world));
  ASSERT_EQ(tap.readLine(Stream::Stderr), kSpeakersFormat);
  ASSERT_EQ(tap.readLine(Stream::Stderr), kStarted);
  std::string before = tap.readBytes(Stream::Stdout, kBytesPerCycle);
  before += tap.readAvailable(Stream::Stdout);
  // Short enough that dropping shows: the marker must come out earlier in
  // the stream than the ramp up to it would take.
  ASSERT_LT(before.size() + 65536 + 384000 + kBytesPerCycle,
            size_t(kMarkerCycle * kBytesPerCycle));
  const std::optional<int64_t> residentBefore =
      procstat::residentKiB(tap.pid());
  ASSERT_TRUE(residentBefore) << "the tap's resident set cannot be read";

  // Stall for long enough to pass the marker cycle with a full queue behind
  // it, even on a slow machine.
  std::this_thread::sleep_for(std::chrono::seconds(6));
  const std::optional<int64_t> residentAfter = procstat::residentKiB(tap.pid());
  EXPECT_FALSE(tap.waitExit(e2e::Duration(0)));
  ASSERT_TRUE(residentAfter) << "the tap's resident set cannot be read";
  EXPECT_LT(*residentAfter - *residentBefore, 4 * 1024)
      << *residentBefore << " KiB before the stall";

  // Without dropping the oldest bytes, the reader would first get the whole
  // ramp up to the marker cycle; with it, the marker follows what the pipe
  // held and the queue's newest bytes.
  const size_t bound = 65536 + 384000 + kBytesPerCycle;
  std::string after = tap.readBytes(Stream::Stdout, bound);
  const std::vector<int16_t> got = tapworld::samples(before + after);
  size_t first = 0;
  while (first < got.size() && got[first] != marker) ++first;
  EXPECT_LT(first, got.size()) << "the newest audio never came";
  EXPECT_LT(2 * first, size_t(kMarkerCycle * kBytesPerCycle));
  // What came before it is the ramp, in order, from the start.
  const std::vector<int16_t> ramp0 = tapworld::expectedPCM(world, 2048, {});
  for (size_t i = 0; i < before.size() / 2; ++i) {
    ASSERT_EQ(got[i], ramp0[i % 2048]) << "sample " << i;
  }

  tap.closeStdin();
  tap.readToEnd(Stream::Stdout);
  expectExit(tap, 0);
  EXPECT_EQ(tap.readToEnd(Stream::Stderr), "");
}

}  // namespace
