#include "common/base64.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vor {
namespace {

std::vector<std::uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

// RFC 4648 section 10, plus the bytes that pick "+" and "/".
TEST(Base64, Rfc4648VectorsRoundTrip) {
  const std::pair<std::vector<std::uint8_t>, std::string> cases[] = {
      {bytes_of(""), ""},
      {bytes_of("f"), "Zg=="},
      {bytes_of("fo"), "Zm8="},
      {bytes_of("foo"), "Zm9v"},
      {bytes_of("foob"), "Zm9vYg=="},
      {bytes_of("fooba"), "Zm9vYmE="},
      {bytes_of("foobar"), "Zm9vYmFy"},
      {{0xFB, 0xFF, 0xBF}, "+/+/"},
      {{0x00, 0x00, 0x00, 0xFF}, "AAAA/w=="},
  };
  for (const auto& [raw, text] : cases) {
    EXPECT_EQ(base64_encode(raw), text);
    auto back = base64_decode(text);
    ASSERT_TRUE(back) << text;
    EXPECT_EQ(*back, raw) << text;
  }
}

TEST(Base64, EveryByteValueRoundTrips) {
  std::vector<std::uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<std::uint8_t>(i);
  for (std::size_t len = 0; len <= all.size(); len += 85) {
    std::span<const std::uint8_t> part(all.data(), len);
    auto back = base64_decode(base64_encode(part));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, std::vector<std::uint8_t>(part.begin(), part.end()));
  }
}

TEST(Base64, RefusesEveryNonCanonicalText) {
  const std::string cases[] = {
      "Zg",        // padding missing
      "Zg=",       // length not a multiple of 4
      "Zh==",      // left-over bits not zero
      "Zm9=",      // left-over bits not zero (one pad)
      "Zg==Zg==",  // padding in the middle
      "Z===",      // three pads
      "====",
      "Zm9v\n",    // whitespace
      "Zm 9",
      "Zm-_",      // URL-safe alphabet
      "Zm9v====",
      std::string("Zm\0v", 4),
  };
  for (const auto& text : cases) {
    auto r = base64_decode(text);
    ASSERT_FALSE(r) << text;
    EXPECT_EQ(r.error().outermost(), kBase64Invalid);
  }
}

}  // namespace
}  // namespace vor
