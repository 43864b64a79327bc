// Compact sorted-key JSON lines: the one writer behind both programs' output.
#include "support/json_line.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "support/utf8.h"

namespace support {
namespace {

bool appendValue(std::string& out, const JsonValue& value);

bool appendObject(std::string& out, const JsonObject& object) {
  std::vector<const std::pair<std::string, JsonValue>*> members;
  members.reserve(object.size());
  for (const auto& member : object) members.push_back(&member);
  std::sort(members.begin(), members.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  out += '{';
  for (size_t k = 0; k < members.size(); ++k) {
    if (k > 0) {
      if (members[k - 1]->first == members[k]->first) return false;
      out += ',';
    }
    if (!appendJsonString(out, members[k]->first)) return false;
    out += ':';
    if (!appendValue(out, members[k]->second)) return false;
  }
  out += '}';
  return true;
}

bool appendValue(std::string& out, const JsonValue& value) {
  struct Visitor {
    std::string& out;
    bool operator()(const std::string& s) { return appendJsonString(out, s); }
    bool operator()(int64_t i) {
      char digits[24];
      const auto result = std::to_chars(digits, digits + sizeof digits, i);
      out.append(digits, result.ptr);
      return true;
    }
    bool operator()(double d) {
      if (!std::isfinite(d)) return false;
      appendJsonDouble(out, d);
      return true;
    }
    bool operator()(bool b) {
      out += b ? "true" : "false";
      return true;
    }
    bool operator()(const JsonArray& array) {
      out += '[';
      for (size_t k = 0; k < array.size(); ++k) {
        if (k > 0) out += ',';
        if (!appendValue(out, array[k])) return false;
      }
      out += ']';
      return true;
    }
    bool operator()(const JsonObject& object) {
      return appendObject(out, object);
    }
  };
  return std::visit(Visitor{out}, value.v);
}

}  // namespace

std::optional<std::string> jsonLine(const JsonValue& value) {
  std::string out;
  if (!appendValue(out, value)) return std::nullopt;
  out += '\n';
  return out;
}

bool appendJsonString(std::string& out, std::string_view text) {
  if (!isValidUtf8(text)) return false;
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '/':
        out += "\\/";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          out += "\\u00";
          out += kHex[(c >> 4) & 0xF];
          out += kHex[c & 0xF];
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return true;
}

void appendJsonDouble(std::string& out, double value) {
  char digits[32];
  // Integral values inside the 64-bit range print as integers (48000, not
  // 48000.0 or 4.8e+04); 2^63 itself is outside and takes the other form.
  if (value == std::trunc(value) && value >= -9223372036854775808.0 &&
      value < 9223372036854775808.0) {
    const auto result = std::to_chars(digits, digits + sizeof digits,
                                      static_cast<int64_t>(value));
    out.append(digits, result.ptr);
    return;
  }
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  out.append(digits, result.ptr);
}

}  // namespace support
