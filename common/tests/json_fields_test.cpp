#include "common/json_fields.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vor {
namespace {

enum class Colour { kRed, kBlue };
constexpr std::string_view kColourNames[] = {"red", "blue"};

struct Sample {
  std::uint32_t count = 0;
  std::int32_t offset = 0;
  std::optional<std::string> label;  // null when empty
  std::optional<std::uint32_t> extra;  // left out when empty
  Colour colour = Colour::kRed;
  std::vector<std::string> tags;
  std::vector<std::optional<std::string>> slots;
  bool operator==(const Sample&) const = default;
};

constexpr auto kSample = fields::record<Sample>(
    [](auto& f, auto& s) {
      f.required("count", s.count);
      f.required("offset", s.offset);
      f.nullable("label", s.label);
      f.omittable("extra", s.extra);
      f.required("colour", s.colour, fields::Names<Colour>{kColourNames});
      f.required("tags", s.tags, fields::ArrayOf<fields::Plain<std::string>>{});
      f.required("slots", s.slots, fields::ArrayOf<fields::NullOr<fields::Plain<std::string>>>{});
    },
    json::Mode::kStrict, "Sample");

struct Unit {
  bool operator==(const Unit&) const = default;
};
struct Named {
  std::string text;
  bool operator==(const Named&) const = default;
};
using Choice = std::variant<Unit, Named>;
constexpr std::string_view kChoiceNames[] = {"unit", "named"};

constexpr auto kChoice = fields::tagged<Choice>(kChoiceNames, [](auto& f, auto& c) {
  if constexpr (std::is_same_v<fields::Alternative<decltype(c)>, Unit>) {
    f.ignore_members();
  } else {
    f.required("text", c.text);
  }
});

std::string written(const Sample& s) {
  std::string out;
  kSample.write(out, s);
  return out;
}

Result<Sample> read(std::string_view bytes) {
  return json::decode_document(bytes, [](const json::Value& v) { return kSample.from(v); });
}

TEST(JsonFields, WriterAndTreeGiveTheSameBytesInTableOrder) {
  struct Case {
    Sample sample;
    std::string bytes;
  };
  const Case cases[] = {
      {Sample{}, R"({"count":0,"offset":0,"label":null,"colour":"red","tags":[],"slots":[]})"},
      {Sample{7, -3, "x", 9u, Colour::kBlue, {"a", "b"}, {std::nullopt, "s"}},
       R"({"count":7,"offset":-3,"label":"x","extra":9,"colour":"blue","tags":["a","b"],"slots":[null,"s"]})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(written(c.sample), c.bytes);
    EXPECT_EQ(json::to_string(kSample.tree(c.sample)), c.bytes);
    auto back = read(c.bytes);
    ASSERT_TRUE(back) << back.error().display_chain();
    EXPECT_EQ(*back, c.sample);
  }
}

TEST(JsonFields, DecoderTakesItsKeysFromTheTable) {
  // Absent and null are both empty for either kind of optional field.
  auto loose = read(R"({"slots":[],"tags":[],"colour":"red","offset":1,"count":2,"extra":null})");
  ASSERT_TRUE(loose) << loose.error().display_chain();
  EXPECT_EQ(loose->label, std::nullopt);
  EXPECT_EQ(loose->extra, std::nullopt);

  const char* refused[] = {
      R"({"count":0,"offset":0,"colour":"red","tags":[],"slots":[],"other":1})",  // undeclared key
      R"({"offset":0,"colour":"red","tags":[],"slots":[]})",                      // required field missing
      R"({"count":0,"count":0,"offset":0,"colour":"red","tags":[],"slots":[]})",  // declared key twice
      R"({"count":0,"offset":0,"colour":"green","tags":[],"slots":[]})",          // name not in the list
      R"({"count":0,"offset":0,"colour":"red","tags":[1],"slots":[]})",           // element of the wrong type
      R"({"count":0,"offset":0,"colour":"red","tags":[],"slots":[2]})",           // neither null nor text
  };
  for (const char* bytes : refused) {
    auto r = read(bytes);
    ASSERT_FALSE(r) << bytes;
    EXPECT_EQ(r.error().outermost(), "Sample") << bytes;
  }
}

TEST(JsonFields, TaggedUnionWritesTheKindFirstAndChecksMembersPerAlternative) {
  std::string out;
  kChoice.write(out, Choice(Named{"t"}));
  EXPECT_EQ(out, R"({"kind":"named","text":"t"})");

  struct Case {
    const char* bytes;
    std::optional<Choice> decoded;  // none: refused
  };
  const Case cases[] = {
      {R"({"kind":"unit"})", Choice(Unit{})},
      {R"({"other":1,"kind":"unit"})", Choice(Unit{})},  // a unit alternative ignores members
      {R"({"text":"t","kind":"named"})", Choice(Named{"t"})},
      {R"({"kind":"named","text":"t","other":1})", std::nullopt},
      {R"({"kind":"named"})", std::nullopt},
      {R"({"kind":"missing"})", std::nullopt},
  };
  for (const Case& c : cases) {
    auto r = json::decode_document(c.bytes, [](const json::Value& v) { return kChoice.from(v); });
    if (c.decoded) {
      ASSERT_TRUE(r) << c.bytes << ": " << r.error().display_chain();
      EXPECT_EQ(*r, *c.decoded) << c.bytes;
    } else {
      EXPECT_FALSE(r) << c.bytes;
    }
  }
}

}  // namespace
}  // namespace vor
