// Tests of `sample(excluding)` on the simulated platform: fallbacks, failure
// rows, naming and its cache, ignore rules and order.
#include "probe/sampler.h"

#include <gtest/gtest.h>

#include "audio/sim/sim.h"

namespace probe {
namespace {

class Sampler : public testing::Test {
 protected:
  void SetUp() override {
    alwaysOnMicHolders = {kAlwaysOnMicHolders.begin(),
                          kAlwaysOnMicHolders.end()};
    alwaysOnMicHolderNames = {kAlwaysOnMicHolderNames.begin(),
                              kAlwaysOnMicHolderNames.end()};
    excludedBundlePrefixes.clear();
    nameCache.clear();
  }
  void TearDown() override {
    EXPECT_EQ(audio::sim::liveStringCount(), 0) << "a bundle ID leaked";
  }

  static Report sampleWorld(const std::string& world,
                            const std::unordered_set<int32_t>& excluding = {}) {
    audio::sim::loadWorld(world);
    return sample(excluding);
  }
  // A world with the given processes, as a JSON array's contents.
  static std::string processes(const std::string& list,
                               const std::string& rest = "") {
    return "{\"processes\":[" + list + "]" + rest + "}";
  }
};

TEST_F(Sampler, ListsRunningProcessesNamedClassifiedAndSorted) {
  const Report report = sampleWorld(processes(R"(
    {"pid": 5150, "output": true, "app": {}, "path": "/usr/local/bin/tonegen"},
    {"pid": 30, "input": false, "output": false, "app": {"name": "Idle"}},
    {"pid": 4242, "bundleID": "org.example.talker", "input": true,
     "output": true, "app": {"name": "Talker"}},
    {"pid": 88, "bundleID": "com.apple.CoreSpeech", "input": true,
     "path": "/System/Library/PrivateFrameworks/CoreSpeech.framework/corespeechd"},
    {"pid": 99, "bundleID": "", "input": true, "path": "/opt/rec/"})"));
  const Report expected{
      .micHot = true,
      .audioPlaying = true,
      .owners = {
          {.pid = 88,
           .name = "corespeechd",
           .bundleID = "com.apple.CoreSpeech",
           .input = true,
           .ignored = true},
          {.pid = 99, .name = "rec", .bundleID = "", .input = true},
          {.pid = 4242,
           .name = "Talker",
           .bundleID = "org.example.talker",
           .input = true,
           .output = true,
           .gui = true},
          {.pid = 5150, .name = "tonegen", .output = true},
      }};
  EXPECT_EQ(report, expected) << *encodeLine(report);
}

TEST_F(Sampler, FailureRows) {
  struct Case {
    const char* what;
    std::string world;
    std::vector<Owner> owners;
  };
  const std::string talker =
      R"({"object": 101, "pid": 4242, "bundleID": "org.example.talker",
          "input": true, "output": true, "app": {"name": "Talker"})";
  auto failing = [&](const std::string& failures) {
    return processes(talker + R"(,"failures":)" + failures + "}");
  };
  const Owner full{.pid = 4242,
                   .name = "Talker",
                   .bundleID = "org.example.talker",
                   .input = true,
                   .output = true,
                   .gui = true};
  Owner inputOnly = full, outputOnly = full, noBundle = full;
  inputOnly.output = false;
  outputOnly.input = false;
  noBundle.bundleID.reset();
  const Case cases[] = {
      {"no process objects", processes(""), {}},
      {"healthy", processes(talker + "}"), {full}},
      {"list size fails",
       processes(
           talker + "}",
           R"(,"failures":[{"op":"getSize","selector":"prs#","status":-1}])"),
       {}},
      {"list read fails",
       processes(
           talker + "}",
           R"(,"failures":[{"op":"get","selector":"prs#","status":560947818}])"),
       {}},
      {"pid read fails", failing(R"({"ppid": -50})"), {}},
      {"input read fails", failing(R"({"piri": -50})"), {outputOnly}},
      {"output read fails", failing(R"({"piro": -50})"), {inputOnly}},
      {"both flag reads fail", failing(R"({"piri": -50, "piro": 1})"), {}},
      {"bundle ID read fails", failing(R"({"pbid": 2003332927})"), {noBundle}},
      {"status 0 is no failure", failing(R"({"ppid": 0})"), {full}},
      {"pid 0", processes(R"({"pid": 0, "input": true})"), {}},
      {"negative pid", processes(R"({"pid": -3, "input": true})"), {}},
      {"null bundle ID",
       processes(R"({"pid": 4242, "bundleID": null, "input": true,
                     "output": true, "app": {"name": "Talker"}})"),
       {noBundle}},
  };
  for (const auto& c : cases) {
    nameCache.clear();
    const Report report = sampleWorld(c.world);
    EXPECT_EQ(report.owners, c.owners) << c.what << ": " << *encodeLine(report);
    EXPECT_EQ(report.micHot, !c.owners.empty() && c.owners[0].input) << c.what;
  }
}

TEST_F(Sampler, ExcludedPIDsAreNeverListed) {
  const Report report = sampleWorld(
      processes(R"({"pid": 10, "input": true}, {"pid": 20, "input": true},
                   {"pid": 30, "output": true})"),
      {20, 30, -1});
  ASSERT_EQ(report.owners.size(), 1u);
  EXPECT_EQ(report.owners[0].pid, 10);
  EXPECT_FALSE(report.audioPlaying);
}

TEST_F(Sampler, NameFallbacks) {
  struct Case {
    std::string process;  // pid 7, running input
    std::string name;
    bool gui;
  };
  const Case cases[] = {
      {R"("app": {"name": "Zoom Meetings"}, "path": "/x/zoom.us")",
       "Zoom Meetings", true},
      {R"("app": {}, "path": "/Applications/Talker.app/Contents/MacOS/Talker")",
       "Talker", false},
      {R"("path": "/usr/bin/afplay")", "afplay", false},
      {R"("path": "/opt/tool//")", "tool", false},
      {R"("path": "/")", "/", false},
      {R"("path": "relative")", "relative", false},
      {R"("app": {})", "pid 7", false},
      {R"("path": "")", "pid 7", false},
      {"\"app\": {\"name\": \"a/b \xe9\x9f\xb3\"}", "a/b \xe9\x9f\xb3", true},
  };
  for (const auto& c : cases) {
    nameCache.clear();
    const Report report = sampleWorld(
        processes("{\"pid\": 7, \"input\": true, " + c.process + "}"));
    ASSERT_EQ(report.owners.size(), 1u) << c.process;
    EXPECT_EQ(report.owners[0].name, c.name) << c.process;
    EXPECT_EQ(report.owners[0].gui, c.gui) << c.process;
  }
}

TEST_F(Sampler, NameFromPathRepairsBytes) {
  const std::pair<std::string, std::string> cases[] = {
      {"/usr/bin/tool", "tool"},
      {"/a/b\xc3\xa9", "b\xc3\xa9"},
      {"/a/x\xff"
       "y",
       "x\xef\xbf\xbdy"},
      // A truncated sequence is one replacement; a bad lead byte is one each.
      {"/a/x\xe6\x97", "x\xef\xbf\xbd"},
      {"/a/\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd"},
      {"/a/\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
      {"///", "/"},
      {"", ""},
  };
  for (const auto& [path, name] : cases) {
    EXPECT_EQ(nameFromPath(path), name) << path;
  }
}

TEST_F(Sampler, NamesAreCachedPerPIDUntilTheCacheIsEmptied) {
  const std::string unnamed = processes(R"({"pid": 7, "input": true})");
  const std::string named =
      processes(R"({"pid": 7, "input": true, "app": {"name": "Talker"}})");
  EXPECT_EQ(sampleWorld(unnamed).owners[0].name, "pid 7");
  EXPECT_EQ(sampleWorld(named).owners[0].name, "pid 7");
  EXPECT_EQ(nameCache.size(), 1u);
  nameCache.clear();
  EXPECT_EQ(sampleWorld(named).owners[0].name, "Talker");
  EXPECT_TRUE(sampleWorld(unnamed).owners[0].gui);
  // Processes that do not run audio are never named.
  nameCache.clear();
  sampleWorld(processes(R"({"pid": 8, "app": {"name": "Idle"}})"));
  EXPECT_TRUE(nameCache.empty());
}

TEST_F(Sampler, IgnoreRules) {
  struct Case {
    std::string what;
    std::string process;  // pid 7, running input, plus these keys
    std::vector<std::string> prefixes;
    bool ignored;
  };
  std::vector<Case> cases = {
      {"ordinary app", R"("bundleID": "us.zoom.xos")", {}, false},
      {"bundle ID case counts", R"("bundleID": "com.apple.siri")", {}, false},
      {"name case counts", R"("path": "/usr/libexec/CoreSpeechd")", {}, false},
      {"name without bundle ID",
       R"("path": "/usr/libexec/corespeechd")",
       {},
       true},
      {"name with another bundle ID",
       R"("bundleID": "org.example", "app": {"name": "assistantd"})",
       {},
       true},
      {"name with an empty bundle ID",
       R"("bundleID": "", "path": "/x/siriactionsd")",
       {},
       true},
      {"prefix",
       R"("bundleID": "com.example.recorder")",
       {"com.example."},
       true},
      {"prefix case counts",
       R"("bundleID": "COM.EXAMPLE.RECORDER")",
       {"com.example."},
       false},
      {"later prefix",
       R"("bundleID": "com.example.recorder")",
       {"org.", "com.ex"},
       true},
      {"prefix is the whole ID",
       R"("bundleID": "com.example.recorder")",
       {"com.example.recorder"},
       true},
      {"prefix longer than the ID",
       R"("bundleID": "com.example")",
       {"com.example."},
       false},
      {"empty prefix", R"("bundleID": "com.example.recorder")", {""}, false},
      {"empty prefix and empty ID", R"("bundleID": "")", {""}, false},
      {"prefix without bundle ID",
       R"("path": "/x/com.example.recorder")",
       {"com"},
       false},
      {"canonically equivalent prefix",
       "\"bundleID\": \"org.caf\\u00e9.rec\"",
       {"org.cafe\xcc\x81"},
       true},
      {"prefix ending inside a character",
       "\"bundleID\": \"org.caf\\u00e9\"",
       {"org.caf"
        "e"},
       false},
  };
  for (const auto id : kAlwaysOnMicHolders) {
    cases.push_back({std::string(id),
                     "\"bundleID\": \"" + std::string(id) + "\"",
                     {},
                     true});
  }
  for (const auto name : kAlwaysOnMicHolderNames) {
    cases.push_back({std::string(name),
                     "\"path\": \"/System/" + std::string(name) + "\"",
                     {},
                     true});
  }
  for (const auto& c : cases) {
    nameCache.clear();
    excludedBundlePrefixes = c.prefixes;
    const Report report = sampleWorld(processes(
        "{\"pid\": 7, \"input\": true, \"output\": true, " + c.process + "}"));
    ASSERT_EQ(report.owners.size(), 1u) << c.what;
    EXPECT_EQ(report.owners[0].ignored, c.ignored) << c.what;
    EXPECT_EQ(report.micHot, !c.ignored) << c.what;
    EXPECT_EQ(report.audioPlaying, !c.ignored) << c.what;
  }
}

TEST_F(Sampler, IgnoredOwnersDoNotCountButOthersDo) {
  const Report report = sampleWorld(processes(R"(
    {"pid": 40, "bundleID": "com.apple.assistantd", "input": true},
    {"pid": 50, "bundleID": "org.example.player", "output": true})"));
  EXPECT_FALSE(report.micHot);
  EXPECT_TRUE(report.audioPlaying);
  ASSERT_EQ(report.owners.size(), 2u);
  EXPECT_TRUE(report.owners[0].ignored);
}

TEST_F(Sampler, SortIsInputFirstThenPidAndStable) {
  const Report report = sampleWorld(processes(R"(
    {"pid": 10, "output": true},
    {"pid": 30, "input": true},
    {"pid": 20, "input": true, "bundleID": "first"},
    {"pid": 20, "input": true, "output": true, "bundleID": "second"},
    {"pid": 5, "output": true})"));
  std::vector<std::pair<int32_t, std::string>> order;
  for (const Owner& owner : report.owners) {
    order.emplace_back(owner.pid, owner.bundleID.value_or(""));
  }
  const std::vector<std::pair<int32_t, std::string>> expected = {
      {20, "first"}, {20, "second"}, {30, ""}, {5, ""}, {10, ""}};
  EXPECT_EQ(order, expected);
}

}  // namespace
}  // namespace probe
