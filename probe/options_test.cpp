// Tests of the probe's strict command-line parsing and heartbeat period.
#include "probe/options.h"

#include <gtest/gtest.h>

namespace probe {
namespace {

using Args = std::vector<std::string>;
using Pids = std::unordered_set<int32_t>;
using Prefixes = std::vector<std::string>;

TEST(ProbeOptions, Table) {
  struct Case {
    Args args;
    int64_t intervalMs;
    Pids pids;
    Prefixes prefixes;
  };
  const Case cases[] = {
      {{}, 1000, {}, {}},
      {{"--interval-ms", "50"}, 200, {}, {}},
      {{"--interval-ms", "0"}, 200, {}, {}},
      {{"--interval-ms", "-5"}, 200, {}, {}},
      {{"--interval-ms", "200"}, 200, {}, {}},
      {{"--interval-ms", "201"}, 201, {}, {}},
      {{"--interval-ms", "+700"}, 700, {}, {}},
      {{"--interval-ms", "0009223372036854775807"}, INT64_MAX, {}, {}},
      {{"--interval-ms", "9223372036854775808"}, 1000, {}, {}},
      {{"--interval-ms", "300", "--interval-ms", "800"}, 800, {}, {}},
      {{"--interval-ms", "800", "--interval-ms", "x"}, 800, {}, {}},
      {{"--interval-ms"}, 1000, {}, {}},
      {{"--interval-ms", ""}, 1000, {}, {}},
      {{"--interval-ms", "1e3"}, 1000, {}, {}},
      {{"--interval-ms", " 500"}, 1000, {}, {}},
      {{"--interval-ms", "0x10"}, 1000, {}, {}},
      // A value that does not parse is looked at as an argument of its own.
      {{"--interval-ms", "--exclude-pid", "7"}, 1000, {7}, {}},
      {{"--exclude-pid", "--interval-ms", "300"}, 300, {}, {}},
      {{"--exclude-pid", "2147483648"}, 1000, {}, {}},
      {{"--exclude-pid", "-2147483648", "--exclude-pid", "-1"},
       1000,
       {INT32_MIN, -1},
       {}},
      {{"--exclude-pid", "12", "--exclude-pid", "+12", "--exclude-pid", "9"},
       1000,
       {12, 9},
       {}},
      // The prefix option always consumes its value, whatever it is.
      {{"--exclude-bundle-prefix", "--interval-ms", "500"},
       1000,
       {},
       {"--interval-ms"}},
      {{"--exclude-bundle-prefix", ""}, 1000, {}, {""}},
      {{"--exclude-bundle-prefix", "b.", "--exclude-bundle-prefix", "a.",
        "--exclude-bundle-prefix", "b."},
       1000,
       {},
       {"b.", "a.", "b."}},
      {{"--exclude-bundle-prefix"}, 1000, {}, {}},
      // Names match whole and case-sensitively; strays are skipped.
      {{"--Interval-ms", "300", "--interval-ms=300", "-interval-ms", "300",
        "300", "--help"},
       1000,
       {},
       {}},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += "[" + a + "]";
    const Options options = parseOptions(c.args);
    EXPECT_EQ(options.intervalMs, c.intervalMs) << joined;
    EXPECT_EQ(options.excludedPIDs, c.pids) << joined;
    EXPECT_EQ(options.excludedBundlePrefixes, c.prefixes) << joined;
  }
}

TEST(ProbeOptions, HeartbeatTicks) {
  const std::pair<int64_t, int64_t> cases[] = {
      {200, 25}, {300, 16}, {700, 7},  {1000, 5},
      {2500, 2}, {2501, 1}, {6000, 1}, {INT64_MAX, 1},
  };
  for (const auto& [intervalMs, ticks] : cases) {
    EXPECT_EQ(heartbeatTicksFor(intervalMs), ticks) << intervalMs;
  }
}

}  // namespace
}  // namespace probe
