// String references: a heap copy of the UTF-8 text, released by the caller;
// and autorelease pools, which this platform has none of.
#include <string>

#include "audio/hardware.h"

namespace audio {

std::optional<std::string> stringValue(StringRef string) {
  if (string == nullptr) return std::nullopt;
  return *reinterpret_cast<const std::string*>(string);
}

StringRef createString(std::string_view utf8) {
  return reinterpret_cast<StringRef>(new std::string(utf8));
}

void releaseString(StringRef string) {
  delete reinterpret_cast<const std::string*>(string);
}

void withAutoreleasePool(void (*work)()) { work(); }

}  // namespace audio
