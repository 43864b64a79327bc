// Canonical equality and character-safe prefix tests on UTF-8 text, through
// utf8proc's canonical decomposition (NFD) and grapheme cluster rules.
#include <utf8proc.h>

#include <algorithm>
#include <vector>

#include "support/unicode_text.h"

namespace support {
namespace {

// NFD code points of a string. Short strings (every process name and bundle
// identifier in practice) stay in the inline buffer and allocate nothing.
class Decomposed {
 public:
  // False when `text` is not valid UTF-8.
  bool decompose(std::string_view text) {
    constexpr auto options =
        static_cast<utf8proc_option_t>(UTF8PROC_DECOMPOSE | UTF8PROC_STABLE);
    const auto* bytes = reinterpret_cast<const utf8proc_uint8_t*>(text.data());
    const auto length = static_cast<utf8proc_ssize_t>(text.size());
    auto count = utf8proc_decompose(bytes, length, inline_, kInline, options);
    if (count < 0) return false;
    data_ = inline_;
    if (count > kInline) {
      heap_.resize(static_cast<size_t>(count));
      count = utf8proc_decompose(bytes, length, heap_.data(), count, options);
      if (count < 0) return false;
      data_ = heap_.data();
    }
    size_ = static_cast<size_t>(count);
    return true;
  }
  const utf8proc_int32_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  static constexpr utf8proc_ssize_t kInline = 128;
  utf8proc_int32_t inline_[kInline];
  std::vector<utf8proc_int32_t> heap_;
  const utf8proc_int32_t* data_ = inline_;
  size_t size_ = 0;
};

bool isAscii(unsigned char c) { return c < 0x80; }

// Length of the common prefix of `a` and `b` that is plain ASCII. ASCII
// characters are starters without decomposition, so the NFD of such a prefix
// is itself and the rest of each string decomposes on its own.
size_t commonAsciiPrefix(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  size_t i = 0;
  while (i < n && a[i] == b[i] && isAscii(static_cast<unsigned char>(a[i]))) {
    ++i;
  }
  return i;
}

bool allAscii(std::string_view text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return isAscii(static_cast<unsigned char>(c));
  });
}

}  // namespace

bool textEqual(std::string_view a, std::string_view b) {
  const size_t common = commonAsciiPrefix(a, b);
  a.remove_prefix(common);
  b.remove_prefix(common);
  if (a.empty() && b.empty()) return true;
  if (allAscii(a) && allAscii(b)) return false;
  Decomposed da, db;
  // Text that is not UTF-8 has no canonical form: only identical bytes match.
  if (!da.decompose(a) || !db.decompose(b)) return a == b;
  return std::equal(da.data(), da.data() + da.size(), db.data(),
                    db.data() + db.size());
}

bool textHasPrefix(std::string_view text, std::string_view prefix) {
  if (prefix.empty()) return true;
  // Fast path for ASCII: a match ends on a character boundary unless it
  // splits a CR LF pair; a non-ASCII next character needs the full rules.
  const size_t common = commonAsciiPrefix(text, prefix);
  if (common == text.size() && common < prefix.size()) return false;
  if (common == prefix.size()) {
    if (common == text.size()) return true;
    if (isAscii(static_cast<unsigned char>(text[common]))) {
      return !(text[common - 1] == '\r' && text[common] == '\n');
    }
  } else if (common < text.size() &&
             isAscii(static_cast<unsigned char>(text[common])) &&
             isAscii(static_cast<unsigned char>(prefix[common]))) {
    return false;
  }

  Decomposed dt, dp;
  if (!dt.decompose(text) || !dp.decompose(prefix)) {
    return text.substr(0, prefix.size()) == prefix;
  }
  if (dp.size() > dt.size() ||
      !std::equal(dp.data(), dp.data() + dp.size(), dt.data())) {
    return false;
  }
  if (dp.size() == dt.size()) return true;
  // The match must end between two grapheme clusters of the text, so "e"
  // is no prefix of "e\u0301" and a Hangul syllable no prefix of a longer
  // one whose decomposition starts with it. The rules carry state (emoji
  // sequences, regional indicator pairs), so walk from the start.
  utf8proc_int32_t state = 0;
  bool boundary = true;
  for (size_t k = 1; k <= dp.size(); ++k) {
    boundary = utf8proc_grapheme_break_stateful(dt.data()[k - 1], dt.data()[k],
                                                &state);
  }
  return boundary;
}

}  // namespace support
