// Command lines from fuzz bytes: arguments separated by zero bytes, as in a
// real argument vector; a one-byte argument 0x01 to 0x03 stands for an
// option name so that the option paths are reached from the first inputs.
#ifndef NIMBREL_FUZZ_ARGS_H_
#define NIMBREL_FUZZ_ARGS_H_

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

inline std::vector<std::string> splitArguments(const uint8_t* data,
                                               size_t size) {
  static const char* const kNames[] = {"--interval-ms", "--exclude-pid",
                                       "--exclude-bundle-prefix"};
  std::vector<std::string> args;
  if (size == 0) return args;
  std::string current;
  for (size_t i = 0; i <= size; ++i) {
    if (i < size && data[i] != 0) {
      current += char(data[i]);
      continue;
    }
    if (current.size() == 1 && current[0] >= 1 && current[0] <= 3) {
      current = kNames[current[0] - 1];
    }
    args.push_back(std::move(current));
    current.clear();
  }
  return args;
}

/// The strict decimal rule written out plainly: one optional sign, then one
/// or more ASCII digits, then nothing; the value must lie in [low, high].
inline std::optional<int64_t> plainDecimal(std::string_view text, int64_t low,
                                           int64_t high) {
  size_t at = 0;
  bool negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  if (at == text.size()) return std::nullopt;
  for (size_t k = at; k < text.size(); ++k) {
    if (text[k] < '0' || text[k] > '9') return std::nullopt;
  }
  while (at + 1 < text.size() && text[at] == '0') ++at;  // leading zeros
  if (text.size() - at > 19) return std::nullopt;        // beyond 64 bits
  __int128 magnitude = 0;
  for (; at < text.size(); ++at) magnitude = magnitude * 10 + (text[at] - '0');
  const __int128 value = negative ? -magnitude : magnitude;
  if (value < low || value > high) return std::nullopt;
  return int64_t(value);
}

}  // namespace fuzz

#endif  // NIMBREL_FUZZ_ARGS_H_
