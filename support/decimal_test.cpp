// Tests of strict decimal parsing: the accepted form and the range limits.
#include "support/decimal.h"

#include <gtest/gtest.h>

namespace support {
namespace {

TEST(Decimal, Int64Table) {
  struct Case {
    const char* text;
    std::optional<int64_t> value;
  };
  const Case cases[] = {
      {"0", 0},
      {"700", 700},
      {"+700", 700},
      {"-5", -5},
      {"007", 7},
      {"-0", 0},
      {"9223372036854775807", INT64_MAX},
      {"-9223372036854775808", INT64_MIN},
      {"00000000000000000000009223372036854775807", INT64_MAX},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"99999999999999999999", std::nullopt},
      {"", std::nullopt},
      {"+", std::nullopt},
      {"-", std::nullopt},
      {"+-5", std::nullopt},
      {"--5", std::nullopt},
      {" 500", std::nullopt},
      {"500 ", std::nullopt},
      {"1e3", std::nullopt},
      {"0x10", std::nullopt},
      {"1_000", std::nullopt},
      {"1,000", std::nullopt},
      {"12.0", std::nullopt},
      {"\xd9\xa1", std::nullopt},  // ARABIC-INDIC DIGIT ONE
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseInt64(c.text), c.value) << '"' << c.text << '"';
  }
  EXPECT_EQ(parseInt64(std::string_view("12\0", 3)), std::nullopt);
}

TEST(Decimal, Int32Range) {
  struct Case {
    const char* text;
    std::optional<int32_t> value;
  };
  const Case cases[] = {
      {"2147483647", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"2147483648", std::nullopt},
      {"-2147483649", std::nullopt},
      {"-1", -1},
      {"+42", 42},
      {"x", std::nullopt},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseInt32(c.text), c.value) << c.text;
  }
}

}  // namespace
}  // namespace support
