// Strict decimal parsing of option values: an optional single sign, one or
// more ASCII digits and nothing else, inside the target type's range.
#ifndef NIMBREL_SUPPORT_DECIMAL_H_
#define NIMBREL_SUPPORT_DECIMAL_H_

#include <cstdint>
#include <optional>
#include <string_view>

namespace support {

std::optional<int64_t> parseInt64(std::string_view text);
std::optional<int32_t> parseInt32(std::string_view text);

}  // namespace support

#endif  // NIMBREL_SUPPORT_DECIMAL_H_
