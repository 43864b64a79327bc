// The fault matrix: each platform operation that the probe or the tap calls
// fails in turn, and each program must give exactly its specified result.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "testing/e2e_harness.h"
#include "testing/probe_runs.h"
#include "testing/tap_runs.h"
#include "testing/tap_worlds.h"

namespace {

using e2e::Child;
using e2e::Stream;
using probeworld::kNobody;
using tapworld::CaptureWorld;
using tapworld::errorLine;
using tapworld::kChain;
using tapworld::kShutdown;
using tapworld::kSpeakersFormat;
using tapworld::kStarted;
using tapworld::Lines;
using tapworld::operator+;

/// Runs `check(row, child)` for every row, `width` rows at a time, each on
/// a thread of its own, so that every child is read as it writes.
template <class Row, class Start, class Check>
void runRows(const std::vector<Row>& rows, size_t width, Start start,
             Check check) {
  for (size_t first = 0; first < rows.size(); first += width) {
    std::vector<std::thread> threads;
    for (size_t i = first; i < std::min(rows.size(), first + width); ++i) {
      threads.emplace_back([&, i] {
        SCOPED_TRACE(rows[i].op);
        const std::unique_ptr<Child> child = start(rows[i]);
        check(rows[i], *child);
      });
    }
    for (std::thread& thread : threads) thread.join();
  }
}

// ---- The probe -------------------------------------------------------------

// Three audio clients: a named application that records and plays, a tool
// that plays, and a system service that holds the microphone.
const std::string kTalker =
    R"({"object":101,"pid":4242,"bundleID":"org.example.talker","input":true,)"
    R"("output":true,"app":{"name":"Talker"},)"
    R"("path":"/Applications/Talker.app/Contents/MacOS/talker"})";
const std::string kToneGen =
    R"({"object":102,"pid":5150,"output":true,"app":{},)"
    R"("path":"/usr/local/bin/tonegen"})";
const std::string kSpeech =
    R"({"object":103,"pid":300,"bundleID":"com.apple.assistantd","input":true,)"
    R"("path":"/usr/libexec/speechhelper"})";

const std::string kTalkerOwner =
    R"({"bundleID":"org.example.talker","gui":true,"ignored":false,"input":true,"name":"Talker","output":true,"pid":4242})";
const std::string kToneGenOwner =
    R"({"gui":false,"ignored":false,"input":false,"name":"tonegen","output":true,"pid":5150})";
const std::string kSpeechOwner =
    R"({"bundleID":"com.apple.assistantd","gui":false,"ignored":true,"input":true,"name":"speechhelper","output":false,"pid":300})";

std::string report(bool audioPlaying, bool micHot, const Lines& owners) {
  std::string list;
  for (const std::string& owner : owners) {
    list += (list.empty() ? "" : ",") + owner;
  }
  return std::string("{\"audioPlaying\":") + (audioPlaying ? "true" : "false") +
         ",\"micHot\":" + (micHot ? "true" : "false") + ",\"owners\":[" + list +
         "],\"type\":\"state\"}";
}

constexpr size_t kTicks = 4;  // the probe must reach, still running

struct ProbeRow {
  const char* op;
  std::vector<std::string> args = {};  // after "--interval-ms 200"
  std::string failures = "[]";
  std::string processes = "[" + kSpeech + "," + kTalker + "," + kToneGen + "]";
  std::string expected = "";  // the one state every tick reports
};

TEST(FaultMatrix, ProbeReportsWhatItCouldReadAndKeepsTicking) {
  const std::string noTalkerApp =
      R"({"object":101,"pid":4242,)"
      R"("bundleID":"org.example.talker",)"
      R"("input":true,"output":true,)"
      R"("path":"/Applications/Talker.app/x/talker"})";
  const std::string pathless =
      R"({"object":102,"pid":5150,"output":true,"app":{}})";
  const std::string badPath =
      R"({"object":102,"pid":5150,"output":true,"app":{},)"
      R"("pathHex":"2f62696e2f746f6e65ff67656e"})";
  const std::string talkerFromPath =
      R"({"bundleID":"org.example.talker","gui":false,"ignored":false,"input":true,"name":"talker","output":true,"pid":4242})";
  const std::string speechUnbundled =
      R"({"gui":false,"ignored":false,"input":true,"name":"speechhelper","output":false,"pid":300})";
  const std::string talkerDeaf =
      R"({"bundleID":"org.example.talker","gui":true,"ignored":false,"input":false,"name":"Talker","output":true,"pid":4242})";
  const std::string talkerMute =
      R"({"bundleID":"org.example.talker","gui":true,"ignored":false,"input":true,"name":"Talker","output":false,"pid":4242})";
  const std::string cafe =
      R"({"object":104,"pid":7000,"bundleID":"café.app","output":true,)"
      R"("path":"/usr/local/bin/cafe"})";
  const std::string everyone =
      report(true, true, {kSpeechOwner, kTalkerOwner, kToneGenOwner});
  const std::vector<ProbeRow> rows = {
      {.op = "nothing fails", .expected = everyone},
      {.op = "prs# size query fails",
       .failures = R"([{"op":"getSize","selector":"prs#","status":-50}])",
       .expected = kNobody},
      {.op = "prs# size query gives no size",
       .failures =
           R"([{"op":"getSize","selector":"prs#","status":0,"noObject":true}])",
       .expected = kNobody},
      {.op = "prs# read fails",
       .failures = R"([{"op":"get","selector":"prs#","status":-50}])",
       .expected = kNobody},
      {.op = "prs# read fills nothing",
       .failures =
           R"([{"op":"get","selector":"prs#","status":0,"noObject":true}])",
       .expected = kNobody},
      {.op = "ppid read fails",
       .failures =
           R"([{"op":"get","selector":"ppid","object":101,"status":-50}])",
       .expected = report(true, false, {kSpeechOwner, kToneGenOwner})},
      {.op = "ppid read fills nothing",
       .failures =
           R"([{"op":"get","selector":"ppid","object":101,"status":0,"noObject":true}])",
       .expected = report(true, false, {kSpeechOwner, kToneGenOwner})},
      {.op = "piri read fails",
       .failures =
           R"([{"op":"get","selector":"piri","object":101,"status":-50}])",
       .expected =
           report(true, false, {kSpeechOwner, talkerDeaf, kToneGenOwner})},
      {.op = "piri read fills nothing",
       .failures =
           R"([{"op":"get","selector":"piri","object":101,"status":0,"noObject":true}])",
       .expected =
           report(true, false, {kSpeechOwner, talkerDeaf, kToneGenOwner})},
      {.op = "piro read fails",
       .failures = R"([{"op":"get","selector":"piro","status":-50}])",
       .expected = report(false, true, {kSpeechOwner, talkerMute})},
      {.op = "piro read fills nothing",
       .failures =
           R"([{"op":"get","selector":"piro","status":0,"noObject":true}])",
       .expected = report(false, true, {kSpeechOwner, talkerMute})},
      {.op = "pbid read fails",
       .failures =
           R"([{"op":"get","selector":"pbid","object":103,"status":-50}])",
       .expected =
           report(true, true, {speechUnbundled, kTalkerOwner, kToneGenOwner})},
      {.op = "pbid read gives a null reference",
       .failures =
           R"([{"op":"get","selector":"pbid","object":103,"status":0,"noObject":true}])",
       .expected =
           report(true, true, {speechUnbundled, kTalkerOwner, kToneGenOwner})},
      {.op = "no running application",
       .processes = "[" + kSpeech + "," + noTalkerApp + "," + kToneGen + "]",
       .expected =
           report(true, true, {kSpeechOwner, talkerFromPath, kToneGenOwner})},
      {.op = "executable path unreadable",
       .processes = "[" + kSpeech + "," + kTalker + "," + pathless + "]",
       .expected = report(
           true, true,
           {kSpeechOwner, kTalkerOwner,
            R"({"gui":false,"ignored":false,"input":false,"name":"pid 5150","output":true,"pid":5150})"})},
      {.op = "executable path not UTF-8",
       .processes = "[" + kSpeech + "," + kTalker + "," + badPath + "]",
       .expected =
           report(true, true,
                  {kSpeechOwner, kTalkerOwner,
                   "{\"gui\":false,\"ignored\":false,\"input\":false,\"name\":"
                   "\"tone\xEF\xBF\xBDgen\",\"output\":true,\"pid\":5150}"})},
      {.op = "bundle prefix not UTF-8: it never matches half a character",
       .args = {"--exclude-bundle-prefix", "caf\xC3"},
       .processes = "[" + cafe + "]",
       .expected = report(
           true, false,
           {R"({"bundleID":"café.app","gui":false,"ignored":false,"input":false,"name":"cafe","output":true,"pid":7000})"})},
      {.op = "every read fails",
       .failures =
           R"([{"op":"get","status":-50},{"op":"getSize","status":-50}])",
       .processes = "[" + kSpeech + "," + noTalkerApp + "," + pathless + "]",
       .expected = kNobody},
  };
  runRows(
      rows, 6,
      [](const ProbeRow& row) {
        std::vector<std::string> args{"--interval-ms", "200"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        return std::make_unique<Child>(
            NIMBREL_PROBE_PATH,
            e2e::LaunchOptions{.args = args,
                               .world = R"({"processes":)" + row.processes +
                                        R"(,"failures":)" + row.failures +
                                        "}"});
      },
      [](const ProbeRow& row, Child& probe) {
        EXPECT_EQ(probe.readLine(),
                  R"({"intervalMs":200,"protocolVersion":1,"type":"hello"})");
        EXPECT_EQ(probe.readLine(), row.expected);
        // Still ticking, never stopped, and silent but for heartbeats.
        probeworld::waitForTicks(probe, kTicks);
        EXPECT_GE(probeworld::ticks(probe), kTicks);
        EXPECT_FALSE(probe.waitExit(e2e::Duration(0))) << "the probe stopped";
        const std::string rest = probeworld::closeAndExpectExit(probe);
        EXPECT_TRUE(probeworld::onlyRepeats(rest, row.expected))
            << "not only heartbeats: " << rest;
      });
}

// ---- The tap ---------------------------------------------------------------

// The event lines of a tap on the default output device, "speakers".
std::string formatLine(int channels, int deviceInputChannels,
                       const std::string& sampleRate, bool sourceIsFloat,
                       const std::string& tapRate) {
  return tapworld::formatLine(channels, deviceInputChannels, R"("speakers")",
                              sampleRate, sourceIsFloat, tapRate);
}

std::string changeLine(const std::string& reason, const std::string& to) {
  return tapworld::changeLine(reason, R"("speakers")", "\"" + to + "\"");
}

const std::string kTapCreateMessage =
    "AudioHardwareCreateProcessTap failed. This usually means the System "
    "Audio Recording permission was denied, or NSAudioCaptureUsageDescription "
    "is missing from Info.plist.";
const std::string kAggregateMessage =
    "AudioHardwareCreateAggregateDevice failed.";
const std::string kIOProcMessage = "AudioDeviceCreateIOProcIDWithBlock failed.";

const Lines kTeardown{"destroyAggregateDevice 400", "destroyProcessTap 300"};

// A scripted change, repeated so that the listeners, installed just after
// "started", see it however late they come; and a later, different change
// whose line shows that the listener under test stayed silent.
std::string repeated(const std::string& change) {
  std::string entries;
  for (int cycle : {10, 20, 40, 80, 160}) {
    entries += ",{\"atCycle\":" + std::to_string(cycle) + "," + change + "}";
  }
  return entries;
}
std::string later(const std::string& change) {
  return ",{\"atCycle\":250," + change + "},{\"atCycle\":300," + change + "}";
}
const std::string kSwitch = R"("defaultOutput":"usb-dac")";
const std::string kSameOutput = R"("defaultOutput":"speakers")";
const std::string kDeath = R"("aggregateAlive":false)";
const std::string kAggregateRate = R"("aggregateRate":44100)";
const std::string kDeviceRate =
    R"("deviceRate":{"uid":"speakers","rate":44100})";

// Captured before the stop: past every scripted change, if any.
constexpr uint64_t kCyclesPastTheScript = 350;
constexpr uint64_t kCyclesWithoutScript = 64;

struct TapRow {
  const char* op;
  std::string failures;
  std::string script = "";  // entries, each with a leading comma
  std::vector<std::string> args = {};
  std::vector<uint32_t> inputStreams = {};
  double deviceRate = 48000;
  /// Every line on standard error. A run that starts is then stopped with
  /// SIGTERM and must exit 0; one that does not must exit 1.
  Lines lines;
  Lines calls;      // the whole call log
  bool pcm = true;  // the PCM follows the conversion rules with nobody excluded
};

TEST(FaultMatrix, TapGivesTheSpecifiedResultForEachFailure) {
  const std::string noObject = R"(,"status":0,"noObject":true}])";
  const std::vector<TapRow> rows = {
      // Start-up.
      {.op = "id2p read fails: nobody is excluded",
       .failures = R"([{"op":"get","selector":"id2p","status":-50}])",
       .args = {"--exclude-pid", "4242"},
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain + kShutdown},
      {.op = "id2p read fills nothing: nobody is excluded",
       .failures = R"([{"op":"get","selector":"id2p")" + noObject,
       .args = {"--exclude-pid", "4242"},
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain + kShutdown},
      {.op = "createProcessTap fails",
       .failures = R"([{"op":"createProcessTap","status":-50}])",
       .lines = {errorLine("TAP_CREATE_FAILED", kTapCreateMessage, -50)},
       .calls = {"createProcessTap 0 status -50"}},
      {.op = "createProcessTap makes no tap",
       .failures = R"([{"op":"createProcessTap")" + noObject,
       .lines = {errorLine("TAP_CREATE_FAILED", kTapCreateMessage, 0)},
       .calls = {"createProcessTap 0"}},
      {.op = "tuid read fails",
       .failures = R"([{"op":"get","selector":"tuid","status":-50}])",
       .lines = {errorLine("TAP_UID_FAILED", "Could not read the tap UID.")},
       .calls = {"createProcessTap 300"}},
      {.op = "tuid read gives a null reference",
       .failures = R"([{"op":"get","selector":"tuid")" + noObject,
       .lines = {errorLine("TAP_UID_FAILED", "Could not read the tap UID.")},
       .calls = {"createProcessTap 300"}},
      {.op = "dOut read fails",
       .failures = R"([{"op":"get","selector":"dOut","status":-50}])",
       .lines = {errorLine("NO_OUTPUT_DEVICE", "No default output device.")},
       .calls = {"createProcessTap 300"}},
      {.op = "dOut read gives device 0",
       .failures = R"([{"op":"get","selector":"dOut")" + noObject,
       .lines = {errorLine("NO_OUTPUT_DEVICE", "No default output device.")},
       .calls = {"createProcessTap 300"}},
      {.op = "uid read fails",
       .failures = R"([{"op":"get","selector":"uid ","status":-50}])",
       .lines = {errorLine("NO_OUTPUT_DEVICE", "No default output device.")},
       .calls = {"createProcessTap 300"}},
      {.op = "uid read gives a null reference",
       .failures = R"([{"op":"get","selector":"uid ")" + noObject,
       .lines = {errorLine("NO_OUTPUT_DEVICE", "No default output device.")},
       .calls = {"createProcessTap 300"}},
      {.op = "createAggregateDevice fails",
       .failures = R"([{"op":"createAggregateDevice","status":1852797029}])",
       .lines = {errorLine("AGGREGATE_CREATE_FAILED", kAggregateMessage,
                           1852797029)},
       .calls = {"createProcessTap 300",
                 "createAggregateDevice 0 status 1852797029"}},
      {.op = "createAggregateDevice makes no device",
       .failures = R"([{"op":"createAggregateDevice")" + noObject,
       .lines = {errorLine("AGGREGATE_CREATE_FAILED", kAggregateMessage, 0)},
       .calls = {"createProcessTap 300", "createAggregateDevice 0"}},
      {.op = "tfmt read fails",
       .failures = R"([{"op":"get","selector":"tfmt","status":-50}])",
       .lines = {errorLine("TAP_FORMAT_FAILED",
                           "Could not read the tap stream format.")},
       .calls = Lines{"createProcessTap 300", "createAggregateDevice 400"} +
                kTeardown},
      {.op = "tfmt read fails and so does the teardown's first step",
       .failures = R"([{"op":"get","selector":"tfmt","status":-50},)"
                   R"({"op":"destroyAggregateDevice","status":-50}])",
       .lines = {errorLine("TAP_FORMAT_FAILED",
                           "Could not read the tap stream format.")},
       .calls = {"createProcessTap 300", "createAggregateDevice 400",
                 "destroyAggregateDevice 400 status -50",
                 "destroyProcessTap 300"}},
      {.op = "tfmt read fills nothing: an all-zero format",
       .failures = R"([{"op":"get","selector":"tfmt")" + noObject,
       .lines = {formatLine(0, 0, "48000", false, "0"), kStarted},
       .calls = kChain + kShutdown,
       .pcm = false},
      {.op = "uidd read fails",
       .failures = R"([{"op":"get","selector":"uidd","status":-50}])",
       .inputStreams = {2},
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain + kShutdown,
       .pcm = false},
      {.op = "uidd read gives device 0",
       .failures = R"([{"op":"get","selector":"uidd")" + noObject,
       .inputStreams = {2},
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain + kShutdown,
       .pcm = false},
      {.op = "nsrt read of the aggregate fails",
       .failures =
           R"([{"op":"get","selector":"nsrt","object":400,"status":-50}])",
       .deviceRate = 44100,
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain + kShutdown},
      {.op = "nsrt read of the aggregate fills nothing",
       .failures = R"([{"op":"get","selector":"nsrt","object":400)" + noObject,
       .deviceRate = 44100,
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain + kShutdown},
      {.op = "slay size query fails",
       .failures = R"([{"op":"getSize","selector":"slay","status":-50}])",
       .inputStreams = {2, 2},
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain + kShutdown,
       .pcm = false},
      {.op = "slay size query gives no size",
       .failures = R"([{"op":"getSize","selector":"slay")" + noObject,
       .inputStreams = {2, 2},
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain + kShutdown,
       .pcm = false},
      {.op = "slay read fails",
       .failures = R"([{"op":"get","selector":"slay","status":-50}])",
       .inputStreams = {2, 2},
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain + kShutdown,
       .pcm = false},
      {.op = "slay read fills nothing",
       .failures = R"([{"op":"get","selector":"slay")" + noObject,
       .inputStreams = {2, 2},
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain + kShutdown,
       .pcm = false},
      {.op = "createIOProc fails",
       .failures = R"([{"op":"createIOProc","status":-66}])",
       .lines = {kSpeakersFormat,
                 errorLine("IOPROC_FAILED", kIOProcMessage, -66)},
       .calls = Lines{"createProcessTap 300", "createAggregateDevice 400",
                      "createIOProcID 400 status -66"} +
                kTeardown},
      {.op = "createIOProc makes no proc",
       .failures = R"([{"op":"createIOProc")" + noObject,
       .lines = {kSpeakersFormat,
                 errorLine("IOPROC_FAILED", kIOProcMessage, 0)},
       .calls = Lines{"createProcessTap 300", "createAggregateDevice 400",
                      "createIOProcID 400"} +
                kTeardown},
      {.op = "the writer thread cannot start",
       .failures = R"([{"op":"startThread","status":35}])",
       .lines = {tapworld::kSpeakersFormat,
                 errorLine("WRITER_START_FAILED",
                           "Could not start the writer thread.")},
       .calls = Lines{"createProcessTap 300", "createAggregateDevice 400"} +
                kTeardown},
      {.op = "deviceStart fails",
       .failures = R"([{"op":"start","status":1937010544}])",
       .lines = {kSpeakersFormat,
                 errorLine("DEVICE_START_FAILED", "AudioDeviceStart failed.",
                           1937010544)},
       .calls =
           Lines{"createProcessTap 300", "createAggregateDevice 400",
                 "createIOProcID 400", "deviceStart 400 status 1937010544"} +
           kTeardown},

      // Listener installation: the change goes unreported, others still are.
      {.op = "addListener dOut fails",
       .failures = R"([{"op":"addListener","selector":"dOut","status":-50}])",
       .script = repeated(kSwitch) + later(kDeath),
       .lines = {kSpeakersFormat, kStarted,
                 changeLine("aggregate-dead", "usb-dac")},
       .calls = kChain + kShutdown},
      {.op = "addListener livn fails",
       .failures = R"([{"op":"addListener","selector":"livn","status":-50}])",
       .script = repeated(kDeath) + later(kSwitch),
       .lines = {kSpeakersFormat, kStarted,
                 changeLine("default-output-changed", "usb-dac")},
       .calls = kChain + kShutdown},
      {.op = "addListener nsrt of the aggregate fails",
       .failures =
           R"([{"op":"addListener","selector":"nsrt","object":400,"status":-50}])",
       .script = repeated(kAggregateRate) + later(kDeath),
       .lines = {kSpeakersFormat, kStarted,
                 changeLine("aggregate-dead", "speakers")},
       .calls = kChain + kShutdown},
      {.op = "addListener nsrt of the output device fails",
       .failures =
           R"([{"op":"addListener","selector":"nsrt","object":50,"status":-50}])",
       .script = repeated(kDeviceRate),
       .lines = {kSpeakersFormat, kStarted,
                 changeLine("sample-rate-changed", "speakers")},
       .calls = kChain + kShutdown},
      {.op = "addListener fails for every listener",
       .failures = R"([{"op":"addListener","status":-50}])",
       .script = repeated(kSwitch) + repeated(kDeath) +
                 repeated(kAggregateRate) + repeated(kDeviceRate),
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain + kShutdown},

      // Reads inside the listeners.
      {.op = "livn read fails in the listener",
       .failures = R"([{"op":"get","selector":"livn","status":-50}])",
       .script = repeated(kDeath) + later(kSwitch),
       .lines = {kSpeakersFormat, kStarted,
                 changeLine("default-output-changed", "usb-dac")},
       .calls = kChain + kShutdown},
      {.op = "livn read fills nothing in the listener: still alive",
       .failures = R"([{"op":"get","selector":"livn")" + noObject,
       .script = repeated(kDeath) + later(kSwitch),
       .lines = {kSpeakersFormat, kStarted,
                 changeLine("default-output-changed", "usb-dac")},
       .calls = kChain + kShutdown},
      {.op = "nsrt read of the aggregate fails in the listener",
       .failures =
           R"([{"op":"get","selector":"nsrt","object":400,"skip":1,"status":-50}])",
       .script = repeated(kAggregateRate) + later(kDeath),
       .lines = {kSpeakersFormat, kStarted,
                 changeLine("aggregate-dead", "speakers")},
       .calls = kChain + kShutdown},
      {.op = "nsrt read of the aggregate fills nothing in the listener: 0",
       .failures =
           R"([{"op":"get","selector":"nsrt","object":400,"skip":1)" + noObject,
       .script = repeated(kAggregateRate),
       .lines = {kSpeakersFormat, kStarted,
                 changeLine("sample-rate-changed", "speakers")},
       .calls = kChain + kShutdown},
      {.op = "nsrt read of the output device fails in the listener",
       .failures =
           R"([{"op":"get","selector":"nsrt","object":50,"status":-50}])",
       .script = repeated(kDeviceRate),
       .lines = {kSpeakersFormat, kStarted,
                 changeLine("sample-rate-changed", "speakers")},
       .calls = kChain + kShutdown},
      {.op = "nsrt read of the output device fills nothing: 0 is ignored",
       .failures = R"([{"op":"get","selector":"nsrt","object":50)" + noObject,
       .script = repeated(kDeviceRate),
       .lines = {kSpeakersFormat, kStarted,
                 changeLine("sample-rate-changed", "speakers")},
       .calls = kChain + kShutdown},
      {.op = "dOut read fails in the default-output listener",
       .failures = R"([{"op":"get","selector":"dOut","skip":1,"status":-50}])",
       .script = repeated(kSameOutput),
       .lines = {kSpeakersFormat, kStarted,
                 changeLine("default-output-changed", "none")},
       .calls = kChain + kShutdown},
      {.op = "dOut read gives device 0 in the default-output listener",
       .failures = R"([{"op":"get","selector":"dOut","skip":1)" + noObject,
       .script = repeated(kSameOutput),
       .lines = {kSpeakersFormat, kStarted,
                 changeLine("default-output-changed", "none")},
       .calls = kChain + kShutdown},
      {.op = "dOut read fails in the aggregate listener",
       .failures = R"([{"op":"get","selector":"dOut","skip":1,"status":-50}])",
       .script = repeated(kDeath),
       .lines = {kSpeakersFormat, kStarted,
                 changeLine("aggregate-dead", "none")},
       .calls = kChain + kShutdown},
      {.op = "uid read fails in the default-output listener",
       .failures =
           R"([{"op":"get","selector":"uid ","object":50,"skip":1,"status":-50}])",
       .script = repeated(kSameOutput),
       .lines = {kSpeakersFormat, kStarted,
                 changeLine("default-output-changed", "none")},
       .calls = kChain + kShutdown},
      {.op = "uid read gives a null reference in the rate listener",
       .failures =
           R"([{"op":"get","selector":"uid ","object":50,"skip":1)" + noObject,
       .script = repeated(kAggregateRate),
       .lines = {kSpeakersFormat, kStarted,
                 changeLine("sample-rate-changed", "none")},
       .calls = kChain + kShutdown},

      // Shutdown: every step runs whatever the one before returned.
      {.op = "deviceStop fails",
       .failures = R"([{"op":"stop","status":-50}])",
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain +
                Lines{"deviceStop 400 status -50", "destroyIOProcID 400",
                      "destroyAggregateDevice 400", "destroyProcessTap 300"}},
      {.op = "destroyIOProcID fails",
       .failures = R"([{"op":"destroyIOProc","status":-50}])",
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain +
                Lines{"deviceStop 400", "destroyIOProcID 400 status -50",
                      "destroyAggregateDevice 400", "destroyProcessTap 300"}},
      {.op = "destroyAggregateDevice fails",
       .failures = R"([{"op":"destroyAggregateDevice","status":-50}])",
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain + Lines{"deviceStop 400", "destroyIOProcID 400",
                               "destroyAggregateDevice 400 status -50",
                               "destroyProcessTap 300"}},
      {.op = "destroyProcessTap fails",
       .failures = R"([{"op":"destroyProcessTap","status":-50}])",
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain + Lines{"deviceStop 400", "destroyIOProcID 400",
                               "destroyAggregateDevice 400",
                               "destroyProcessTap 300 status -50"}},
      {.op = "every shutdown step fails",
       .failures =
           R"([{"op":"stop","status":-1},{"op":"destroyIOProc","status":-2},)"
           R"({"op":"destroyAggregateDevice","status":-3},)"
           R"({"op":"destroyProcessTap","status":-4}])",
       .lines = {kSpeakersFormat, kStarted},
       .calls = kChain + Lines{"deviceStop 400 status -1",
                               "destroyIOProcID 400 status -2",
                               "destroyAggregateDevice 400 status -3",
                               "destroyProcessTap 300 status -4"}},
  };
  auto worldOf = [](const TapRow& row) {
    CaptureWorld world;
    world.players = {{4242, tapworld::ramp(-0.9, 0.000173, 10007)},
                     {5150, tapworld::square(0.25, 96)}};
    world.deviceRate = row.deviceRate;
    world.inputStreams = row.inputStreams;
    world.speed = 4;
    world.extra = ",\"failures\":" + row.failures;
    if (!row.script.empty())
      world.extra += ",\"script\":[" + row.script.substr(1) + "]";
    return world;
  };
  runRows(
      rows, 6,
      [&](const TapRow& row) {
        return std::make_unique<Child>(
            NIMBREL_TAP_PATH,
            e2e::LaunchOptions{.args = row.args, .world = worldOf(row).json()});
      },
      [&](const TapRow& row, Child& tap) {
        const bool starts = row.lines.size() >= 2 && row.lines[1] == kStarted;
        for (const std::string& line : row.lines) {
          EXPECT_EQ(tap.readLine(Stream::Stderr), line);
        }
        if (starts) {
          const uint64_t cycles =
              row.script.empty() ? kCyclesWithoutScript : kCyclesPastTheScript;
          const std::string pcm = tap.readBytes(Stream::Stdout, cycles * 1024);
          EXPECT_EQ(pcm.size(), cycles * 1024);
          if (row.pcm && pcm.size() == cycles * 1024) {
            const std::vector<int16_t> expected =
                tapworld::expectedPCM(worldOf(row), cycles * 512, {});
            const std::vector<int16_t> got = tapworld::samples(pcm);
            const auto [gotAt, expectedAt] =
                std::mismatch(got.begin(), got.end(), expected.begin());
            EXPECT_TRUE(gotAt == got.end())
                << "the PCM does not follow the conversion rules from frame "
                << gotAt - got.begin() << " on: " << *gotAt << " instead of "
                << *expectedAt;
          }
          tap.closeStdin();
        }
        e2e::expectExit(tap, starts ? 0 : 1);
        EXPECT_EQ(tap.readToEnd(Stream::Stderr), "");
        if (!starts) {
          EXPECT_EQ(tap.readToEnd(Stream::Stdout), "");
        }
        EXPECT_EQ(tap.callLog(), row.calls);
      });
}

}  // namespace
