// Strict decimal parsing of option values: sign, digits, range; nothing else.
#include "support/decimal.h"

#include <charconv>

namespace support {
namespace {

// std::from_chars takes a minus sign but no plus; the options take either.
template <typename T>
std::optional<T> parseDecimal(std::string_view text) {
  if (!text.empty() && text[0] == '+') {
    text.remove_prefix(1);
    if (!text.empty() && text[0] == '-') return std::nullopt;
  }
  T value{};
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}

}  // namespace

std::optional<int64_t> parseInt64(std::string_view text) {
  return parseDecimal<int64_t>(text);
}

std::optional<int32_t> parseInt32(std::string_view text) {
  return parseDecimal<int32_t>(text);
}

}  // namespace support
