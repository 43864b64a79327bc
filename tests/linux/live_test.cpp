// The real binaries on a private headless audio server, with real players and
// a real recorder, through real pipes: what the parent would see.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <thread>

#include "testing/e2e_harness.h"
#include "tests/linux/live_server.h"
#include "tests/linux/tone.h"

namespace {

using e2e::Child;
using e2e::Stream;
using nlohmann::json;
using namespace std::chrono_literals;

constexpr double kRate = 48000;
// Hz, the players' tones: multiples of 50 Hz, so each 20 ms window can be
// judged on its own.
constexpr int kLow = 450, kMid = 600, kHigh = 1000;
constexpr int kAmplitude = 8000;  // of 32767, each

json nextJson(Child& child, Stream stream,
              e2e::Duration timeout = e2e::kPatience) {
  std::optional<std::string> line = child.readLine(stream, timeout);
  return line ? json::parse(*line, nullptr, false) : json();
}

// The first state line that lists every PID of `pids`.
json stateListing(Child& probe, const std::vector<pid_t>& pids) {
  for (auto deadline = std::chrono::steady_clock::now() + 20s;
       std::chrono::steady_clock::now() < deadline;) {
    json line = nextJson(probe, Stream::Stdout, 5s);
    if (!line.is_object() || line.value("type", "") != "state") continue;
    size_t found = 0;
    for (pid_t pid : pids) {
      for (const json& owner : line["owners"]) found += owner["pid"] == pid;
    }
    if (found == pids.size()) return line;
  }
  return json();
}

json owner(pid_t pid, const char* name, bool input, bool gui = false) {
  return {{"gui", gui},   {"ignored", false}, {"input", input},
          {"name", name}, {"output", !input}, {"pid", pid}};
}

json ownerOf(const json& state, pid_t pid) {
  for (const json& owner : state["owners"]) {
    if (owner["pid"] == pid) return owner;
  }
  return json();
}

// Starts the tap with `args` and reads up to "started".
void expectStarted(Child& tap) {
  json format = nextJson(tap, Stream::Stderr);
  EXPECT_EQ(format.value("type", ""), "format") << format;
  EXPECT_EQ(format.value("sampleRate", 0.0), kRate);
  EXPECT_EQ(format.value("outputDeviceUID", ""), "speakers");
  EXPECT_EQ(nextJson(tap, Stream::Stderr).value("type", ""), "started");
}

// Two seconds of PCM once it flows, and how long it took to come: its rate.
struct Recording {
  std::vector<int16_t> pcm;
  double measuredRate = 0;
};
Recording record(Child& tap) {
  tap.readBytes(Stream::Stdout, size_t(kRate) / 2);  // start-up settles
  const auto started = std::chrono::steady_clock::now();
  Recording recording;
  recording.pcm =
      live::samples(tap.readBytes(Stream::Stdout, size_t(kRate) * 2 * 3));
  const std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - started;
  recording.measuredRate = double(recording.pcm.size()) / took.count();
  return recording;
}

// The tone is there at its level, and in every 20 ms window. The level is
// the median window's: a player that misses a deadline on a loaded 2-core
// machine shifts its tone's phase, which a level over the whole recording
// would count as quieter. One window may lack it: the server's own graph
// misses a cycle now and then, silencing every tone at once, whoever records
// (the mix losing a player lost 11 to 16 of 150).
void expectHeard(const Recording& recording, int frequency) {
  EXPECT_NEAR(live::medianWindowAmplitude(recording.pcm, frequency, kRate),
              kAmplitude, kAmplitude * 0.03)
      << frequency << " Hz";
  EXPECT_LE(live::quietWindows(recording.pcm, frequency, kRate, kAmplitude), 1)
      << "20 ms windows without the " << frequency << " Hz tone";
}

// On PipeWire, some players and recorders are its own native clients.
live::Client nativeWhereAny(const live::Server& server) {
  return server.pipewire() ? live::Client::PipeWire : live::Client::Pulse;
}
const char* nativeName(const live::Server& server) {
  return server.pipewire() ? "pw-cat" : "pacat";
}

void expectOrderlyStop(Child& tap) {
  tap.closeStdin();
  std::optional<e2e::ExitStatus> status = tap.waitExit();
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->signaled);
  EXPECT_EQ(status->code, 0);
  EXPECT_EQ(tap.readToEnd(Stream::Stderr), "") << "nothing more after the stop";
}

// A command-line client is named after its executable (paplay and parec are
// pacat); one with a desktop identity (an icon) by its own name, as `gui`.
TEST(LiveProbe, ListsPlayersWithOutputAndTheRecorderWithInput) {
  live::Server server;
  const pid_t low = server.play(kLow, kAmplitude, {}, nativeWhereAny(server));
  const pid_t high =
      server.play(kHigh, kAmplitude,
                  {"--client-name=Tone Player",
                   "--property=application.icon_name=audio-x-generic"});
  const pid_t recorder = server.recordMicrophone(nativeWhereAny(server));

  Child probe(NIMBREL_PROBE_PATH, {.args = {"--interval-ms", "200"}});
  EXPECT_EQ(nextJson(probe, Stream::Stdout).value("type", ""), "hello");
  json state = stateListing(probe, {low, high, recorder});
  ASSERT_TRUE(state.is_object()) << "no state line listing all three clients";
  EXPECT_EQ(state["micHot"], true);
  EXPECT_EQ(state["audioPlaying"], true);
  EXPECT_EQ(ownerOf(state, low), owner(low, nativeName(server), false));
  EXPECT_EQ(ownerOf(state, high), owner(high, "Tone Player", false, true));
  EXPECT_EQ(ownerOf(state, recorder),
            owner(recorder, nativeName(server), true));
  EXPECT_EQ(state["owners"][0]["pid"], recorder) << "input holders come first";

  probe.closeStdin();
  std::optional<e2e::ExitStatus> status = probe.waitExit();
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->signaled);
  EXPECT_EQ(status->code, 0);
}

TEST(LiveProbe, StreamThatNamesNoProcessIsListedByItsClientsPID) {
  live::Server server;
  const pid_t player = server.playWith({NIMBREL_TEST_PLAYER, "--anonymous"});
  Child probe(NIMBREL_PROBE_PATH, {.args = {"--interval-ms", "200"}});
  json state = stateListing(probe, {player});
  ASSERT_TRUE(state.is_object()) << "the player was never listed";
  EXPECT_EQ(ownerOf(state, player), owner(player, "test_player", false));
}

// The tap's own recordings, one per kept player, record the speakers: no
// microphone use, and the tap is not listed.
TEST(LiveProbe, ExcludedPIDIsNeverListed) {
  live::Server server;
  const pid_t low = server.play(kLow, kAmplitude);
  const pid_t high = server.play(kHigh, kAmplitude);
  Child tap(NIMBREL_TAP_PATH,
            {.args = {"--exclude-pid", std::to_string(high)}});
  expectStarted(tap);
  tap.readBytes(Stream::Stdout, size_t(kRate));  // every monitor is up

  Child probe(NIMBREL_PROBE_PATH,
              {.args = {"--interval-ms", "200", "--exclude-pid",
                        std::to_string(high)}});
  json state = stateListing(probe, {low});
  ASSERT_TRUE(state.is_object());
  EXPECT_EQ(state["owners"].size(), 1u) << state;
  EXPECT_EQ(state["micHot"], false)
      << "recording nothing but the speakers is no microphone use";
  EXPECT_EQ(ownerOf(state, tap.pid()), json()) << state;
}

// PipeWire knows a native client's PID from its socket: as the probe's own
// namespace sees it, whatever the client claims. A sandboxed app (its own
// PID namespace) is PID 1 to itself; this one also claims PID 1 outright.
TEST(LiveProbe, NativeClientIsListedByThePIDItsSocketShows) {
  live::Server server;
  if (!server.pipewire()) GTEST_SKIP() << "PipeWire's own clients only";
  if (std::system("unshare --pid --fork true 2>/dev/null") != 0)
    GTEST_SKIP() << "no PID namespace for us here (unshare needs root)";
  const std::string tone = server.tone(kLow, kAmplitude);
  const pid_t claims = server.playWith(
      {"pw-play", "-P", "{ application.process.id = 1 }", tone});
  const pid_t sandbox = server.playWith(
      {"unshare", "--pid", "--fork", "--kill-child", "pw-play", tone});
  const pid_t sandboxed = live::onlyChildOf(sandbox);
  Child probe(NIMBREL_PROBE_PATH, {.args = {"--interval-ms", "200"}});
  const json state = stateListing(probe, {claims, sandboxed});
  ASSERT_TRUE(state.is_object());
  EXPECT_EQ(state["owners"].size(), 2u) << state;
  EXPECT_EQ(ownerOf(state, 1), json()) << state;
}

// The probe reconnects to a server that restarted and sees its new players;
// it never writes to standard error, so a sanitizer's report would show.
TEST(LiveProbe, FollowsTheServerThroughARestart) {
  live::Server server;
  const pid_t before = server.play(kLow, kAmplitude);
  Child probe(NIMBREL_PROBE_PATH, {.args = {"--interval-ms", "200"}});
  ASSERT_TRUE(stateListing(probe, {before}).is_object());
  server.restart();
  const pid_t after = server.play(kHigh, kAmplitude);
  json state = stateListing(probe, {after});
  ASSERT_TRUE(state.is_object()) << "no state line after the restart";
  EXPECT_EQ(state["owners"].size(), 1u) << state;
  probe.closeStdin();
  std::optional<e2e::ExitStatus> status = probe.waitExit();
  ASSERT_TRUE(status);
  EXPECT_FALSE(status->signaled);
  EXPECT_EQ(status->code, 0);
  EXPECT_EQ(probe.readToEnd(Stream::Stderr), "");
}

// With nothing left out the tap records the sink's own mix; leaving a player
// out switches to per-stream monitors mixed on the sink's clock. Either way
// the parent must hear exactly the tones it should, at their level, at the
// announced rate.
struct TapCase {
  const char* name;
  bool excludeHigh;
};
void PrintTo(const TapCase& c, std::ostream* out) { *out << c.name; }
class LiveTap : public testing::TestWithParam<TapCase> {
 protected:
  // The tap's arguments: the high tone's player left out, or nobody.
  std::vector<std::string> argsFor(pid_t high) const {
    if (!GetParam().excludeHigh) return {};
    return {"--exclude-pid", std::to_string(high)};
  }
};

TEST_P(LiveTap, RecordsTheRightTonesAtTheirLevelAndRate) {
  live::Server server;
  server.play(kLow, kAmplitude);
  server.play(kMid, kAmplitude);
  const pid_t high = server.play(kHigh, kAmplitude, {}, nativeWhereAny(server));
  // A monitor of the speakers is not a player: it must not end up in the mix.
  server.recordMicrophone(nativeWhereAny(server));

  const std::vector<std::string> args = argsFor(high);
  Child tap(NIMBREL_TAP_PATH, {.args = args});
  expectStarted(tap);
  const Recording recording = record(tap);
  ASSERT_EQ(recording.pcm.size(), size_t(kRate) * 3);

  // Full scale is 32767 both in the players and in the tap's output.
  expectHeard(recording, kLow);
  expectHeard(recording, kMid);
  if (GetParam().excludeHigh) {
    EXPECT_LT(live::toneAmplitude(recording.pcm, kHigh, kRate),
              kAmplitude * 0.01);
  } else {
    expectHeard(recording, kHigh);
  }
  // Read as fast as it comes, the stream runs at the sink's clock.
  EXPECT_NEAR(recording.measuredRate, kRate, kRate * 0.05);
  expectOrderlyStop(tap);
}

// What the speakers play, at the sink's volume: the same whether or not the
// parent leaves someone out. 50 % is (0.5)^3 in amplitude on both servers.
TEST_P(LiveTap, FollowsTheSinksVolumeAndMute) {
  live::Server server;
  server.play(kLow, kAmplitude);
  const pid_t high = server.play(kHigh, kAmplitude);
  const std::vector<std::string> args = argsFor(high);
  Child tap(NIMBREL_TAP_PATH, {.args = args});
  expectStarted(tap);
  ASSERT_TRUE(server.pactl({"set-sink-volume", "speakers", "50%"}));
  tap.readBytes(Stream::Stdout, size_t(kRate));  // half a second to apply
  // The median window's level, as in expectHeard: a player that misses a
  // deadline under ThreadSanitizer read 11 % low over the whole recording.
  EXPECT_NEAR(live::medianWindowAmplitude(record(tap).pcm, kLow, kRate),
              kAmplitude / 8.0, kAmplitude / 8.0 * 0.05);
  ASSERT_TRUE(server.pactl({"set-sink-mute", "speakers", "1"}));
  tap.readBytes(Stream::Stdout, size_t(kRate));
  EXPECT_LT(live::toneAmplitude(record(tap).pcm, kLow, kRate),
            kAmplitude * 0.01);
  expectOrderlyStop(tap);
}

// A parent that gives up right after spawning: the end of standard input or
// a SIGTERM may come at any moment of the start, while a stream is being set
// up.
TEST_P(LiveTap, StopDuringTheStartEndsItWithStatusZero) {
  live::Server server;
  const pid_t high = server.play(kHigh, kAmplitude);
  const std::vector<std::string> args = argsFor(high);
  std::mt19937 random(GetParam().excludeHigh ? 2 : 1);
  // The stop must fall in a window of microseconds: many runs find it (the
  // first failure came after 0-24 runs). A sanitized start takes a second,
  // so there a few runs look for what the sanitizer sees instead.
  const int runs = NIMBREL_SANITIZED ? 12 : 120;
  for (int run = 0; run < runs; ++run) {
    Child tap(NIMBREL_TAP_PATH, {.args = args});
    // "format" comes right before the streams are set up.
    ASSERT_TRUE(tap.readLine(Stream::Stderr));
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
    // Half the runs stop it with a signal instead, as a parent's kill() does.
    // Until "started" SIGTERM keeps its default action: it ends the tap
    // there and then, which is no crash.
    const bool signal = run % 2 == 1;
    if (signal) {
      kill(tap.pid(), SIGTERM);
    } else {
      tap.closeStdin();
    }
    std::optional<e2e::ExitStatus> status = tap.waitExit();
    ASSERT_TRUE(status);
    const std::string rest = tap.readToEnd(Stream::Stderr);
    if (signal && status->signaled) {
      ASSERT_EQ(status->signal, SIGTERM) << "run " << run << ": " << rest;
    } else {
      ASSERT_FALSE(status->signaled) << "run " << run << ": " << rest;
      ASSERT_EQ(status->code, 0) << "run " << run << ": " << rest;
    }
    std::istringstream lines(rest);
    for (std::string line; std::getline(lines, line);)
      ASSERT_TRUE(json::accept(line)) << "run " << run << ": " << line;
  }
}

TEST_P(LiveTap, NonBlockingStdoutThatPausesLosesNoSample) {
  live::Server server;
  const pid_t high = server.play(kHigh, kAmplitude);
  const std::vector<std::string> args = argsFor(high);
  Child tap(NIMBREL_TAP_PATH, {.args = args, .nonBlockingStdout = true});
  expectStarted(tap);
  tap.readBytes(Stream::Stdout, size_t(kRate) / 2);  // start-up settles
  const auto from = std::chrono::steady_clock::now();
  std::this_thread::sleep_for(1500ms);  // the pipe fills; the tap must wait
  const size_t samples =
      tap.readBytes(Stream::Stdout, size_t(kRate) * 2 * 3).size() / 2;
  const std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - from;
  // Three seconds of audio in three seconds: none lost while it waited.
  ASSERT_EQ(samples, size_t(kRate) * 3);
  EXPECT_NEAR(took.count(), 3.0, 0.1);
  expectOrderlyStop(tap);
}

// A sink that takes a new rate under the tap (here: suspended, then woken by
// a player at 44.1 kHz): the PCM stays at the rate `format` announced.
TEST_P(LiveTap, KeepsTheAnnouncedRateWhenTheSinkChangesRate) {
  live::Server server(true);
  std::vector<std::string> args;
  if (GetParam().excludeHigh) args = {"--exclude-pid", "1"};
  Child tap(NIMBREL_TAP_PATH, {.args = args});
  expectStarted(tap);
  tap.readBytes(Stream::Stdout, size_t(kRate));
  ASSERT_TRUE(server.pactl({"suspend-sink", "speakers", "1"}));
  server.playWith(
      {NIMBREL_TEST_PLAYER, "--tone", "600,8000", "--rate", "44100"});
  // A player left out makes the mix the output.
  if (GetParam().excludeHigh) {
    server.playWith({NIMBREL_TEST_PLAYER, "--tone", "1000,8000", "--rate",
                     "44100", "--pid", "1"});
  }
  ASSERT_TRUE(server.pactl({"suspend-sink", "speakers", "0"}));
  const json changed = nextJson(tap, Stream::Stderr, 3s);
  if (changed.is_null() && server.pipewire())
    GTEST_SKIP() << "this server kept the sink's rate";
  EXPECT_EQ(changed.value("reason", ""), "device-sample-rate-changed");
  tap.readBytes(Stream::Stdout, size_t(kRate) * 2);  // a second to settle
  EXPECT_NEAR(live::dominantFrequency(record(tap).pcm, kRate), 600, 1);
  expectOrderlyStop(tap);
}

// While the sink is suspended the server sends nothing: the tap writes
// silence in real time, and the tone goes on after it without a jump.
TEST_P(LiveTap, WritesSilenceInRealTimeWhileTheSinkIsSuspended) {
  live::Server server;
  server.play(kLow, kAmplitude);
  const pid_t high = server.play(kHigh, kAmplitude);
  const std::vector<std::string> args = argsFor(high);
  Child tap(NIMBREL_TAP_PATH, {.args = args});
  expectStarted(tap);
  tap.readBytes(Stream::Stdout, size_t(kRate));  // start-up settles
  ASSERT_TRUE(server.pactl({"suspend-sink", "speakers", "1"}));
  const auto from = std::chrono::steady_clock::now();
  std::thread resume([&] {
    std::this_thread::sleep_for(3s);
    server.pactl({"suspend-sink", "speakers", "0"});
  });
  const size_t samples =
      tap.readBytes(Stream::Stdout, size_t(kRate) * 2 * 3, 5s).size() / 2;
  const std::chrono::duration<double> took =
      std::chrono::steady_clock::now() - from;
  resume.join();
  EXPECT_EQ(samples, size_t(kRate) * 3);
  EXPECT_NEAR(took.count(), 3.0, 3.0 * 0.02);
  const Recording after = record(tap);
  EXPECT_NEAR(after.measuredRate, kRate, kRate * 0.02);
  // PipeWire's sink monitor stays silent after the wake-up (parec's too),
  // and the mix there is the monitor less the left-out players.
  if (!server.pipewire()) expectHeard(after, kLow);
  expectOrderlyStop(tap);
}

INSTANTIATE_TEST_SUITE_P(Live, LiveTap,
                         testing::Values(TapCase{"SinkMonitor", false},
                                         TapCase{"MixedStreamMonitors", true}),
                         [](const auto& info) {
                           return std::string(info.param.name);
                         });

// A second for a player to join in, then it is heard and the left-out
// 1000 Hz player is not; then an orderly stop.
void expectJoinedWithoutTheLeftOut(Child& tap, int frequency) {
  tap.readBytes(Stream::Stdout, size_t(kRate) * 2);
  const Recording recording = record(tap);
  expectHeard(recording, frequency);
  EXPECT_LT(live::toneAmplitude(recording.pcm, kHigh, kRate),
            kAmplitude * 0.01);
  expectOrderlyStop(tap);
}

TEST(LiveTapMixing, PlayerThatStartsLaterIsFollowedAndTheExcludedOneStaysOut) {
  live::Server server;
  const pid_t high = server.play(kHigh, kAmplitude);
  Child tap(NIMBREL_TAP_PATH,
            {.args = {"--exclude-pid", std::to_string(high)}});
  expectStarted(tap);
  constexpr int kLater = 1500;  // Hz
  server.play(kLater, kAmplitude);
  expectJoinedWithoutTheLeftOut(tap, kLater);
}

// Where PipeWire's own socket does not answer (its PulseAudio service alone
// is at hand), the mix is made of a monitor per player.
TEST(LiveTapMixing, WithoutPipeWiresOwnSocketEachPlayerIsMonitored) {
  live::Server server;
  if (!server.pipewire()) GTEST_SKIP() << "PipeWire's own socket only";
  const pid_t high = server.play(kHigh, kAmplitude);
  setenv("PIPEWIRE_REMOTE", "nimbrel-nowhere", 1);
  Child tap(NIMBREL_TAP_PATH,
            {.args = {"--exclude-pid", std::to_string(high)}});
  unsetenv("PIPEWIRE_REMOTE");
  expectStarted(tap);
  constexpr int kLater = 1500;  // Hz
  server.play(kLater, kAmplitude);
  expectJoinedWithoutTheLeftOut(tap, kLater);
}

TEST(LiveTapMixing, PlayerMovedAwayAndBackIsFollowedAgain) {
  live::Server server;
  const pid_t low = server.play(kLow, kAmplitude);
  const pid_t high = server.play(kHigh, kAmplitude);
  Child tap(NIMBREL_TAP_PATH,
            {.args = {"--exclude-pid", std::to_string(high)}});
  expectStarted(tap);
  tap.readBytes(Stream::Stdout, size_t(kRate));  // half a second
  // What the tap wrote while the move was asked for waits in the pipe.
  const auto asked = std::chrono::steady_clock::now();
  ASSERT_TRUE(server.moveStream(low, "headset"));
  const auto waited =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - asked);
  // The move is taken in: on PipeWire, within a poll (100 ms) and the mix's
  // hold-back (160 ms). Sanitized, what the tap wrote before the move may
  // still be queued: more of it is read past (once in 8 runs the whole
  // window was from before the move).
  tap.readBytes(Stream::Stdout,
                2 * size_t(waited.count() * kRate) +
                    size_t(kRate) * (NIMBREL_SANITIZED ? 4 : 1));
  // Away, it plays on the headset: the speakers' recording holds none of it.
  const std::vector<int16_t> away =
      live::samples(tap.readBytes(Stream::Stdout, size_t(kRate)));
  EXPECT_LT(live::toneAmplitude(away, kLow, kRate), kAmplitude * 0.01);
  ASSERT_TRUE(server.moveStream(low, "speakers"));
  tap.readBytes(Stream::Stdout, size_t(kRate) * 2);  // a second to rejoin
  const Recording recording = record(tap);
  expectHeard(recording, kLow);
  EXPECT_LT(live::toneAmplitude(recording.pcm, kHigh, kRate),
            kAmplitude * 0.01);
  expectOrderlyStop(tap);
}

// A left-out player that moves to another sink leaves the monitor: nothing
// of it may be taken out of the speakers' sound any more.
TEST(LiveTapMixing, LeftOutPlayerMovedAwayTakesNothingOutOfTheKeptSound) {
  live::Server server;
  server.play(kLow, kAmplitude);
  const pid_t high = server.play(kHigh, kAmplitude);
  Child tap(NIMBREL_TAP_PATH,
            {.args = {"--exclude-pid", std::to_string(high)}});
  expectStarted(tap);
  tap.readBytes(Stream::Stdout, size_t(kRate));  // half a second
  ASSERT_TRUE(server.moveStream(high, "headset"));
  tap.readBytes(Stream::Stdout, size_t(kRate));
  const Recording recording = record(tap);
  expectHeard(recording, kLow);
  EXPECT_LT(live::toneAmplitude(recording.pcm, kHigh, kRate),
            kAmplitude * 0.01);
  expectOrderlyStop(tap);
}

// Another tap, on the headset, follows a kept player there; once the player
// moves to the speakers, this tap hears it as any other.
TEST(LiveTapMixing, PlayerThatAnotherTapFollowsIsHeardOnceItMovesHere) {
  live::Server server;
  const pid_t mine = server.play(kHigh, kAmplitude);
  // Not the tone left out here: should WirePlumber put it back on the
  // default sink, tap 1 rightly hears it.
  const pid_t theirs = server.play(kMid, kAmplitude);
  const pid_t low = server.play(kLow, kAmplitude);
  ASSERT_TRUE(server.pactl({"set-default-sink", "headset"}));
  std::this_thread::sleep_for(300ms);  // WirePlumber settles it
  Child other(NIMBREL_TAP_PATH,
              {.args = {"--exclude-pid", std::to_string(theirs)}});
  ASSERT_EQ(nextJson(other, Stream::Stderr).value("outputDeviceUID", ""),
            "headset");
  ASSERT_TRUE(server.pactl({"set-default-sink", "speakers"}));
  std::this_thread::sleep_for(300ms);
  // The switches moved every player, maybe not yet all of them back: each
  // is put where it belongs.
  ASSERT_TRUE(server.moveStream(mine, "speakers"));
  ASSERT_TRUE(server.moveStream(theirs, "headset"));
  ASSERT_TRUE(server.moveStream(low, "headset"));
  std::this_thread::sleep_for(300ms);
  Child tap(NIMBREL_TAP_PATH,
            {.args = {"--exclude-pid", std::to_string(mine)}});
  expectStarted(tap);
  tap.readBytes(Stream::Stdout, size_t(kRate));  // half a second
  ASSERT_TRUE(server.moveStream(low, "speakers"));
  // Sanitized, two taps beside the other tests on a loaded PipeWire once
  // took 1.4 s more to follow it; never following it is the fault.
  if (NIMBREL_SANITIZED) tap.readBytes(Stream::Stdout, size_t(kRate) * 2 * 2);
  expectJoinedWithoutTheLeftOut(tap, kLow);
}

TEST(LiveTapMixing, PausedPlayerIsHeardAgainWhenItPlays) {
  live::Server server;
  server.playWith(
      {NIMBREL_TEST_PLAYER, "--tone", "600,8000", "--pause", "1000,1000"});
  const pid_t high = server.play(kHigh, kAmplitude);
  Child tap(NIMBREL_TAP_PATH,
            {.args = {"--exclude-pid", std::to_string(high)}});
  expectStarted(tap);
  tap.readBytes(Stream::Stdout, size_t(kRate) * 2 * 3);  // paused, resumed
  const Recording recording = record(tap);
  expectHeard(recording, kMid);
  expectOrderlyStop(tap);
}

// Milliseconds of a 1000 Hz tone: 1 ms windows at more than half its level.
int toneMs(const std::vector<int16_t>& pcm) {
  int heard = 0;
  for (double level : live::windowLevels(pcm, 48))
    heard += level > kAmplitude / std::sqrt(2.0) / 2;
  return heard;
}

// `ms` windows holding the tone at more than half its level.
int heardWindows(const std::vector<int16_t>& pcm, int frequency, int ms = 20) {
  return int(pcm.size()) / (48 * ms) -
         live::quietWindows(pcm, frequency, kRate, kAmplitude, ms);
}

// Each beep a new player of 1000 Hz, while the tap leaves out a PID that
// plays nothing, as a parent's own: every beep as whole as in the sink's
// monitor (the server itself cuts the first milliseconds of a stream). With
// `excludedHz`, the PID left out is a player of its own beeps, 100 ms of
// that tone each second, heard no more than in 1 % of their windows.
void expectBeepsWhole(int count, int beepMs, int gapMs, int excludedHz = 0) {
  live::Server server;
  std::vector<int16_t> beep(size_t(kRate) * beepMs / 1000);
  auto write = [&](const std::string& name, int hz) {
    for (size_t i = 0; i < beep.size(); ++i)
      beep[i] = int16_t(kAmplitude * std::sin(2 * M_PI * hz * i / kRate));
    live::writeWav(server.folder() + name, beep, uint32_t(kRate));
  };
  pid_t excluded = getpid();
  if (excludedHz != 0) {
    // Long enough for every new player's start-up, 60 ms at most each.
    const int ms = count * (beepMs + gapMs + 60) + 10000;
    std::vector<int16_t> beeps(size_t(kRate) * ms / 1000);
    for (size_t i = 0; i < beeps.size(); ++i) {
      if (i % size_t(kRate) < size_t(kRate) / 10)
        beeps[i] =
            int16_t(kAmplitude * std::sin(2 * M_PI * excludedHz * i / kRate));
    }
    live::writeWav(server.folder() + "/excluded.wav", beeps, uint32_t(kRate));
    excluded = server.playWith({"paplay", server.folder() + "/excluded.wav"});
  }
  const std::string control = server.folder() + "/parec.raw";
  const pid_t parec = server.recordSpeakers(control);
  Child tap(NIMBREL_TAP_PATH,
            {.args = {"--exclude-pid", std::to_string(excluded)}});
  expectStarted(tap);
  tap.readBytes(Stream::Stdout, size_t(kRate));  // start-up settles
  // Read until the beeps have played and gone through the tap.
  std::atomic<bool> played{false};
  std::string pcm;
  std::thread reader([&] {
    while (!played) pcm += tap.readBytes(Stream::Stdout, 9600);
  });
  write("/beep.wav", 1000);
  const pid_t beeps = server.playWith(
      {"sh", "-c",
       "for i in $(seq " + std::to_string(count) +
           "); do paplay --latency-msec=50 '" + server.folder() +
           "/beep.wav'; sleep " + std::to_string(gapMs / 1000.0) + "; done"});
  waitpid(beeps, nullptr, 0);
  std::this_thread::sleep_for(500ms);
  played = true;
  reader.join();
  kill(parec, SIGTERM);
  std::ifstream in(control, std::ios::binary);
  const std::vector<int16_t> controlPcm =
      live::samples(std::string{std::istreambuf_iterator<char>(in), {}});
  const std::vector<int16_t> tapPcm = live::samples(pcm);
  if (excludedHz == 0) {
    const int expected = toneMs(controlPcm);
    EXPECT_GE(expected, count * beepMs * 8 / 10) << "parec missed beeps";
    EXPECT_GE(toneMs(tapPcm), expected - count * beepMs / 50)
        << "of " << expected << " ms in parec's recording";
  } else {
    // In 2 ms windows: 20 ms ones count a beep as 5 or 6 by where it falls.
    const int expected = heardWindows(controlPcm, 1000, 2);
    EXPECT_GE(expected, count * beepMs / 2 * 8 / 10) << "parec missed beeps";
    // Until the left-out player's lag is found (a second or two on
    // PipeWire), a new player's start can be lost where beeps overlap: that
    // weighs more in the short train run under the sanitizers (94.7-95.3 %
    // there). PipeWire measured 98.3-98.4 %: a point of room for a loaded
    // machine.
    const int share = count < 100 ? 90 : server.pipewire() ? 97 : 98;
    EXPECT_GE(heardWindows(tapPcm, 1000, 2), expected * share / 100)
        << "of " << expected << " 2 ms windows in parec's recording";
    // Sanitized on a busy CI machine, 3 windows once came through.
    EXPECT_LE(heardWindows(tapPcm, excludedHz),
              heardWindows(controlPcm, excludedHz) / 100 +
                  (NIMBREL_SANITIZED ? 3 : 0))
        << "windows with the left-out beeps";
  }
  expectOrderlyStop(tap);
}

TEST(LiveTapMixing, BeepsOfNewPlayersAreWholeWhenTheExcludedPIDPlaysNothing) {
  expectBeepsWhole(10, 100, 50);
}

TEST(LiveTapMixing, BeepsOfNewPlayersAreWholeBesideALeftOutPlayersBeeps) {
  expectBeepsWhole(NIMBREL_SANITIZED ? 30 : 100, 100, 50, 1500);
}

TEST(LiveTapMixing, ToneStartingWhileTheTapRunsLosesAtMost20ms) {
  expectBeepsWhole(1, 800, 0);
}

// A left-out player that starts and stops beside a kept one: the output
// moves to the mix and back without a gap and without the left-out tone.
TEST(LiveTapMixing, ExcludedPlayerThatComesAndGoesLeavesTheKeptToneWhole) {
  live::Server server;
  server.play(kLow, kAmplitude);
  // It says it is PID 1, so the tap knows it before it plays.
  Child tap(NIMBREL_TAP_PATH, {.args = {"--exclude-pid", "1"}});
  expectStarted(tap);
  tap.readBytes(Stream::Stdout, size_t(kRate));  // start-up settles
  std::string pcm;
  std::thread reader(
      [&] { pcm = tap.readBytes(Stream::Stdout, size_t(kRate) * 2 * 3); });
  std::this_thread::sleep_for(500ms);
  const pid_t excluded =
      server.play(kHigh, kAmplitude, {"--property=application.process.id=1"});
  std::this_thread::sleep_for(1s);
  kill(excluded, SIGTERM);
  reader.join();
  const std::vector<int16_t> recording = live::samples(pcm);
  // Both monitors may start after the left-out player's first frames (40 ms
  // on a busy machine): the tap then leaves out the kept tone there too.
  // 3 windows of 150 is the 98 % of the kept sound that the tap must hold.
  EXPECT_LE(live::quietWindows(recording, kLow, kRate, kAmplitude), 3);
  const int windows = int(recording.size()) / 960;
  // Sanitized, PipeWire's graph had the left-out player's first frames
  // before the tap's link to it, once in 6 runs: a window more.
  EXPECT_LE(
      windows - live::quietWindows(recording, kHigh, kRate, kAmplitude * 0.2),
      windows / 100 + (NIMBREL_SANITIZED ? 1 : 0))
      << "20 ms windows with the left-out tone";
  expectOrderlyStop(tap);
}

TEST(LiveTapDeviceChanges, SetDefaultSinkGivesExactlyOneDefaultOutputChanged) {
  live::Server server;
  server.play(kLow, kAmplitude);
  Child tap(NIMBREL_TAP_PATH, {});
  expectStarted(tap);
  tap.readBytes(Stream::Stdout, 4800);  // capturing

  ASSERT_TRUE(server.setDefaultSink("headset"));
  EXPECT_EQ(nextJson(tap, Stream::Stderr),
            json::parse(R"({"from":"speakers","reason":"default-output-changed",
                            "to":"headset","type":"device-changed"})"));
  // Back again and away again: announced once, never more.
  ASSERT_TRUE(server.setDefaultSink("speakers"));
  ASSERT_TRUE(server.setDefaultSink("headset"));
  EXPECT_EQ(tap.readLine(Stream::Stderr, 1500ms), std::nullopt);
  // Capture goes on unchanged after it.
  EXPECT_EQ(tap.readBytes(Stream::Stdout, 9600, 5s).size(), 9600u);
  expectOrderlyStop(tap);
}

TEST(LiveTapDeviceChanges, RemovedSinkGivesAggregateDead) {
  live::Server server;
  server.play(kLow, kAmplitude);
  Child tap(NIMBREL_TAP_PATH, {});
  expectStarted(tap);
  tap.readBytes(Stream::Stdout, 4800);

  ASSERT_TRUE(server.removeSink("speakers"));
  EXPECT_EQ(nextJson(tap, Stream::Stderr),
            json::parse(R"({"from":"speakers","reason":"aggregate-dead",
                            "to":"headset","type":"device-changed"})"));
  expectOrderlyStop(tap);
}

TEST(LiveTapDeviceChanges, KilledServerGivesAggregateDeadThenAnOrderlyStop) {
  live::Server server;
  server.play(kLow, kAmplitude);
  Child tap(NIMBREL_TAP_PATH, {});
  expectStarted(tap);
  tap.readBytes(Stream::Stdout, 4800);

  server.kill();
  EXPECT_EQ(
      nextJson(tap, Stream::Stderr),
      json::parse(R"({"from":"speakers","reason":"aggregate-dead","to":"none",
                            "type":"device-changed"})"));
  expectOrderlyStop(tap);
}

#if defined(NIMBREL_NODE)
// The Node client's recorder on this server: its own test plays the tones,
// switches the default sink and judges the files.
TEST(LiveNodeClient, RecorderFollowsADefaultSinkSwitch) {
  live::Server server;
  setenv("NIMBREL_TAP", NIMBREL_TAP_PATH, 1);
  setenv("NIMBREL_PROBE", NIMBREL_PROBE_PATH, 1);
  const std::string command =
      std::string(NIMBREL_NODE) + " --test " + NIMBREL_NODE_LIVE_TEST;
  EXPECT_EQ(std::system(command.c_str()), 0);
}
#endif

// A server that accepts connections and never answers.
TEST(LiveStuckServer, TapStopsAtTheEndOfStdinOrReportsATimeout) {
  live::Server server;
  server.freeze(true);
  {
    Child tap(NIMBREL_TAP_PATH, {});
    std::this_thread::sleep_for(500ms);
    const auto closed = std::chrono::steady_clock::now();
    tap.closeStdin();
    std::optional<e2e::ExitStatus> status = tap.waitExit(5s);
    ASSERT_TRUE(status);
    // ThreadSanitizer sleeps a second of its own at every exit.
    EXPECT_LT(std::chrono::steady_clock::now() - closed,
              NIMBREL_SANITIZED ? 2500ms : 1s);
    EXPECT_FALSE(status->signaled);
    EXPECT_EQ(status->code, 0);
    EXPECT_EQ(tap.readToEnd(Stream::Stderr), "");
  }
  Child tap(NIMBREL_TAP_PATH, {});
  json error = nextJson(tap, Stream::Stderr, 6s);
  EXPECT_EQ(error.value("code", ""), "TAP_CREATE_FAILED") << error;
  EXPECT_EQ(error.value("status", 0), 8) << error;  // PA_ERR_TIMEOUT
  EXPECT_NE(error.value("message", "").find("did not answer"),
            std::string::npos);
  std::optional<e2e::ExitStatus> status = tap.waitExit();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->code, 1);
  server.freeze(false);
}

TEST(LiveStuckServer, ProbeReportsNobodyAndKeepsItsHeartbeat) {
  live::Server server;
  server.freeze(true);
  Child probe(NIMBREL_PROBE_PATH, {.args = {"--interval-ms", "1000"}});
  EXPECT_EQ(nextJson(probe, Stream::Stdout, 5s).value("type", ""), "hello");
  const json nobody = json::parse(
      R"({"audioPlaying":false,"micHot":false,"owners":[],"type":"state"})");
  EXPECT_EQ(nextJson(probe, Stream::Stdout, 5s), nobody);
  const auto first = std::chrono::steady_clock::now();
  EXPECT_EQ(nextJson(probe, Stream::Stdout, 8s), nobody);
  // Five ticks of a second each, not held up by the attempts behind them.
  EXPECT_LT(std::chrono::steady_clock::now() - first, 6500ms);
  server.freeze(false);
  probe.closeStdin();
  std::optional<e2e::ExitStatus> status = probe.waitExit();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->code, 0);
}

TEST(LiveNoServer, TapWritesTheErrorLineAndExits1) {
  live::NoServer none;
  Child tap(NIMBREL_TAP_PATH, {});
  std::optional<e2e::ExitStatus> status = tap.waitExit();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->code, 1);
  EXPECT_EQ(
      tap.readToEnd(Stream::Stderr),
      R"({"code":"TAP_CREATE_FAILED","message":"Could not connect to the audio server )"
      R"((PulseAudio or PipeWire): none is running for this user, it refused the )"
      R"(connection, or it did not answer within 3 seconds (a timeout: status 8).",)"
      R"("status":6,"type":"error"})"
      "\n");
  EXPECT_EQ(tap.readToEnd(Stream::Stdout), "");
}

TEST(LiveNoServer, ProbeSeesNobodyAndStillEndsWithStdin) {
  live::NoServer none;
  Child probe(NIMBREL_PROBE_PATH, {.args = {"--interval-ms", "200"}});
  EXPECT_EQ(nextJson(probe, Stream::Stdout).value("type", ""), "hello");
  EXPECT_EQ(
      nextJson(probe, Stream::Stdout),
      json::parse(
          R"({"audioPlaying":false,"micHot":false,"owners":[],"type":"state"})"));
  probe.closeStdin();
  std::optional<e2e::ExitStatus> status = probe.waitExit();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->code, 0);
  EXPECT_EQ(probe.readToEnd(Stream::Stderr), "");
}

}  // namespace
