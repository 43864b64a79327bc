// nimbrel-probe end to end: the real binary on scripted simulated worlds,
// read through its real pipes, byte for byte.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <thread>

#include "testing/e2e_harness.h"
#include "testing/probe_runs.h"

namespace {

using e2e::Child;
using e2e::Stdin;
using e2e::Stream;
using probeworld::closeAndExpectExit;
using probeworld::kNobody;
using probeworld::onlyRepeats;
using probeworld::ticks;
using probeworld::waitForTicks;

constexpr const char* kHello1000 =
    R"({"intervalMs":1000,"protocolVersion":1,"type":"hello"})";
constexpr const char* kHello200 =
    R"({"intervalMs":200,"protocolVersion":1,"type":"hello"})";

TEST(ProbeEndToEnd, ExactLinesForOwnersOfEveryKind) {
  const std::string world = R"({"self": {"input": true}, "processes": [
    {"pid": 5150, "output": true, "app": {},
     "path": "/usr/local/bin/tonegen"},
    {"pid": 4242, "bundleID": "org.example.talker", "input": true,
     "output": true, "app": {"name": "Talker"}},
    {"pid": 300, "bundleID": "com.apple.CoreSpeech", "input": true,
     "path": "/System/Library/corespeechd"},
    {"pid": 301, "input": true, "path": "/usr/libexec/VTDecoderXPCService"},
    {"pid": 6000, "bundleID": "", "output": true,
     "app": {"name": "AC/DC \"Live\" Player"}},
    {"pid": 6001, "bundleID": "jp.example.ongaku", "output": true,
     "path": "/Applications/M\u00fczik \u97f3\u697d.app/Contents/MacOS/M\u00fczik \u97f3\u697d"},
    {"pid": 6002, "bundleID": "org.example.idle", "app": {"name": "Idle"}},
    {"pid": 6003, "input": true}
  ]})";
  Child probe(NIMBREL_PROBE_PATH, {.world = world});
  EXPECT_EQ(probe.readLine(), kHello1000);
  EXPECT_EQ(
      probe.readLine(),
      R"({"audioPlaying":true,"micHot":true,"owners":[)"
      R"({"bundleID":"com.apple.CoreSpeech","gui":false,"ignored":true,"input":true,"name":"corespeechd","output":false,"pid":300},)"
      R"({"gui":false,"ignored":true,"input":true,"name":"VTDecoderXPCService","output":false,"pid":301},)"
      R"({"bundleID":"org.example.talker","gui":true,"ignored":false,"input":true,"name":"Talker","output":true,"pid":4242},)"
      R"({"gui":false,"ignored":false,"input":true,"name":"pid 6003","output":false,"pid":6003},)"
      R"({"gui":false,"ignored":false,"input":false,"name":"tonegen","output":true,"pid":5150},)"
      R"({"bundleID":"","gui":true,"ignored":false,"input":false,"name":"AC\/DC \"Live\" Player","output":true,"pid":6000},)"
      R"({"bundleID":"jp.example.ongaku","gui":false,"ignored":false,"input":false,"name":"M)"
      "\xc3\xbczik \xe9\x9f\xb3\xe6\xa5\xbd"
      R"(","output":true,"pid":6001}],"type":"state"})");
  EXPECT_EQ(closeAndExpectExit(probe), "");
}

TEST(ProbeEndToEnd, OnlyIgnoredHoldersLeaveTheMicCold) {
  const std::string world = R"({"processes": [
    {"pid": 40, "bundleID": "com.apple.assistantd", "input": true},
    {"pid": 41, "bundleID": "org.example.recorder", "input": true,
     "output": true, "app": {"name": "Recorder"}}]})";
  Child probe(
      NIMBREL_PROBE_PATH,
      {.args = {"--exclude-bundle-prefix", "org.example."}, .world = world});
  EXPECT_EQ(probe.readLine(), kHello1000);
  EXPECT_EQ(
      probe.readLine(),
      R"({"audioPlaying":false,"micHot":false,"owners":[)"
      R"({"bundleID":"com.apple.assistantd","gui":false,"ignored":true,"input":true,"name":"pid 40","output":false,"pid":40},)"
      R"({"bundleID":"org.example.recorder","gui":true,"ignored":true,"input":true,"name":"Recorder","output":true,"pid":41}],"type":"state"})");
  EXPECT_EQ(closeAndExpectExit(probe), "");
}

TEST(ProbeEndToEnd, DefaultMachineReportsNobody) {
  Child probe(NIMBREL_PROBE_PATH, {.args = {"--interval-ms", "+50", "stray"}});
  EXPECT_EQ(probe.readLine(), kHello200);
  EXPECT_EQ(probe.readLine(), kNobody);
  const std::string rest = closeAndExpectExit(probe);
  EXPECT_TRUE(onlyRepeats(rest, kNobody)) << rest;
}

TEST(ProbeEndToEnd, ChangesAreWrittenAtTheTickTheyAppear) {
  // Tick 3 adds a talker, tick 5 removes it. A heartbeat is 25 ticks away,
  // so each line after the first must come from a change. On a platform
  // whose notifications need a run loop the probe, which runs none, sees
  // the changes only because it moved them to a thread of their own.
  for (const char* platform : {"", R"("notificationsNeedRunLoop": true, )"}) {
    SCOPED_TRACE(platform);
    const std::string world = "{" + std::string(platform) + R"("script": [
      {"onListRead": 3, "processes": [{"pid": 4242, "input": true,
                                       "app": {"name": "Talker"}}]},
      {"onListRead": 5, "processes": []}]})";
    Child probe(NIMBREL_PROBE_PATH,
                {.args = {"--interval-ms", "200"}, .world = world});
    EXPECT_EQ(probe.readLine(), kHello200);
    EXPECT_EQ(probe.readLine(), kNobody);
    EXPECT_EQ(
        probe.readLine(),
        R"({"audioPlaying":false,"micHot":true,"owners":[{"gui":true,"ignored":false,"input":true,"name":"Talker","output":false,"pid":4242}],"type":"state"})");
    EXPECT_GE(ticks(probe), 3u);
    EXPECT_EQ(probe.readLine(), kNobody);
    EXPECT_GE(ticks(probe), 5u);
    const std::string rest = closeAndExpectExit(probe);
    EXPECT_TRUE(onlyRepeats(rest, kNobody)) << rest;
  }
}

TEST(ProbeEndToEnd, HeartbeatEveryHeartbeatTicksWhenNothingChanges) {
  // At 200 ms a heartbeat is due every 25 ticks: the state of tick 1 again
  // at tick 26. The change at tick 27 bounds it from above (a late heartbeat
  // would be overtaken by it), the tick count when it arrives from below.
  const std::string world = R"({"processes": [{"pid": 77, "output": true}],
    "script": [{"onListRead": 27, "processes": []}]})";
  const std::string playing =
      R"({"audioPlaying":true,"micHot":false,"owners":[{"gui":false,"ignored":false,"input":false,"name":"pid 77","output":true,"pid":77}],"type":"state"})";
  Child probe(NIMBREL_PROBE_PATH,
              {.args = {"--interval-ms", "200"}, .world = world});
  EXPECT_EQ(probe.readLine(), kHello200);
  EXPECT_EQ(probe.readLine(), playing);
  EXPECT_EQ(probe.readLine(), playing);
  EXPECT_GE(ticks(probe), 26u);
  EXPECT_EQ(probe.readLine(), kNobody);
  EXPECT_GE(ticks(probe), 27u);
  const std::string rest = closeAndExpectExit(probe);
  EXPECT_TRUE(onlyRepeats(rest, kNobody)) << rest;
}

TEST(ProbeEndToEnd, ExcludedPIDsAndItselfAreNeverListed) {
  const std::string world = R"({"self": {"input": true, "output": true},
    "processes": [{"pid": 10, "input": true}, {"pid": 11, "output": true},
                  {"pid": 12, "input": true}]})";
  Child probe(NIMBREL_PROBE_PATH,
              {.args = {"--exclude-pid", "12", "--exclude-pid", "+11",
                        "--exclude-pid", "2147483648"},
               .world = world});
  EXPECT_EQ(probe.readLine(), kHello1000);
  EXPECT_EQ(
      probe.readLine(),
      R"({"audioPlaying":false,"micHot":true,"owners":[{"gui":false,"ignored":false,"input":true,"name":"pid 10","output":false,"pid":10}],"type":"state"})");
  EXPECT_EQ(closeAndExpectExit(probe), "");
}

TEST(ProbeEndToEnd, NameCacheIsEmptiedOnceItHoldsMoreThan256) {
  // N unnamed processes fill N cache entries at tick 1. At tick 2 the
  // first one gets an application name and a new player appears (a change
  // either way): the new name shows only if the cache was emptied. PIDs no
  // Linux gives: the probe's own, never listed, must not be among them.
  for (const int count : {256, 257}) {
    std::string processes, renamed;
    for (int k = 0; k < count; ++k) {
      const std::string pid = std::to_string(5000000 + k);
      const std::string separator = k ? "," : "";
      processes += separator + R"({"pid": )" + pid + R"(, "input": true})";
      renamed += separator + R"({"pid": )" + pid + R"(, "input": true)" +
                 (k == 0 ? R"(, "app": {"name": "Renamed"}})" : "}");
    }
    renamed += R"(,{"pid": 6000000, "output": true})";
    const std::string world =
        R"({"processes": [)" + processes +
        R"(], "script": [{"onListRead": 2, "processes": [)" + renamed + "]}]}";
    Child probe(NIMBREL_PROBE_PATH,
                {.args = {"--interval-ms", "200"}, .world = world});
    EXPECT_EQ(probe.readLine(), kHello200);
    const auto first = probe.readLine();
    const auto second = probe.readLine();
    ASSERT_TRUE(first && second) << count;
    const std::string old =
        R"("name":"pid 5000000","output":false,"pid":5000000})";
    const std::string fresh =
        R"("name":"Renamed","output":false,"pid":5000000})";
    EXPECT_NE(first->find(old), std::string::npos);
    EXPECT_NE(second->find(R"("pid":6000000})"), std::string::npos);
    EXPECT_NE(second->find(count > 256 ? fresh : old), std::string::npos)
        << count;
    closeAndExpectExit(probe);
  }
}

TEST(ProbeEndToEnd, EndOfStdinExitsInTheMiddleOfALongSleep) {
  // A pipe, and the stream socket a Node parent's spawn gives: closed, or
  // only shut down for writing as its stdin.end() does.
  for (const Stdin mode : {Stdin::Pipe, Stdin::Socket, Stdin::SocketShutdown}) {
    SCOPED_TRACE(static_cast<int>(mode));
    Child probe(
        NIMBREL_PROBE_PATH,
        {.args = {"--interval-ms", "60000"}, .world = "{}", .stdinMode = mode});
    EXPECT_EQ(probe.readLine(),
              R"({"intervalMs":60000,"protocolVersion":1,"type":"hello"})");
    EXPECT_EQ(probe.readLine(), kNobody);
    EXPECT_TRUE(probe.writeStdin("anything at all\n"));
    // The first tick is done and its 60 s sleep has begun.
    ASSERT_TRUE(waitForTicks(probe, 1));
    EXPECT_FALSE(probe.waitExit(std::chrono::milliseconds(200)));
    EXPECT_EQ(closeAndExpectExit(probe), "");
    EXPECT_EQ(ticks(probe), 1u);
  }
}

TEST(ProbeEndToEnd, StdinAtEndFromTheStartExitsAfterHello) {
  Child probe(NIMBREL_PROBE_PATH, {});
  probe.closeStdin();
  const std::string out = closeAndExpectExit(probe);
  // The first report may or may not get out before the watcher ends it.
  const std::string hello = std::string(kHello1000) + "\n";
  EXPECT_TRUE(out == hello || out == hello + kNobody + "\n") << out;
}

TEST(ProbeEndToEnd, StdinThatIsNotAPipeNeverEndsTheProbe) {
  char path[] = "/tmp/nimbrel-stdin-XXXXXX";
  const int file = mkstemp(path);
  ASSERT_GE(file, 0);
  unlink(path);
  for (const Stdin mode : {Stdin::DevNull, Stdin::Fd}) {
    Child probe(NIMBREL_PROBE_PATH, {.args = {"--interval-ms", "200"},
                                     .world = "{}",
                                     .stdinMode = mode,
                                     .stdinFd = file});
    EXPECT_EQ(probe.readLine(), kHello200);
    EXPECT_EQ(probe.readLine(), kNobody);
    ASSERT_TRUE(waitForTicks(probe, 4));
    EXPECT_FALSE(probe.waitExit(std::chrono::milliseconds(0)));
    const auto status = probe.kill();
    EXPECT_TRUE(status.signaled);
    EXPECT_EQ(status.signal, SIGKILL);
    EXPECT_EQ(probe.readToEnd(Stream::Stderr), "");
  }
  close(file);
}

}  // namespace
