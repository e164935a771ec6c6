#include "common/text.h"

#include <gtest/gtest.h>

namespace vor {
namespace {

struct Utf8Case {
  const char* name;
  std::string bytes;
  bool valid;
};

TEST(Utf8, ValidityTable) {
  const Utf8Case cases[] = {
      {"ascii", "abc", true},
      {"two byte e-acute", "\xC3\xA9", true},
      {"three byte euro", "\xE2\x82\xAC", true},
      {"four byte clef", "\xF0\x9D\x84\x9E", true},
      {"lone continuation", "\x80", false},
      {"overlong slash", "\xC0\xAF", false},
      {"truncated three byte", "\xE2\x82", false},
      {"encoded surrogate", "\xED\xA0\x80", false},
      {"above U+10FFFF", "\xF4\x90\x80\x80", false},
      {"five byte lead", "\xF8\x88\x80\x80\x80", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << c.name;
}

TEST(Utf16, RoundTripsSupplementaryCharacters) {
  const std::string text = "a\xC3\xA9\xF0\x9D\x84\x9E";
  auto wide = utf8_to_utf16(text);
  ASSERT_TRUE(wide);
  EXPECT_EQ(*wide, (std::u16string{u'a', 0x00E9, 0xD834, 0xDD1E}));
  EXPECT_EQ(utf16_to_utf8(*wide), text);
}

TEST(Utf16, RefusesUnpairedSurrogates) {
  EXPECT_FALSE(utf16_to_utf8(std::u16string{0xD834}));
  EXPECT_FALSE(utf16_to_utf8(std::u16string{0xDD1E, u'a'}));
  EXPECT_FALSE(utf16_to_utf8(std::u16string{0xD834, u'a'}));
  EXPECT_FALSE(utf8_to_utf16("\xFF"));
}

TEST(ParseU32Decimal, DigitsWithAnOptionalPlusWithinThirtyTwoBits) {
  const struct {
    const char* text;
    std::optional<std::uint32_t> value;
  } cases[] = {
      {"0", 0u},          {"+1", 1u},          {"0007", 7u}, {"4294967295", 4294967295u},
      {"4294967296", {}}, {"99999999999", {}}, {"", {}},     {"+", {}},
      {"-1", {}},         {"1a", {}},          {" 1", {}},   {"++1", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_u32_decimal(c.text), c.value) << c.text;
}

}  // namespace
}  // namespace vor
