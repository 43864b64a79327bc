// Text that the platform holds as UTF-16 (CFString, NSString), turned into
// the UTF-8 both programs write: one conversion for names and identifiers.
#ifndef NIMBREL_SUPPORT_UTF16_H_
#define NIMBREL_SUPPORT_UTF16_H_

#include <string>
#include <string_view>

namespace support {

/// The UTF-8 form of `units`. An unpaired surrogate becomes U+FFFD, where the
/// platform's own conversions give up (null) or write '?'; a NUL unit is
/// kept, so nothing after it is lost.
std::string utf8FromUtf16(std::u16string_view units);

}  // namespace support

#endif  // NIMBREL_SUPPORT_UTF16_H_
