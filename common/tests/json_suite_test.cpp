// The public JSON parsing conformance cases: y_ must be read, n_ refused; the
// i_ cases are read only when they are numbers that stay finite.
#include "common/json.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

namespace vor::json {
namespace {

std::string read_all(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// i_ cases that are read: huge or tiny numbers that still fit a double.
const std::set<std::string> kImplementationAccepted = {
    "i_number_double_huge_neg_exp.json", "i_number_real_underflow.json",
    "i_number_too_big_neg_int.json",     "i_number_too_big_pos_int.json",
    "i_number_very_big_negative_int.json",
};

TEST(JsonTestSuite, AcceptsAndRefusesAsRequired) {
  const std::filesystem::path dir(VOR_JSON_SUITE_DIR);
  ASSERT_TRUE(std::filesystem::is_directory(dir)) << dir.string();
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    const std::string bytes = read_all(entry.path());
    const auto parsed = parse(bytes);
    bool expected;
    if (name.starts_with("y_")) {
      expected = true;
    } else if (name.starts_with("n_")) {
      expected = false;
    } else {
      expected = kImplementationAccepted.contains(name);
    }
    EXPECT_EQ(parsed.has_value(), expected) << name;
    ++checked;
  }
  EXPECT_GT(checked, 300);
}

// The reader keeps both members of a duplicated key; typed decoders refuse a
// declared key given twice.
TEST(JsonTestSuite, DuplicateKeysAreKeptInOrder) {
  const std::filesystem::path dir(VOR_JSON_SUITE_DIR);
  const auto parsed = parse(read_all(dir / "y_object_duplicated_key.json"));
  ASSERT_TRUE(parsed);
  const Object* members = parsed->as_object();
  ASSERT_TRUE(members);
  ASSERT_EQ(members->size(), 2u);
  EXPECT_EQ((*members)[0].key, "a");
  EXPECT_EQ(*(*members)[0].value.as_string(), "b");
  EXPECT_EQ((*members)[1].key, "a");
  EXPECT_EQ(*(*members)[1].value.as_string(), "c");
}

}  // namespace
}  // namespace vor::json
