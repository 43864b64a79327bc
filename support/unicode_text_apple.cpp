// Canonical equality and character-safe prefix tests on UTF-8 text, through
// CoreFoundation's normalization and composed-character ranges (Apple builds).
#include <CoreFoundation/CoreFoundation.h>

#include "support/unicode_text.h"

namespace support {
namespace {

// Owns one CoreFoundation reference.
class CFText {
 public:
  explicit CFText(CFMutableStringRef string) : string_(string) {}
  CFText(const CFText&) = delete;
  CFText& operator=(const CFText&) = delete;
  ~CFText() {
    if (string_) CFRelease(string_);
  }
  CFMutableStringRef get() const { return string_; }

 private:
  CFMutableStringRef string_;
};

// The NFD form of `text`, or null when it is not valid UTF-8.
CFMutableStringRef decomposed(std::string_view text) {
  CFStringRef string = CFStringCreateWithBytes(
      kCFAllocatorDefault, reinterpret_cast<const UInt8*>(text.data()),
      static_cast<CFIndex>(text.size()), kCFStringEncodingUTF8, false);
  if (!string) return nullptr;
  CFMutableStringRef copy =
      CFStringCreateMutableCopy(kCFAllocatorDefault, 0, string);
  CFRelease(string);
  if (copy) CFStringNormalize(copy, kCFStringNormalizationFormD);
  return copy;
}

}  // namespace

bool textEqual(std::string_view a, std::string_view b) {
  if (a == b) return true;
  CFText da(decomposed(a)), db(decomposed(b));
  // Text that is not UTF-8 has no canonical form: only identical bytes match.
  if (!da.get() || !db.get()) return false;
  return CFStringCompare(da.get(), db.get(), 0) == kCFCompareEqualTo;
}

bool textHasPrefix(std::string_view text, std::string_view prefix) {
  if (prefix.empty()) return true;
  CFText dt(decomposed(text)), dp(decomposed(prefix));
  if (!dt.get() || !dp.get()) return text.substr(0, prefix.size()) == prefix;
  if (!CFStringHasPrefix(dt.get(), dp.get())) return false;
  const CFIndex end = CFStringGetLength(dp.get());
  if (end == CFStringGetLength(dt.get())) return true;
  // The match must end between two composed characters of the text, so "e"
  // is no prefix of "e\u0301".
  return CFStringGetRangeOfComposedCharactersAtIndex(dt.get(), end).location ==
         end;
}

}  // namespace support
