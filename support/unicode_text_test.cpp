// Tests of canonical text equality and the character-safe prefix rule.
#include "support/unicode_text.h"

#include <gtest/gtest.h>

namespace support {
namespace {

// e + COMBINING ACUTE ACCENT, and the precomposed é.
constexpr const char* kDecomposedE = "e\xcc\x81";
constexpr const char* kComposedE = "\xc3\xa9";

TEST(TextEqual, Table) {
  struct Case {
    std::string a, b;
    bool equal;
  };
  const Case cases[] = {
      {"", "", true},
      {"Talker", "Talker", true},
      {"Talker", "talker", false},
      {"Talk", "Talker", false},
      {"", "a", false},
      {kDecomposedE, kComposedE, true},
      {std::string("caf") + kDecomposedE, std::string("caf") + kComposedE,
       true},
      {std::string("caf") + kComposedE, "cafe", false},
      // KELVIN SIGN decomposes canonically to plain K.
      {"\xe2\x84\xaa"
       "elvin",
       "Kelvin", true},
      // ANGSTROM SIGN and Å (A + ring) are equivalent.
      {"\xe2\x84\xab", "A\xcc\x8a", true},
      // Two marks in either order: dot below (220) then dot above (230).
      {"q\xcc\xa3\xcc\x87", "q\xcc\x87\xcc\xa3", true},
      // Two marks of the same class do not commute.
      {"a\xcc\x81\xcc\x80", "a\xcc\x80\xcc\x81", false},
      // Compatibility equivalents are not canonical ones: the "fi" ligature.
      {"\xef\xac\x81", "fi", false},
      // Case counts outside ASCII too.
      {"\xc3\x89", "\xc3\xa9", false},
      // Not UTF-8: equal only byte for byte.
      {"a\xff", "a\xff", true},
      {"a\xff", "a\xfe", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(textEqual(c.a, c.b), c.equal) << c.a << " vs " << c.b;
    EXPECT_EQ(textEqual(c.b, c.a), c.equal) << c.b << " vs " << c.a;
  }
}

TEST(TextEqual, LongTextBeyondTheInlineBuffer) {
  std::string a, b;
  for (int k = 0; k < 300; ++k) {
    a += kDecomposedE;
    b += kComposedE;
  }
  EXPECT_TRUE(textEqual(a, b));
  b += "x";
  EXPECT_FALSE(textEqual(a, b));
}

TEST(TextHasPrefix, Table) {
  struct Case {
    std::string text, prefix;
    bool match;
  };
  const Case cases[] = {
      {"com.example.recorder", "com.example.", true},
      {"COM.EXAMPLE.RECORDER", "com.example.", false},
      {"com.example.recorder", "com.example.recorder", true},
      {"com.example", "com.example.", false},
      {"anything", "", true},
      {"", "", true},
      {"", "a", false},
      // Canonically equivalent forms on either side.
      {std::string("caf") + kComposedE + ".app",
       std::string("caf") + kDecomposedE, true},
      {std::string("caf") + kDecomposedE + ".app",
       std::string("caf") + kComposedE, true},
      // Never in the middle of a character: "e" is no prefix of "é".
      {std::string("caf") + kComposedE, "cafe", false},
      {std::string("caf") + kDecomposedE, "cafe", false},
      // Hangul GAK starts with the jamo of GA in NFD, but not as a character.
      {"\xea\xb0\x81", "\xea\xb0\x80", false},
      {"\xea\xb0\x80\xea\xb0\x81", "\xea\xb0\x80", true},
      // A ZERO WIDTH JOINER sequence is one character.
      {"\xf0\x9f\x91\xa9\xe2\x80\x8d\xf0\x9f\x92\xbb", "\xf0\x9f\x91\xa9",
       false},
      // CR LF is one character; CR then "x" is two.
      {"a\r\nb", "a\r", false},
      {"a\rb", "a\r", true},
      // A non-ASCII character after an ASCII match that starts a new one.
      {"ab\xc3\xa9", "ab", true},
      {"ab\xcc\x81", "ab", false},
      // Not UTF-8: a byte prefix.
      {"a\xff"
       "b",
       "a\xff", true},
      {"a\xff"
       "b",
       "a\xfe", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(textHasPrefix(c.text, c.prefix), c.match)
        << '"' << c.text << "\" / \"" << c.prefix << '"';
  }
}

}  // namespace
}  // namespace support
