// Parsing the probe's command line.
#include "probe/options.h"

#include <algorithm>

#include "support/decimal.h"

namespace probe {

Options parseOptions(const std::vector<std::string>& args) {
  Options options;
  for (size_t i = 0; i < args.size(); ++i) {
    if (i + 1 >= args.size()) break;  // an option as the last argument
    const std::string& value = args[i + 1];
    if (args[i] == "--interval-ms") {
      if (const auto ms = support::parseInt64(value)) {
        options.intervalMs = std::max<int64_t>(*ms, 200);
        ++i;
      }
    } else if (args[i] == "--exclude-pid") {
      if (const auto pid = support::parseInt32(value)) {
        options.excludedPIDs.insert(*pid);
        ++i;
      }
    } else if (args[i] == "--exclude-bundle-prefix") {
      options.excludedBundlePrefixes.push_back(value);
      ++i;
    }
  }
  return options;
}

int64_t heartbeatTicksFor(int64_t intervalMs) {
  return std::max<int64_t>(5000 / intervalMs, 1);
}

}  // namespace probe
