#include "protocol/observation.h"

#include <gtest/gtest.h>

#include <limits>

#include "document_fixture.h"

namespace vor::desktop {
namespace {

using testing::kWindowJson;
using testing::with_member;
using testing::without_member;

std::string encoded(const Window& w) {
  std::string out;
  encode_window(out, w);
  return out;
}

TEST(WindowDocument, DecodesAndReencodesExactly) {
  const auto w = decode_window(kWindowJson);
  ASSERT_TRUE(w) << w.error().display_chain();
  EXPECT_FALSE(w->minimized);
  EXPECT_EQ(w->handle, 132456u);
  EXPECT_EQ(w->process_id, 4242u);
  EXPECT_EQ(w->process_created, 133000000000000000u);
  EXPECT_EQ(w->rect, (Rect{-8, 0, 1280, 1024}));
  EXPECT_EQ(w->title, "Editor \x1B \xC3\xA9");
  EXPECT_EQ(format_rfc3339(w->observed_at), "2026-03-04T05:06:07.250Z");
  EXPECT_EQ(w->last_input_tick, 4294967295u);
  EXPECT_TRUE(w->foreground);
  EXPECT_EQ(encoded(*w), kWindowJson);
  EXPECT_EQ(json::to_string(window_to_value(*w)), kWindowJson);
}

TEST(WindowDocument, MemberForms) {
  struct Case {
    const char* name;
    const char* key;
    const char* value;
    const char* reencoded_key_value;  // nullptr: the document fails
  };
  const Case cases[] = {
      {"handle as digits with leading zeros", "handle", R"("000123")", R"("handle":123,)"},
      {"handle as the largest u64 string", "handle", R"("18446744073709551615")", R"("handle":18446744073709551615,)"},
      {"processCreated of u64 max", "processCreated", "18446744073709551615",
       R"("processCreated":18446744073709551615,)"},
      {"observedAt with an offset", "observedAt", R"("2026-03-04T07:06:07.25+02:00")",
       R"("observedAt":"2026-03-04T05:06:07.250Z",)"},
      {"observedAt with whole seconds", "observedAt", R"("2026-03-04T05:06:07.000Z")",
       R"("observedAt":"2026-03-04T05:06:07Z",)"},
      {"negative handle", "handle", "-5", nullptr},
      {"hexadecimal handle", "handle", R"("0x7b")", nullptr},
      {"handle above u64", "handle", R"("18446744073709551616")", nullptr},
      {"float handle", "handle", "123.0", nullptr},
      {"processId as a string", "processId", R"("4242")", nullptr},
      {"processId above u32", "processId", "4294967296", nullptr},
      {"minimized as a number", "minimized", "0", nullptr},
      {"foreground as null", "foreground", "null", nullptr},
      {"title as a number", "title", "5", nullptr},
      {"observedAt without an offset", "observedAt", R"("2026-03-04T05:06:07")", nullptr},
      {"observedAt as a number", "observedAt", "1700000000", nullptr},
      {"lastInputTick negative", "lastInputTick", "-1", nullptr},
      {"rect as an array", "rect", "[-8,0,1280,1024]", nullptr},
      {"rect left above i32", "rect", R"({"left":2147483648,"top":0,"right":1,"bottom":1})", nullptr},
      {"rect with an extra member", "rect", R"({"left":0,"top":0,"right":1,"bottom":1,"width":1})", nullptr},
      {"undeclared member", "extra", "1", nullptr},
  };
  for (const auto& c : cases) {
    const auto w = decode_window(with_member(kWindowJson, {}, c.key, c.value));
    ASSERT_EQ(w.has_value(), c.reencoded_key_value != nullptr) << c.name;
    if (w) {
      EXPECT_NE(encoded(*w).find(c.reencoded_key_value), std::string::npos) << c.name << ": " << encoded(*w);
    }
  }
}

TEST(WindowDocument, EveryMemberIsRequiredAndUnique) {
  for (const std::string& key : testing::keys_at(kWindowJson, {})) {
    EXPECT_FALSE(decode_window(without_member(kWindowJson, {}, key))) << key;
    EXPECT_FALSE(decode_window(testing::with_appended(kWindowJson, {}, key, "null"))) << key;
  }
  for (const std::string& key : testing::keys_at(kWindowJson, {"rect"})) {
    EXPECT_FALSE(decode_window(without_member(kWindowJson, {"rect"}, key))) << key;
  }
  EXPECT_FALSE(decode_window("[]"));
  EXPECT_FALSE(decode_window(std::string(kWindowJson) + "x"));
  EXPECT_TRUE(decode_window("\r\n " + std::string(kWindowJson) + "\t"));
}

TEST(WindowDocument, BothHandleFormsDecodeAlike) {
  const auto number = decode_window(kWindowJson);
  const auto text = decode_window(with_member(with_member(kWindowJson, {}, "handle", R"("132456")"), {},
                                              "processCreated", R"("133000000000000000")"));
  ASSERT_TRUE(number && text);
  EXPECT_EQ(*number, *text);
}

TEST(RectDocument, RangeAndEncoding) {
  const auto r = decode_rect(R"({"bottom":2147483647,"right":0,"top":-1,"left":-2147483648})");
  ASSERT_TRUE(r);
  std::string out;
  encode_rect(out, *r);
  EXPECT_EQ(out, R"({"left":-2147483648,"top":-1,"right":0,"bottom":2147483647})");
  EXPECT_EQ(json::to_string(rect_to_value(*r)), out);
  EXPECT_FALSE(decode_rect(R"({"left":-2147483649,"top":0,"right":0,"bottom":0})"));
  EXPECT_FALSE(decode_rect(R"({"left":0.5,"top":0,"right":0,"bottom":0})"));
  EXPECT_FALSE(decode_rect(R"({"left":0,"top":0,"right":0})"));
}

constexpr std::string_view kElementJson =
    R"({"automationId":"ok\"Button","name":"OK","className":"Button","controlType":50000,)"
    R"("rect":{"left":10,"top":20,"right":90,"bottom":44},"enabled":true,"offscreen":false,"password":false})";

TEST(ElementDocument, DecodesStrictlyAndReencodesExactly) {
  const auto e = decode_element(kElementJson);
  ASSERT_TRUE(e) << e.error().display_chain();
  EXPECT_EQ(e->automation_id, "ok\"Button");
  EXPECT_EQ(e->control_type, 50000);
  std::string out;
  encode_element(out, *e);
  EXPECT_EQ(out, kElementJson);
  EXPECT_EQ(json::to_string(element_to_value(*e)), kElementJson);
  for (const std::string& key : testing::keys_at(kElementJson, {})) {
    EXPECT_FALSE(decode_element(without_member(kElementJson, {}, key))) << key;
  }
  EXPECT_FALSE(decode_element(with_member(kElementJson, {}, "extra", "null")));
  EXPECT_FALSE(decode_element(with_member(kElementJson, {}, "controlType", "-2147483649")));
  EXPECT_TRUE(decode_element(with_member(kElementJson, {}, "controlType", "-1")));
  EXPECT_FALSE(decode_element(with_member(kElementJson, {}, "password", R"("false")")));
}

}  // namespace
}  // namespace vor::desktop
