// Tests of the tap's "--exclude-pid" parsing.
#include "tap/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tap {
namespace {

struct Case {
  std::vector<std::string> args;  // after the program path
  std::vector<int32_t> pids;
};

TEST(Options, ExcludePIDValuesFollowTheStrictNotConsumedRule) {
  const Case cases[] = {
      {{}, {}},
      {{"--exclude-pid", "123", "--exclude-pid", "456"}, {123, 456}},
      {{"--exclude-pid"}, {}},
      {{"--exclude-pid", "abc", "--exclude-pid", "7"}, {7}},
      {{"--exclude-pid", "--exclude-pid", "7"}, {7}},
      {{"--exclude-pid", "+7", "--exclude-pid", "-7"}, {7, -7}},
      {{"--exclude-pid", "0", "--exclude-pid", "0"}, {0, 0}},
      {{"--exclude-pid", "2147483647", "--exclude-pid", "-2147483648"},
       {2147483647, -2147483648}},
      {{"--exclude-pid", "2147483648"}, {}},
      {{"--exclude-pid", "-2147483649"}, {}},
      {{"--exclude-pid", " 7"}, {}},
      {{"--exclude-pid", "7 "}, {}},
      {{"--exclude-pid", ""}, {}},
      {{"--exclude-pid", "+"}, {}},
      {{"--exclude-pid", "+-7"}, {}},
      {{"--exclude-pid=7"}, {}},
      {{"--EXCLUDE-PID", "7"}, {}},
      {{"-exclude-pid", "7"}, {}},
      {{"7", "--exclude-pid", "8", "9"}, {8}},
      // The last option has no value left to take.
      {{"--exclude-pid", "5", "--exclude-pid"}, {5}},
  };
  for (const Case& c : cases) {
    std::vector<std::string> argv{"/usr/local/bin/nimbrel-tap"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    EXPECT_EQ(parseExcludePIDs(argv), c.pids)
        << ::testing::PrintToString(c.args);
  }
}

TEST(Options, ProgramPathIsScannedLikeAnyArgument) {
  const std::vector<std::string> argv{"--exclude-pid", "42"};
  EXPECT_EQ(parseExcludePIDs(argv), std::vector<int32_t>{42});
}

}  // namespace
}  // namespace tap
