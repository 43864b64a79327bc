// Tests of the probe's JSON lines and of Report/Owner equality.
#include "probe/messages.h"

#include <gtest/gtest.h>

namespace probe {
namespace {

Owner talker() {
  return {.pid = 4242,
          .name = "Talker",
          .bundleID = "org.example.talker",
          .input = true,
          .output = true,
          .gui = true};
}

Owner tonegen() { return {.pid = 5150, .name = "tonegen", .output = true}; }

TEST(ProbeJson, HelloLine) {
  EXPECT_EQ(encodeLine(Hello{}),
            "{\"intervalMs\":1000,\"protocolVersion\":1,\"type\":\"hello\"}\n");
  EXPECT_EQ(encodeLine(Hello{.intervalMs = 200}),
            "{\"intervalMs\":200,\"protocolVersion\":1,\"type\":\"hello\"}\n");
}

TEST(ProbeJson, EmptyReport) {
  EXPECT_EQ(encodeLine(Report{}),
            "{\"audioPlaying\":false,\"micHot\":false,\"owners\":[],"
            "\"type\":\"state\"}\n");
}

TEST(ProbeJson, OwnersWithAndWithoutBundleID) {
  const Report report{
      .micHot = true, .audioPlaying = true, .owners = {talker(), tonegen()}};
  EXPECT_EQ(encodeLine(report),
            "{\"audioPlaying\":true,\"micHot\":true,\"owners\":["
            "{\"bundleID\":\"org.example.talker\",\"gui\":true,"
            "\"ignored\":false,\"input\":true,\"name\":\"Talker\","
            "\"output\":true,\"pid\":4242},"
            "{\"gui\":false,\"ignored\":false,\"input\":false,"
            "\"name\":\"tonegen\",\"output\":true,\"pid\":5150}],"
            "\"type\":\"state\"}\n");
}

TEST(ProbeJson, OwnerFieldForms) {
  struct Case {
    Owner owner;
    std::string json;  // the owner's object inside the line
  };
  const Case cases[] = {
      {{.pid = 1, .name = "x", .bundleID = ""},
       "{\"bundleID\":\"\",\"gui\":false,\"ignored\":false,\"input\":false,"
       "\"name\":\"x\",\"output\":false,\"pid\":1}"},
      {{.pid = 2, .name = "a/b", .bundleID = "org/x", .ignored = true},
       "{\"bundleID\":\"org\\/x\",\"gui\":false,\"ignored\":true,"
       "\"input\":false,\"name\":\"a\\/b\",\"output\":false,\"pid\":2}"},
      {{.pid = 2147483647, .name = "Caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac"},
       "{\"gui\":false,\"ignored\":false,\"input\":false,"
       "\"name\":\"Caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac\",\"output\":false,"
       "\"pid\":2147483647}"},
      {{.pid = 3, .name = std::string("t\tq\"\\\x01\x1f", 7)},
       "{\"gui\":false,\"ignored\":false,\"input\":false,"
       "\"name\":\"t\\tq\\\"\\\\\\u0001\\u001f\",\"output\":false,\"pid\":3}"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(encodeLine(Report{.owners = {c.owner}}),
              "{\"audioPlaying\":false,\"micHot\":false,\"owners\":[" + c.json +
                  "],\"type\":\"state\"}\n");
  }
}

TEST(ProbeJson, TextThatIsNotUtf8CannotBeEncoded) {
  EXPECT_FALSE(encodeLine(Report{.owners = {{.pid = 9, .name = "bad\xff"}}}));
  EXPECT_FALSE(encodeLine(
      Report{.owners = {{.pid = 9, .name = "ok", .bundleID = "\xc0\xaf"}}}));
}

TEST(ProbeEquality, Owners) {
  const Owner base = talker();
  struct Case {
    const char* what;
    Owner other;
    bool equal;
  };
  auto with = [&](auto change) {
    Owner o = base;
    change(o);
    return o;
  };
  const Case cases[] = {
      {"same", base, true},
      {"pid", with([](Owner& o) { o.pid = 1; }), false},
      {"name case", with([](Owner& o) { o.name = "talker"; }), false},
      {"gui", with([](Owner& o) { o.gui = false; }), false},
      {"ignored", with([](Owner& o) { o.ignored = true; }), false},
      {"input", with([](Owner& o) { o.input = false; }), false},
      {"output", with([](Owner& o) { o.output = false; }), false},
      {"bundle absent", with([](Owner& o) { o.bundleID.reset(); }), false},
      {"bundle empty", with([](Owner& o) { o.bundleID = ""; }), false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(base == c.other, c.equal) << c.what;
    EXPECT_EQ(c.other == base, c.equal) << c.what;
  }
  Owner noBundle = tonegen(), alsoNoBundle = tonegen();
  EXPECT_EQ(noBundle, alsoNoBundle);
}

TEST(ProbeEquality, CanonicallyEquivalentTextIsEqual) {
  Owner decomposed{.pid = 7,
                   .name =
                       "Caf"
                       "e\xcc\x81",
                   .bundleID =
                       "org.caf"
                       "e\xcc\x81"};
  Owner composed{
      .pid = 7, .name = "Caf\xc3\xa9", .bundleID = "org.caf\xc3\xa9"};
  EXPECT_EQ(decomposed, composed);
  EXPECT_EQ(Report{.owners = {decomposed}}, Report{.owners = {composed}});
  composed.name = "Cafe";
  EXPECT_NE(decomposed, composed);
}

TEST(ProbeEquality, Reports) {
  const Report base{
      .micHot = true, .audioPlaying = true, .owners = {talker(), tonegen()}};
  Report swapped = base;
  std::swap(swapped.owners[0], swapped.owners[1]);
  Report shorter = base;
  shorter.owners.pop_back();
  Report flag = base;
  flag.audioPlaying = false;
  Report type = base;
  type.type = "State";
  Report gui = base;
  gui.owners[1].gui = true;
  EXPECT_EQ(base, Report(base));
  EXPECT_NE(base, swapped);
  EXPECT_NE(base, shorter);
  EXPECT_NE(base, flag);
  EXPECT_NE(base, type);
  EXPECT_NE(base, gui);
  EXPECT_EQ(Report{}, Report{});
}

}  // namespace
}  // namespace probe
