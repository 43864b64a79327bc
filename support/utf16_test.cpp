// Tests of the UTF-16 to UTF-8 conversion of platform text.
#include "support/utf16.h"

#include <gtest/gtest.h>

namespace support {
namespace {

TEST(Utf16, ConvertsAndRepairsUnpairedSurrogates) {
  struct Case {
    const char* why;
    std::u16string units;
    std::string utf8;
  };
  const Case cases[] = {
      {"empty", u"", ""},
      {"every width", u"A\u00e9\u20ac\U0001F3A7",
       "A\xc3\xa9\xe2\x82\xac\xf0\x9f\x8e\xa7"},
      {"highest code point", u"\U0010FFFF", "\xf4\x8f\xbf\xbf"},
      {"text after a NUL is kept", std::u16string(u"Zoom\0Helper", 11),
       std::string("Zoom\0Helper", 11)},
      {"lone high surrogate",
       {u'a', char16_t(0xD83C), u'b'},
       "a\xef\xbf\xbd"
       "b"},
      {"lone low surrogate",
       {char16_t(0xDFA7), u'b'},
       "\xef\xbf\xbd"
       "b"},
      {"high surrogate at the end", {u'a', char16_t(0xD83C)}, "a\xef\xbf\xbd"},
      {"two highs then a low: one repair, one pair",
       {char16_t(0xD83C), char16_t(0xD83C), char16_t(0xDFA7)},
       "\xef\xbf\xbd\xf0\x9f\x8e\xa7"},
      {"low before high is two repairs",
       {char16_t(0xDFA7), char16_t(0xD83C)},
       "\xef\xbf\xbd\xef\xbf\xbd"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    EXPECT_EQ(utf8FromUtf16(c.units), c.utf8);
  }
}

}  // namespace
}  // namespace support
