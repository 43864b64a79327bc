// Fuzzes the tap's "--exclude-pid" scan with any argument vector (index 0 is
// the program path and is scanned too) against a plain reading of the rule.
#include <cstdlib>
#include <limits>

#include "fuzz/args.h"
#include "tap/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> argv = fuzz::splitArguments(data, size);
  std::vector<int32_t> expected;
  for (size_t i = 0; i < argv.size(); ++i) {
    if (argv[i] != "--exclude-pid" || i + 1 >= argv.size()) continue;
    if (auto pid =
            fuzz::plainDecimal(argv[i + 1], std::numeric_limits<int32_t>::min(),
                               std::numeric_limits<int32_t>::max())) {
      expected.push_back(int32_t(*pid));
      ++i;  // the value is consumed
    }
  }
  if (tap::parseExcludePIDs(argv) != expected) std::abort();
  return 0;
}
