// Compact JSON lines with keys in ascending order, as both programs write
// them: "/" escaped as "\/", non-ASCII kept as raw UTF-8.
#ifndef NIMBREL_SUPPORT_JSON_LINE_H_
#define NIMBREL_SUPPORT_JSON_LINE_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace support {

struct JsonValue;
using JsonArray = std::vector<JsonValue>;
/// Members in any order; the writer sorts them by key (byte order).
using JsonObject = std::vector<std::pair<std::string, JsonValue>>;

struct JsonValue {
  std::variant<std::string, int64_t, double, bool, JsonArray, JsonObject> v;
};

// Clang with libstdc++ rejects std::pair<std::string, JsonValue> if the pair
// is instantiated before JsonValue's destructor (a circular trait check);
// this use of the destructor settles the order in every file.
inline void destroyJsonValue(JsonValue& value) { value.~JsonValue(); }

/// The value as one compact line ended by "\n"; absent when it cannot be
/// written: a string that is not valid UTF-8, a double that is NaN or
/// infinite, or a key given twice in one object.
std::optional<std::string> jsonLine(const JsonValue& value);

/// Appends `text` as a quoted JSON string; false if it is not valid UTF-8.
bool appendJsonString(std::string& out, std::string_view text);

/// A finite double as JSON: integral values without fraction or exponent
/// (48000), others in the shortest form that reads back to the same value.
void appendJsonDouble(std::string& out, double value);

}  // namespace support

#endif  // NIMBREL_SUPPORT_JSON_LINE_H_
