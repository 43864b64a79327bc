// The top dictionary of an XML property list, read by the platform's own
// parser where there is one (CoreFoundation) and by libplist elsewhere.
#ifndef NIMBREL_TAP_IDENTITY_PLIST_READER_H_
#define NIMBREL_TAP_IDENTITY_PLIST_READER_H_

#include <map>
#include <optional>
#include <string>
#include <variant>

namespace identity {

/// A value of the dictionary; std::monostate for any type but these two.
using PlistValue = std::variant<std::monostate, std::string, bool>;

/// Absent when `xml` is not a property list whose root is a dictionary.
std::optional<std::map<std::string, PlistValue>> readDictionary(
    const std::string& xml);

}  // namespace identity

#endif  // NIMBREL_TAP_IDENTITY_PLIST_READER_H_
