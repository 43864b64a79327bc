// The tap's command line: "--exclude-pid PID", repeatable.
#include "tap/options.h"

#include <cstddef>
#include <optional>

#include "support/decimal.h"

namespace tap {

std::vector<int32_t> parseExcludePIDs(std::span<const std::string> argv) {
  std::vector<int32_t> pids;
  std::size_t argIndex = 0;
  while (argIndex < argv.size()) {
    if (argv[argIndex] == "--exclude-pid" && argIndex + 1 < argv.size()) {
      if (std::optional<int32_t> pid =
              support::parseInt32(argv[argIndex + 1])) {
        pids.push_back(*pid);
        ++argIndex;  // the value is consumed only when it is a number
      }
    }
    ++argIndex;
  }
  return pids;
}

}  // namespace tap
