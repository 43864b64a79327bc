// Fuzzes the probe's option parser with any argument vector: it never fails,
// the interval never drops below 200, and a plain re-reading of the rules
// gives the same interval, PIDs and prefixes.
#include <algorithm>
#include <cstdlib>
#include <limits>

#include "fuzz/args.h"
#include "probe/options.h"

namespace {

probe::Options plainParse(const std::vector<std::string>& args) {
  probe::Options options;
  size_t i = 0;
  while (i < args.size()) {
    const bool hasValue = i + 1 < args.size();
    if (hasValue && args[i] == "--interval-ms") {
      if (auto ms = fuzz::plainDecimal(args[i + 1],
                                       std::numeric_limits<int64_t>::min(),
                                       std::numeric_limits<int64_t>::max())) {
        options.intervalMs = *ms > 200 ? *ms : 200;
        ++i;
      }
    } else if (hasValue && args[i] == "--exclude-pid") {
      if (auto pid = fuzz::plainDecimal(args[i + 1],
                                        std::numeric_limits<int32_t>::min(),
                                        std::numeric_limits<int32_t>::max())) {
        options.excludedPIDs.insert(int32_t(*pid));
        ++i;
      }
    } else if (hasValue && args[i] == "--exclude-bundle-prefix") {
      options.excludedBundlePrefixes.push_back(args[i + 1]);
      ++i;
    }
    ++i;
  }
  return options;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> args = fuzz::splitArguments(data, size);
  const probe::Options options = probe::parseOptions(args);
  const probe::Options expected = plainParse(args);
  if (options.intervalMs < 200) std::abort();
  if (options.intervalMs != expected.intervalMs) std::abort();
  if (options.excludedPIDs != expected.excludedPIDs) std::abort();
  if (options.excludedBundlePrefixes != expected.excludedBundlePrefixes)
    std::abort();
  const int64_t ticks = probe::heartbeatTicksFor(options.intervalMs);
  if (ticks < 1 || ticks > 25 ||
      ticks != std::max<int64_t>(1, 5000 / options.intervalMs)) {
    std::abort();
  }
  return 0;
}
