// Comparison of Unicode text as both programs compare names and UIDs:
// case counts, and canonically equivalent strings are equal.
#ifndef NIMBREL_SUPPORT_UNICODE_TEXT_H_
#define NIMBREL_SUPPORT_UNICODE_TEXT_H_

#include <string_view>

namespace support {

/// True when `a` and `b` are canonically equivalent (equal after NFD).
bool textEqual(std::string_view a, std::string_view b);

/// True when `text` begins with `prefix` as Unicode text: the canonical
/// decomposition of `prefix` is a prefix of that of `text` and ends on a
/// character boundary of `text` (never in the middle of a combining
/// sequence). An empty prefix is a prefix of everything.
bool textHasPrefix(std::string_view text, std::string_view prefix);

}  // namespace support

#endif  // NIMBREL_SUPPORT_UNICODE_TEXT_H_
