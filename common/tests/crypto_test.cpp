#include "common/crypto.h"

#include <gtest/gtest.h>

#include <set>

namespace vor {
namespace {

TEST(Sha256, KnownVectors) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000, 'a'), "41edece42d63e8d9bf515a9ba6932e1c20cbc9f5a5d134645adb5db1b9737ea3"},
  };
  for (const auto& [input, hex] : cases) {
    auto d = sha256(input);
    ASSERT_TRUE(d);
    EXPECT_EQ(to_hex(*d), hex) << input.size();
  }
}

TEST(Uuid, IsVersionFourHexAndFresh) {
  std::set<std::string> seen;
  for (int i = 0; i < 64; ++i) {
    auto u = uuid_v4_hex();
    ASSERT_TRUE(u);
    ASSERT_EQ(u->size(), 32u);
    EXPECT_EQ((*u)[12], '4');
    EXPECT_NE(std::string("89ab").find((*u)[16]), std::string::npos);
    EXPECT_EQ(u->find_first_not_of("0123456789abcdef"), std::string::npos);
    seen.insert(*u);
  }
  EXPECT_EQ(seen.size(), 64u);
}

}  // namespace
}  // namespace vor
