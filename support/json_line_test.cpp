// Tests of the JSON line writer: key order, escapes, numbers, refusals.
#include "support/json_line.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace support {
namespace {

JsonValue str(std::string s) { return JsonValue{std::move(s)}; }

TEST(JsonLine, SortsKeysOfEveryObjectByBytes) {
  JsonValue inner{
      JsonObject{{"b", JsonValue{int64_t{2}}}, {"a", JsonValue{int64_t{1}}}}};
  JsonValue value{JsonObject{{"type", str("x")},
                             {"Zed", JsonValue{true}},
                             {"list", JsonValue{JsonArray{inner, inner}}},
                             {"alpha", JsonValue{false}}}};
  EXPECT_EQ(jsonLine(value),
            "{\"Zed\":true,\"alpha\":false,\"list\":[{\"a\":1,\"b\":2},"
            "{\"a\":1,\"b\":2}],\"type\":\"x\"}\n");
}

TEST(JsonLine, EmptyContainers) {
  EXPECT_EQ(jsonLine(JsonValue{JsonObject{}}), "{}\n");
  EXPECT_EQ(jsonLine(JsonValue{JsonObject{{"a", JsonValue{JsonArray{}}}}}),
            "{\"a\":[]}\n");
}

TEST(JsonLine, RefusesWhatCannotBeWritten) {
  EXPECT_FALSE(jsonLine(
      JsonValue{JsonObject{{"a", JsonValue{true}}, {"a", JsonValue{false}}}}));
  EXPECT_FALSE(jsonLine(JsonValue{JsonObject{{"a", str("\xff")}}}));
  EXPECT_FALSE(jsonLine(JsonValue{JsonObject{{"\xc3", str("x")}}}));
  EXPECT_FALSE(jsonLine(JsonValue{JsonArray{JsonValue{std::nan("")}}}));
  EXPECT_FALSE(jsonLine(JsonValue{
      JsonArray{JsonValue{std::numeric_limits<double>::infinity()}}}));
}

TEST(JsonLine, Integers) {
  EXPECT_EQ(jsonLine(JsonValue{
                JsonArray{JsonValue{int64_t{0}}, JsonValue{int64_t{-5}},
                          JsonValue{std::numeric_limits<int64_t>::min()},
                          JsonValue{std::numeric_limits<int64_t>::max()}}}),
            "[0,-5,-9223372036854775808,9223372036854775807]\n");
}

TEST(JsonString, Escapes) {
  struct Case {
    std::string in;
    std::string out;
  };
  const Case cases[] = {
      {"plain", "\"plain\""},
      {"", "\"\""},
      {"a/b//", "\"a\\/b\\/\\/\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {"\n\r\t\b\f", "\"\\n\\r\\t\\b\\f\""},
      {std::string("\0\x01\x1f\x0b", 4), "\"\\u0000\\u0001\\u001f\\u000b\""},
      {"\x7f", "\"\x7f\""},
      {"Gr\xc3\xbc\xc3\x9f"
       "e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xa4",
       "\"Gr\xc3\xbc\xc3\x9f"
       "e \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x8e\xa4\""},
      {"\xe2\x80\xa8", "\"\xe2\x80\xa8\""},
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_TRUE(appendJsonString(out, c.in)) << c.in;
    EXPECT_EQ(out, c.out);
  }
}

TEST(JsonString, RejectsInvalidUtf8) {
  const std::string bad[] = {
      "\x80",              // lone continuation byte
      "\xc3",              // truncated sequence
      "\xc0\xaf",          // overlong "/"
      "\xe0\x80\xaf",      // overlong, three bytes
      "\xed\xa0\x80",      // UTF-16 surrogate
      "\xf4\x90\x80\x80",  // above U+10FFFF
      "\xf5\x80\x80\x80",  // invalid lead byte
      "ok\xe2\x82",        // truncated at the end
  };
  for (const auto& text : bad) {
    std::string out = "kept";
    EXPECT_FALSE(appendJsonString(out, text));
  }
  std::string out;
  EXPECT_TRUE(appendJsonString(out, "\xf4\x8f\xbf\xbf\xef\xbf\xbd"));
}

TEST(JsonDouble, IntegralWithoutFractionOthersShortest) {
  struct Case {
    double in;
    const char* out;
  };
  const Case cases[] = {
      {48000.0, "48000"},
      {44100.0, "44100"},
      {0.0, "0"},
      {-0.0, "0"},
      {-16000.0, "-16000"},
      {0.1, "0.1"},
      {0.25, "0.25"},
      {-1.5, "-1.5"},
      {1.0 / 3.0, "0.3333333333333333"},
      {1e-7, "1e-07"},
      {9007199254740993.0, "9007199254740992"},
      {9223372036854775808.0, "9223372036854775808"},
      {1e300, "1e+300"},
  };
  for (const auto& c : cases) {
    std::string out;
    appendJsonDouble(out, c.in);
    EXPECT_EQ(out, c.out) << c.in;
  }
}

}  // namespace
}  // namespace support
