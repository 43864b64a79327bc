// The probe's command line: strict, silent option parsing, and the heartbeat
// period that follows from the interval.
#ifndef NIMBREL_PROBE_OPTIONS_H_
#define NIMBREL_PROBE_OPTIONS_H_

#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

namespace probe {

struct Options {
  int64_t intervalMs = 1000;  // never below 200
  std::unordered_set<int32_t> excludedPIDs;
  std::vector<std::string> excludedBundlePrefixes;  // in order, duplicates kept
};

/// Parses the arguments after the program name. Nothing is ever rejected: an
/// unknown argument is skipped, and an option's empty or malformed number is
/// not consumed but looked at as an argument of its own.
Options parseOptions(const std::vector<std::string>& args);

/// Ticks between two heartbeats: 5000 / intervalMs, at least 1.
int64_t heartbeatTicksFor(int64_t intervalMs);

}  // namespace probe

#endif  // NIMBREL_PROBE_OPTIONS_H_
