// Strict decimal parsing of option values: sign, digits, range; nothing else.
#include "support/decimal.h"

#include <limits>

namespace support {

std::optional<int64_t> parseInt64(std::string_view text) {
  bool negative = false;
  if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty()) return std::nullopt;
  // Accumulate the magnitude unsigned so that -2^63 fits.
  const uint64_t limit = negative ? uint64_t{1} << 63 : (uint64_t{1} << 63) - 1;
  uint64_t magnitude = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (magnitude > (limit - digit) / 10) return std::nullopt;
    magnitude = magnitude * 10 + digit;
  }
  if (negative) return static_cast<int64_t>(0 - magnitude);
  return static_cast<int64_t>(magnitude);
}

std::optional<int32_t> parseInt32(std::string_view text) {
  const auto value = parseInt64(text);
  if (!value || *value < std::numeric_limits<int32_t>::min() ||
      *value > std::numeric_limits<int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<int32_t>(*value);
}

}  // namespace support
