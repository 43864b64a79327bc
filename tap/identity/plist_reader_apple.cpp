// readDictionary over CoreFoundation, the parser the system reads the
// embedded Info.plist and the entitlements with.
#include <CoreFoundation/CoreFoundation.h>

#include <vector>

#include "tap/identity/plist_reader.h"

namespace identity {
namespace {

std::string utf8(CFStringRef text) {
  const CFIndex size = CFStringGetMaximumSizeForEncoding(
                           CFStringGetLength(text), kCFStringEncodingUTF8) +
                       1;
  std::vector<char> buffer(size_t(size), '\0');
  if (!CFStringGetCString(text, buffer.data(), size, kCFStringEncodingUTF8))
    return {};
  return buffer.data();
}

PlistValue valueOf(CFTypeRef value) {
  if (CFGetTypeID(value) == CFBooleanGetTypeID())
    return bool(CFBooleanGetValue(static_cast<CFBooleanRef>(value)));
  if (CFGetTypeID(value) == CFStringGetTypeID())
    return utf8(static_cast<CFStringRef>(value));
  return std::monostate{};
}

}  // namespace

std::optional<std::map<std::string, PlistValue>> readDictionary(
    const std::string& xml) {
  CFDataRef data = CFDataCreate(
      nullptr, reinterpret_cast<const UInt8*>(xml.data()), CFIndex(xml.size()));
  CFPropertyListRef root = CFPropertyListCreateWithData(
      nullptr, data, kCFPropertyListImmutable, nullptr, nullptr);
  CFRelease(data);
  if (root == nullptr) return std::nullopt;
  std::optional<std::map<std::string, PlistValue>> entries;
  if (CFGetTypeID(root) == CFDictionaryGetTypeID()) {
    const auto dictionary = static_cast<CFDictionaryRef>(root);
    const CFIndex count = CFDictionaryGetCount(dictionary);
    const size_t size = size_t(count);
    std::vector<const void*> keys(size), values(size);
    CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
    entries.emplace();
    for (CFIndex i = 0; i < count; ++i) {
      if (CFGetTypeID(keys[size_t(i)]) != CFStringGetTypeID()) continue;
      (*entries)[utf8(static_cast<CFStringRef>(keys[size_t(i)]))] =
          valueOf(values[size_t(i)]);
    }
  }
  CFRelease(root);
  return entries;
}

}  // namespace identity
