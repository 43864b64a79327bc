// Strict UTF-8 checking and U+FFFD repair, over one decoding step.
#include "support/utf8.h"

namespace support {
namespace {

struct Step {
  size_t valid;   // bytes of the maximal well-formed prefix at i, at least 1
  bool complete;  // they make a whole character
};

Step step(std::string_view bytes, size_t i) {
  const auto lead = static_cast<unsigned char>(bytes[i]);
  if (lead < 0x80) return {1, true};
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  size_t valid = 1;
  while (valid < length && i + valid < bytes.size()) {
    const auto b = static_cast<unsigned char>(bytes[i + valid]);
    if (b < (valid == 1 ? low : 0x80) || b > (valid == 1 ? high : 0xBF)) break;
    ++valid;
  }
  return {valid, length != 0 && valid == length};
}

}  // namespace

bool isValidUtf8(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const Step s = step(bytes, i);
    if (!s.complete) return false;
    i += s.valid;
  }
  return true;
}

std::string repairUtf8(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size();) {
    const Step s = step(bytes, i);
    if (s.complete) {
      text.append(bytes.substr(i, s.valid));
    } else {
      text += "\xEF\xBF\xBD";
    }
    i += s.valid;
  }
  return text;
}

}  // namespace support
