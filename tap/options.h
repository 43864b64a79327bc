// The tap's command line: "--exclude-pid PID", repeatable; everything else,
// and any value that is not a strict 32-bit decimal, is skipped.
#ifndef NIMBREL_TAP_OPTIONS_H_
#define NIMBREL_TAP_OPTIONS_H_

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace tap {

/// The accepted "--exclude-pid" values in command-line order. The scan starts
/// at index 0 (the program path); a value that is not a number is left for
/// the scan to look at as an argument of its own.
std::vector<int32_t> parseExcludePIDs(std::span<const std::string> argv);

}  // namespace tap

#endif  // NIMBREL_TAP_OPTIONS_H_
