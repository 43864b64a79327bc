// UTF-8 as text arrives from the platform and the command line: strict
// checking (RFC 3629) and repair of bytes that are mostly UTF-8.
#ifndef NIMBREL_SUPPORT_UTF8_H_
#define NIMBREL_SUPPORT_UTF8_H_

#include <string>
#include <string_view>

namespace support {

/// No overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view bytes);

/// Each maximal ill-formed subsequence becomes one U+FFFD, the usual way of
/// decoding bytes that are mostly UTF-8 (paths are bytes on every platform).
std::string repairUtf8(std::string_view bytes);

}  // namespace support

#endif  // NIMBREL_SUPPORT_UTF8_H_
