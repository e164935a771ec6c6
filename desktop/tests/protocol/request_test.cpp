#include "protocol/request.h"

#include <gtest/gtest.h>

#include "document_fixture.h"

namespace vor::desktop {
namespace {

using testing::kWindowJson;
using testing::with_appended;
using testing::with_member;
using testing::without_member;

std::string request_with_action(std::string_view action, std::string_view operation_id = "op-1") {
  return R"({"protocol":1,"operationId":")" + std::string(operation_id) + R"(","sessionId":1,"action":)" +
         std::string(action) + "}";
}

std::string w() { return std::string(kWindowJson); }

constexpr std::string_view kSelectorButton =
    R"({"automationId":"btn","name":null,"className":null,"controlType":50000})";
constexpr std::string_view kSelectorStatus =
    R"({"automationId":null,"name":"Status","className":"Static","controlType":null})";

// One request of each kind, in kind order, exactly as the encoder writes it.
std::vector<std::string> canonical_requests() {
  const std::string sel_button(kSelectorButton);
  const std::string sel_status(kSelectorStatus);
  return {
      request_with_action(R"({"kind":"inspect"})", "op-0"),
      R"({"protocol":1,"operationId":"op-7","sessionId":1,"action":{"kind":"find_windows","selector":{"processId":null,"title":"Editor"},"timeoutMs":1000}})",
      request_with_action(R"({"kind":"find_elements","window":)" + w() + R"(,"selector":)" + sel_button +
                          R"(,"timeoutMs":2000})"),
      request_with_action(R"({"kind":"wait_element","window":)" + w() + R"(,"check":{"selector":)" + sel_status +
                          R"(,"condition":{"kind":"name_equals","text":"Done"}},"timeoutMs":4000})"),
      request_with_action(R"({"kind":"element_action","window":)" + w() + R"(,"selector":)" + sel_button +
                          R"(,"operation":{"kind":"set_value","text":"hello"},"verify":{"selector":)" + sel_button +
                          R"(,"condition":{"kind":"value_equals","text":"hello"}},"timeoutMs":3000})"),
      request_with_action(R"({"kind":"launch","program":"C:\\Windows\\notepad.exe","arguments":["a b","\"q\"",""]})"),
      request_with_action(R"({"kind":"capture","window":)" + w() + "}"),
      request_with_action(R"({"kind":"capture_window","window":)" + w() + "}"),
      request_with_action(R"({"kind":"focus","window":)" + w() + "}"),
      request_with_action(R"({"kind":"click","window":)" + w() + R"(,"x":-5,"y":2147483647})"),
      request_with_action(R"({"kind":"type","window":)" + w() + R"(,"text":"héllo\n\t/"})"),
      request_with_action(R"({"kind":"key","window":)" + w() + R"(,"key":"alt_tab"})"),
  };
}

// The same document written differently: members in reverse order (so
// `kind` stands last), null members left out, window handles as decimal
// strings, the time with an offset, and whitespace between all tokens.
void rewrite_forms(json::Value& v) {
  if (json::Array* items = v.as_array()) {
    for (json::Value& item : *items) rewrite_forms(item);
    return;
  }
  json::Object* members = v.as_object();
  if (!members) return;
  std::erase_if(*members, [](const json::Member& m) { return m.value.is_null(); });
  std::reverse(members->begin(), members->end());
  for (json::Member& m : *members) {
    if ((m.key == "handle" || m.key == "processCreated") && m.value.as_unsigned()) {
      m.value = "00" + std::to_string(*m.value.as_unsigned());
    } else if (m.key == "observedAt") {
      m.value = "2026-03-04T07:36:07.25+02:30";
    } else {
      rewrite_forms(m.value);
    }
  }
}

std::string spaced(const json::Value& v) {
  std::string out;
  if (const json::Array* items = v.as_array()) {
    out += "[ ";
    for (std::size_t i = 0; i < items->size(); ++i) out += (i ? " ,\r\n" : "") + spaced((*items)[i]);
    return out + "\t]";
  }
  if (const json::Object* members = v.as_object()) {
    out += "{\n";
    for (std::size_t i = 0; i < members->size(); ++i) {
      if (i) out += ",\n\t";
      json::write_string(out, (*members)[i].key);
      out += " : " + spaced((*members)[i].value);
    }
    return out + " }";
  }
  json::write(out, v);
  return out;
}

std::string rewritten(std::string_view canonical) {
  json::Value tree = testing::parsed(canonical);
  rewrite_forms(tree);
  return "\r\n" + spaced(tree) + " \t\n";
}

TEST(RequestDocument, EveryKindReencodesByteExactly) {
  const auto requests = canonical_requests();
  ASSERT_EQ(requests.size(), kActionKindCount);
  for (std::size_t i = 0; i < requests.size(); ++i) {
    const auto r = decode_request(requests[i]);
    ASSERT_TRUE(r) << requests[i] << "\n" << r.error().display_chain();
    EXPECT_EQ(static_cast<std::size_t>(action_kind(r->action)), i);
    EXPECT_EQ(encode_request(*r), requests[i]);
    const auto tree = json::parse(requests[i]);
    ASSERT_TRUE(tree);
    const auto from_tree = request_from_value(*tree);
    ASSERT_TRUE(from_tree);
    EXPECT_EQ(*from_tree, *r);
  }
}

TEST(RequestDocument, OtherWrittenFormsOfTheSameRequestEncodeAlike) {
  for (const std::string& canonical : canonical_requests()) {
    const std::string other = rewritten(canonical);
    const auto r = decode_request(other);
    ASSERT_TRUE(r) << other << "\n" << r.error().display_chain();
    EXPECT_EQ(encode_request(*r), canonical) << other;
  }
}

TEST(RequestDocument, AnyChangedValueChangesTheEncoding) {
  const std::string base = canonical_requests()[9];  // click
  const std::string changed[] = {
      with_member(base, {}, "operationId", R"("op-2")"),
      with_member(base, {}, "sessionId", "2"),
      with_member(base, {"action"}, "x", "-4"),
      with_member(base, {"action", "window"}, "handle", "132457"),
      with_member(base, {"action", "window"}, "observedAt", R"("2026-03-04T05:06:07.250000001Z")"),
      with_member(base, {"action", "window"}, "title", R"("Editor")"),
      with_member(base, {"action", "window", "rect"}, "left", "-7"),
  };
  for (const std::string& doc : changed) {
    const auto r = decode_request(doc);
    ASSERT_TRUE(r) << doc;
    EXPECT_NE(encode_request(*r), base) << doc;
    EXPECT_EQ(encode_request(*r), doc);
  }
}

struct DocCase {
  const char* name;
  std::string doc;
  bool ok;
};

void expect_decodes(const std::vector<DocCase>& cases) {
  for (const auto& c : cases) {
    const auto r = decode_request(c.doc);
    EXPECT_EQ(r.has_value(), c.ok) << c.name << ": " << c.doc;
  }
}

TEST(RequestDocument, EdgeCases) {
  const auto all = canonical_requests();
  const std::string find_windows = all[1];
  const std::string wait = all[3];
  const std::string element_action = all[4];
  const std::string launch = all[5];
  const std::string key = all[11];
  expect_decodes({
      {"protocol 2 decodes (validation refuses it later)", with_member(find_windows, {}, "protocol", "2"), true},
      {"protocol negative", with_member(find_windows, {}, "protocol", "-1"), false},
      {"protocol as a float", with_member(find_windows, {}, "protocol", "1.0"), false},
      {"sessionId as a string", with_member(find_windows, {}, "sessionId", R"("1")"), false},
      {"operationId as a number", with_member(find_windows, {}, "operationId", "7"), false},
      {"undeclared request member", with_member(find_windows, {}, "extra", "null"), false},
      {"request member twice", with_appended(find_windows, {}, "sessionId", "1"), false},
      {"request as an array", R"([1,"op",1,{"kind":"inspect"}])", false},
      {"followed by a letter", find_windows + "x", false},
      {"followed by whitespace", find_windows + " \t\r\n", true},
      {"byte-order mark", "\xEF\xBB\xBF" + find_windows, false},
      {"empty selector", with_member(find_windows, {"action"}, "selector", "{}"), true},
      {"selector member twice after null",
       with_appended(with_member(find_windows, {"action", "selector"}, "title", "null"), {"action", "selector"},
                     "title", R"("x")"),
       false},
      {"undeclared selector member", with_member(find_windows, {"action", "selector"}, "className", "null"), false},
      {"selector processId above u32", with_member(find_windows, {"action", "selector"}, "processId", "4294967296"),
       false},
      {"element selector extra member", with_member(element_action, {"action", "selector"}, "role", "null"), false},
      {"element selector controlType as a string",
       with_member(element_action, {"action", "selector"}, "controlType", R"("50000")"), false},
      {"action kind last", request_with_action(R"({"timeoutMs":1,"selector":{},"kind":"find_windows"})"), true},
      {"action empty", request_with_action("{}"), false},
      {"action with two kinds",
       request_with_action(R"({"kind":"inspect","kind":"inspect"})"), false},
      {"action kind as a number", request_with_action(R"({"kind":5})"), false},
      {"action kind as its index where buffered", request_with_action(R"({"kind":0})"), false},
      {"action kind in another case", request_with_action(R"({"kind":"Inspect"})"), false},
      {"unknown action kind", request_with_action(R"({"kind":"scroll"})"), false},
      {"action as an array", request_with_action(R"(["inspect"])"), false},
      {"inspect with one more member", request_with_action(R"({"kind":"inspect","window":null})"), false},
      {"condition ready with text", with_member(wait, {"action", "check"}, "condition", R"({"kind":"ready","text":"x"})"),
       true},
      {"condition absent with extra", with_member(wait, {"action", "check"}, "condition", R"({"x":[1],"kind":"absent"})"),
       true},
      {"condition name_equals without text", with_member(wait, {"action", "check"}, "condition", R"({"kind":"name_equals"})"),
       false},
      {"condition value_equals with extra",
       with_member(wait, {"action", "check"}, "condition", R"({"kind":"value_equals","text":"a","x":1})"), false},
      {"condition text null", with_member(wait, {"action", "check"}, "condition", R"({"kind":"name_equals","text":null})"),
       false},
      {"condition kind as index", with_member(wait, {"action", "check"}, "condition", R"({"kind":0})"), false},
      {"condition as a string", with_member(wait, {"action", "check"}, "condition", R"("ready")"), false},
      {"check extra member", with_member(wait, {"action", "check"}, "timeoutMs", "1"), false},
      {"check without condition", without_member(wait, {"action", "check"}, "condition"), false},
      {"operation set_value with extra",
       with_member(element_action, {"action"}, "operation", R"({"kind":"set_value","text":"a","extra":1})"), false},
      {"operation invoke with extra", with_member(element_action, {"action"}, "operation", R"({"kind":"invoke","text":1})"),
       true},
      {"operation set_value without text", with_member(element_action, {"action"}, "operation", R"({"kind":"set_value"})"),
       false},
      {"operation kind as index", with_member(element_action, {"action"}, "operation", R"({"kind":1,"text":"a"})"), false},
      {"launch without arguments", without_member(launch, {"action"}, "arguments"), false},
      {"launch with empty arguments", with_member(launch, {"action"}, "arguments", "[]"), true},
      {"launch arguments null", with_member(launch, {"action"}, "arguments", "null"), false},
      {"launch argument not a string", with_member(launch, {"action"}, "arguments", R"(["a",1])"), false},
      {"launch arguments as one string", with_member(launch, {"action"}, "arguments", R"("a b")"), false},
      {"key Enter (case-sensitive)", with_member(key, {"action"}, "key", R"("Enter")"), false},
      {"key unknown", with_member(key, {"action"}, "key", R"("f1")"), false},
      {"key as an object", with_member(key, {"action"}, "key", R"({"enter":null})"), false},
      {"key as its index", with_member(key, {"action"}, "key", "0"), false},
      {"window handle as a string", with_member(key, {"action", "window"}, "handle", R"("132456")"), true},
      {"window handle negative", with_member(key, {"action", "window"}, "handle", "-5"), false},
      {"window with an extra member", with_member(key, {"action", "window"}, "zOrder", "1"), false},
      {"window missing foreground", without_member(key, {"action", "window"}, "foreground"), false},
      {"window null", with_member(key, {"action"}, "window", "null"), false},
      {"click x above i32", with_member(all[9], {"action"}, "x", "2147483648"), false},
      {"click y float", with_member(all[9], {"action"}, "y", "1e1"), false},
      {"timeoutMs negative", with_member(find_windows, {"action"}, "timeoutMs", "-1"), false},
      {"raw control character in typed text", request_with_action(R"({"kind":"type","window":)" + w() +
                                                                  ",\"text\":\"a\x01\"}"),
       false},
      {"unpaired surrogate in typed text",
       request_with_action(R"({"kind":"type","window":)" + w() + R"(,"text":"\ud800"})"), false},
  });
}

TEST(RequestDocument, EveryVariantFieldIsRequiredDeclaredAndUnique) {
  for (const std::string& doc : canonical_requests()) {
    for (const std::string& key : testing::keys_at(doc, {})) {
      EXPECT_FALSE(decode_request(without_member(doc, {}, key))) << key << " of " << doc;
    }
    for (const std::string& key : testing::keys_at(doc, {"action"})) {
      EXPECT_FALSE(decode_request(without_member(doc, {"action"}, key))) << key << " of " << doc;
      EXPECT_FALSE(decode_request(with_appended(doc, {"action"}, key, "null"))) << key << " twice in " << doc;
    }
    EXPECT_FALSE(decode_request(with_member(doc, {"action"}, "extra", "1"))) << doc;
    EXPECT_FALSE(decode_request(with_member(doc, {"action"}, "Kind", R"("inspect")"))) << doc;
  }
}

TEST(RequestDocument, EmptySelectorsEncodeEveryMemberAsNull) {
  const auto all = canonical_requests();
  const auto r = decode_request(with_member(all[1], {"action"}, "selector", "{}"));
  ASSERT_TRUE(r);
  EXPECT_EQ(encode_request(*r),
            R"({"protocol":1,"operationId":"op-7","sessionId":1,"action":{"kind":"find_windows","selector":{"processId":null,"title":null},"timeoutMs":1000}})");
  const auto e = decode_request(with_member(all[2], {"action"}, "selector", "{}"));
  ASSERT_TRUE(e);
  EXPECT_NE(encode_request(*e).find(
                R"("selector":{"automationId":null,"name":null,"className":null,"controlType":null},"timeoutMs":2000})"),
            std::string::npos);
}

TEST(RequestDocument, ConditionsOperationsAndKeyNames) {
  const auto all = canonical_requests();
  struct Case {
    const char* condition;
    Condition expected;
    const char* written;
  };
  const Case conditions[] = {
      {R"({"text":"x","kind":"ready"})", Ready{}, R"({"kind":"ready"})"},
      {R"({"kind":"absent"})", Absent{}, R"({"kind":"absent"})"},
      {R"({"text":"a\"b","kind":"name_equals"})", NameEquals{"a\"b"}, R"({"kind":"name_equals","text":"a\"b"})"},
      {R"({"kind":"value_equals","text":""})", ValueEquals{""}, R"({"kind":"value_equals","text":""})"},
  };
  for (const auto& c : conditions) {
    const auto r = decode_request(with_member(all[3], {"action", "check"}, "condition", c.condition));
    ASSERT_TRUE(r) << c.condition;
    EXPECT_EQ(std::get<WaitElement>(r->action).check.condition, c.expected);
    EXPECT_NE(encode_request(*r).find(std::string(R"("condition":)") + c.written), std::string::npos);
  }
  const auto invoke = decode_request(with_member(all[4], {"action"}, "operation", R"({"kind":"invoke","x":1})"));
  ASSERT_TRUE(invoke);
  EXPECT_EQ(std::get<ElementAction>(invoke->action).operation, Operation(Invoke{}));
  EXPECT_NE(encode_request(*invoke).find(R"("operation":{"kind":"invoke"},)"), std::string::npos);

  for (std::size_t i = 0; i < std::size(kKeyNames); ++i) {
    const std::string name = "\"" + std::string(kKeyNames[i]) + "\"";
    const auto r = decode_request(with_member(all[11], {"action"}, "key", name));
    ASSERT_TRUE(r) << name;
    EXPECT_EQ(std::get<Key>(r->action).key, static_cast<KeyName>(i));
    EXPECT_EQ(encode_request(*r), with_member(all[11], {"action"}, "key", name));
  }
}

TEST(ActionKinds, IndexNamesAndMutatingKinds) {
  struct Case {
    ActionKind kind;
    const char* name;
    bool mutating;
  };
  const Case cases[] = {
      {ActionKind::kInspect, "inspect", false},         {ActionKind::kFindWindows, "find_windows", false},
      {ActionKind::kFindElements, "find_elements", false}, {ActionKind::kWaitElement, "wait_element", false},
      {ActionKind::kElementAction, "element_action", true}, {ActionKind::kLaunch, "launch", true},
      {ActionKind::kCapture, "capture", false},         {ActionKind::kCaptureWindow, "capture_window", false},
      {ActionKind::kFocus, "focus", true},              {ActionKind::kClick, "click", true},
      {ActionKind::kType, "type", true},                {ActionKind::kKey, "key", true},
  };
  const auto all = canonical_requests();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(static_cast<std::size_t>(cases[i].kind), i);
    EXPECT_EQ(action_kind_name(cases[i].kind), cases[i].name);
    EXPECT_EQ(is_mutating(cases[i].kind), cases[i].mutating) << cases[i].name;
    const auto r = decode_request(all[i]);
    ASSERT_TRUE(r);
    EXPECT_EQ(action_kind(r->action), cases[i].kind);
    EXPECT_EQ(is_mutating(r->action), cases[i].mutating);
  }
}

TEST(RequestDocument, HandleNumberOrStringEncodesTheSame) {
  const std::string doc = canonical_requests()[8];
  const auto number = decode_request(with_member(doc, {"action", "window"}, "handle", "132456"));
  const auto text = decode_request(with_member(doc, {"action", "window"}, "handle", R"("132456")"));
  ASSERT_TRUE(number && text);
  EXPECT_EQ(encode_request(*number), encode_request(*text));
}

}  // namespace
}  // namespace vor::desktop
