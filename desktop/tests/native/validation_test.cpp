// Request validation: every code, the order of the checks and the limits.
#include "native/validation.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;

const Time kNow = Time(std::chrono::seconds(1'800'000'000));

Window observed_window() {
  Window w;
  w.handle = 0x10010;
  w.process_id = 100;
  w.process_created = 133'000'000'000'000'000ULL;
  w.rect = {10, 20, 650, 500};  // 640 x 480
  w.title = "Editor";
  w.observed_at = kNow - 1s;
  w.last_input_tick = 1000;
  w.foreground = true;
  return w;
}

ElementSelector by_name() { return ElementSelector{std::nullopt, "OK", std::nullopt, std::nullopt}; }

Request request_of(Action action) { return Request{1, "op-1_A", 1, std::move(action)}; }

std::string code_of(const Request& request, Time now = kNow) {
  auto s = validate_action_request(request, now);
  return s ? "" : s.error().outermost();
}

// One valid request of every kind, in kind order.
std::vector<Request> valid_requests() {
  const Window w = observed_window();
  const Check check{by_name(), NameEquals{"Done"}};
  return {
      request_of(Inspect{}),
      request_of(FindWindows{WindowSelector{std::nullopt, "Editor"}, 1000}),
      request_of(FindElements{w, by_name(), 1000}),
      request_of(WaitElement{w, check, 1000}),
      request_of(ElementAction{w, by_name(), SetValue{"abc"}, check, 1000}),
      request_of(Launch{"C:\\Apps\\tool.exe", {"--flag", ""}}),
      request_of(Capture{w}),
      request_of(CaptureWindow{w}),
      request_of(Focus{w}),
      request_of(Click{w, 5, 5}),
      request_of(Type{w, "hello"}),
      request_of(Key{w, KeyName::kEnter}),
  };
}

// The window of any kind that has one.
Window* window_of(Request& r) {
  return std::visit(
      [](auto& a) -> Window* {
        if constexpr (requires { a.window; }) return &a.window;
        return nullptr;
      },
      r.action);
}

TEST(ValidateActionRequest, EveryKindHasAValidForm) {
  for (const Request& r : valid_requests()) {
    EXPECT_EQ(code_of(r), "") << action_kind_name(action_kind(r.action));
  }
}

struct CommonCase {
  const char* name;
  std::function<void(Request&)> change;
  const char* code;
};

TEST(ValidateActionRequest, CommonChecksApplyToEveryKind) {
  const std::vector<CommonCase> cases = {
      {"protocol 0", [](Request& r) { r.protocol = 0; }, "DESKTOP_PROTOCOL_INCOMPATIBLE"},
      {"protocol 2", [](Request& r) { r.protocol = 2; }, "DESKTOP_PROTOCOL_INCOMPATIBLE"},
      {"session 0", [](Request& r) { r.session_id = 0; }, "DESKTOP_TARGET_INVALID"},
      {"empty id", [](Request& r) { r.operation_id = ""; }, "DESKTOP_TARGET_INVALID"},
      {"160-byte id", [](Request& r) { r.operation_id = std::string(160, 'a'); }, ""},
      {"161-byte id", [](Request& r) { r.operation_id = std::string(161, 'a'); }, "DESKTOP_TARGET_INVALID"},
      {"full stop", [](Request& r) { r.operation_id = "op.1"; }, "DESKTOP_TARGET_INVALID"},
      {"space", [](Request& r) { r.operation_id = "op 1"; }, "DESKTOP_TARGET_INVALID"},
      {"slash", [](Request& r) { r.operation_id = "op/1"; }, "DESKTOP_TARGET_INVALID"},
      {"non-ASCII letter", [](Request& r) { r.operation_id = "op\xC3\xA9"; }, "DESKTOP_TARGET_INVALID"},
      {"all allowed bytes", [](Request& r) { r.operation_id = "AZaz09-_"; }, ""},
      // Order: the protocol before the session, the session before the id.
      {"protocol then session", [](Request& r) { r.protocol = 3; r.session_id = 0; }, "DESKTOP_PROTOCOL_INCOMPATIBLE"},
      {"common before kind", [](Request& r) { r.operation_id = "x.y"; if (auto* w = window_of(r)) w->handle = 0; },
       "DESKTOP_TARGET_INVALID"},
  };
  for (Request base : valid_requests()) {
    for (const CommonCase& c : cases) {
      Request r = base;
      c.change(r);
      EXPECT_EQ(code_of(r), c.code) << c.name << " / " << action_kind_name(action_kind(r.action));
    }
  }
}

struct WindowCase {
  const char* name;
  std::function<void(Window&)> change;
  const char* code;
};

// A request file whose window was observed at either end of the years 0000
// to 9999 decodes, keeps its instant exactly, and is refused as stale, not as
// an invalid request.
TEST(ValidateActionRequest, WindowObservedAtTheEndsOfTheTimeRangeDecodesAndIsStale) {
  struct Case {
    const char* observed_at;
    const char* code;
  };
  const Case cases[] = {
      {"0000-01-01T00:00:00Z", "DESKTOP_OBSERVATION_STALE"},
      {"1601-01-01T00:00:00Z", "DESKTOP_OBSERVATION_STALE"},
      {"1677-09-21T00:12:43.145224191Z", "DESKTOP_OBSERVATION_STALE"},
      {"2262-04-11T23:47:16.854775808Z", "DESKTOP_OBSERVATION_STALE"},
      {"9999-12-31T23:59:59.999999999Z", "DESKTOP_OBSERVATION_STALE"},
      {"2027-01-15T07:59:59Z", ""},  // one second before kNow
  };
  for (const Case& c : cases) {
    const std::string text =
        R"({"protocol":1,"operationId":"op-1","sessionId":1,"action":{"kind":"focus","window":{"minimized":false,)"
        R"("handle":132456,"processId":4242,"processCreated":133000000000000000,)"
        R"("rect":{"left":0,"top":0,"right":640,"bottom":480},"title":"Editor","observedAt":")" +
        std::string(c.observed_at) + R"(","lastInputTick":7,"foreground":true}}})";
    const auto request = decode_request(text);
    ASSERT_TRUE(request) << c.observed_at << ": " << request.error().display_chain();
    EXPECT_EQ(encode_request(*request), text) << c.observed_at;
    EXPECT_EQ(code_of(*request), c.code) << c.observed_at;
  }
}

TEST(ValidateActionRequest, WindowChecksInOrderForEveryWindowKind) {
  const std::vector<WindowCase> cases = {
      {"observed 15,000 ms ago", [](Window& w) { w.observed_at = kNow - 15000ms; }, ""},
      {"observed 15,000.9 ms ago (truncated)", [](Window& w) { w.observed_at = kNow - 15000999us; }, ""},
      {"observed 15,001 ms ago", [](Window& w) { w.observed_at = kNow - 15001ms; }, "DESKTOP_OBSERVATION_STALE"},
      {"observed now", [](Window& w) { w.observed_at = kNow; }, ""},
      {"observed 0.5 ms ahead (age truncates to 0)", [](Window& w) { w.observed_at = kNow + 500us; }, ""},
      {"observed 1 ms ahead", [](Window& w) { w.observed_at = kNow + 1ms; }, "DESKTOP_OBSERVATION_STALE"},
      {"observed 1 s ahead", [](Window& w) { w.observed_at = kNow + 1s; }, "DESKTOP_OBSERVATION_STALE"},
      // The ends of the range of times (years 0000 and 9999).
      {"observed at the earliest instant", [](Window& w) { w.observed_at = Time::min(); }, "DESKTOP_OBSERVATION_STALE"},
      {"observed at the latest instant", [](Window& w) { w.observed_at = Time::max(); }, "DESKTOP_OBSERVATION_STALE"},
      {"handle 0", [](Window& w) { w.handle = 0; }, "DESKTOP_WINDOW_INVALID"},
      {"process 0", [](Window& w) { w.process_id = 0; }, "DESKTOP_WINDOW_INVALID"},
      {"created 0", [](Window& w) { w.process_created = 0; }, "DESKTOP_WINDOW_INVALID"},
      {"8192 wide", [](Window& w) { w.rect = {0, 0, 8192, 100}; }, ""},
      {"8193 wide", [](Window& w) { w.rect = {0, 0, 8193, 100}; }, "DESKTOP_WINDOW_BOUNDS_INVALID"},
      {"0 wide", [](Window& w) { w.rect = {5, 0, 5, 100}; }, "DESKTOP_WINDOW_BOUNDS_INVALID"},
      {"negative width", [](Window& w) { w.rect = {10, 0, 5, 100}; }, "DESKTOP_WINDOW_BOUNDS_INVALID"},
      {"0 high", [](Window& w) { w.rect = {0, 7, 100, 7}; }, "DESKTOP_WINDOW_BOUNDS_INVALID"},
      {"8193 high", [](Window& w) { w.rect = {0, -8193, 100, 0}; }, "DESKTOP_WINDOW_BOUNDS_INVALID"},
      // right - left overflows 32 bits: the width is computed in 64 bits and refused.
      {"width past int32", [](Window& w) { w.rect = {INT32_MIN, 0, INT32_MAX, 100}; }, "DESKTOP_WINDOW_BOUNDS_INVALID"},
      {"width wrapping to 100 in 32 bits", [](Window& w) { w.rect = {INT32_MAX - 49, 0, INT32_MIN + 50, 100}; },
       "DESKTOP_WINDOW_BOUNDS_INVALID"},
      // Order: age, then identity members, then size.
      {"stale and handle 0", [](Window& w) { w.observed_at = kNow - 20s; w.handle = 0; }, "DESKTOP_OBSERVATION_STALE"},
      {"handle 0 and 0 wide", [](Window& w) { w.handle = 0; w.rect = {0, 0, 0, 10}; }, "DESKTOP_WINDOW_INVALID"},
  };
  for (Request base : valid_requests()) {
    if (!window_of(base)) continue;
    for (const WindowCase& c : cases) {
      Request r = base;
      c.change(*window_of(r));
      EXPECT_EQ(code_of(r), c.code) << c.name << " / " << action_kind_name(action_kind(r.action));
    }
  }
}

TEST(ValidateActionRequest, KindsWithoutWindowIgnoreTheClock) {
  // find_windows and launch carry no observation, so any "now" passes.
  for (Request r : valid_requests()) {
    if (window_of(r)) continue;
    EXPECT_EQ(code_of(r, kNow + std::chrono::hours(24 * 365)), "") << action_kind_name(action_kind(r.action));
  }
}

Request find_windows(std::optional<std::uint32_t> process_id, std::optional<std::string> title,
                     std::uint32_t timeout_ms = 1000) {
  return request_of(FindWindows{WindowSelector{process_id, std::move(title)}, timeout_ms});
}

TEST(ValidateActionRequest, FindWindowsSelectorAndTimeout) {
  struct Case {
    const char* name;
    Request request;
    const char* code;
  };
  const std::vector<Case> cases = {
      {"only processId", find_windows(77, std::nullopt), ""},
      {"processId 0", find_windows(0, std::nullopt), "DESKTOP_SELECTOR_INVALID"},
      {"processId 0 with title", find_windows(0, "Editor"), "DESKTOP_SELECTOR_INVALID"},
      {"neither member", find_windows(std::nullopt, std::nullopt), "DESKTOP_SELECTOR_INVALID"},
      {"empty title", find_windows(std::nullopt, ""), "DESKTOP_SELECTOR_INVALID"},
      {"title with tab", find_windows(std::nullopt, "a\tb"), "DESKTOP_SELECTOR_INVALID"},
      {"title with U+0085", find_windows(std::nullopt, "a\xC2\x85"), "DESKTOP_SELECTOR_INVALID"},
      {"title with U+00A0", find_windows(std::nullopt, "a\xC2\xA0"), ""},
      {"title 256 units", find_windows(std::nullopt, std::string(256, 'x')), ""},
      {"title 257 units", find_windows(std::nullopt, std::string(257, 'x')), "DESKTOP_SELECTOR_INVALID"},
      // 128 characters outside the BMP are 256 UTF-16 units (512 bytes).
      {"128 astral characters", find_windows(std::nullopt, [] { std::string s; for (int i = 0; i < 128; ++i) s += "\xF0\x9F\x98\x80"; return s; }()), ""},
      {"129 astral characters", find_windows(std::nullopt, [] { std::string s; for (int i = 0; i < 129; ++i) s += "\xF0\x9F\x98\x80"; return s; }()), "DESKTOP_SELECTOR_INVALID"},
      {"timeout 99", find_windows(7, std::nullopt, 99), "DESKTOP_WAIT_INVALID"},
      {"timeout 100", find_windows(7, std::nullopt, 100), ""},
      {"timeout 4000", find_windows(7, std::nullopt, 4000), ""},
      {"timeout 4001", find_windows(7, std::nullopt, 4001), "DESKTOP_WAIT_INVALID"},
      {"selector before timeout", find_windows(0, std::nullopt, 1), "DESKTOP_SELECTOR_INVALID"},
  };
  for (const Case& c : cases) EXPECT_EQ(code_of(c.request), c.code) << c.name;
}

TEST(ValidateElementSelector, MembersAndControlTypes) {
  struct Case {
    const char* name;
    ElementSelector selector;
    bool valid;
  };
  const std::vector<Case> cases = {
      {"only controlType 50000", {std::nullopt, std::nullopt, std::nullopt, 50000}, true},
      {"controlType 50040", {std::nullopt, std::nullopt, std::nullopt, 50040}, true},
      {"controlType 50041", {std::nullopt, std::nullopt, std::nullopt, 50041}, false},
      {"controlType 49999", {std::nullopt, std::nullopt, std::nullopt, 49999}, false},
      {"no member", {}, false},
      {"only automationId", {"id", std::nullopt, std::nullopt, std::nullopt}, true},
      {"only className", {std::nullopt, std::nullopt, "Button", std::nullopt}, true},
      {"empty automationId", {"", "OK", std::nullopt, std::nullopt}, false},
      {"name with newline", {std::nullopt, "O\nK", std::nullopt, std::nullopt}, false},
      {"className with DEL", {std::nullopt, std::nullopt, "B\x7F", std::nullopt}, false},
      {"good texts, bad type", {"id", "OK", "Button", 1}, false},
  };
  for (const Case& c : cases) {
    auto s = validate_element_selector(c.selector);
    EXPECT_EQ(s.has_value(), c.valid) << c.name;
    if (!s) {
      EXPECT_EQ(s.error().outermost(), "DESKTOP_SELECTOR_INVALID") << c.name;
    }
  }
}

TEST(ValidateActionRequest, ElementKindsInOrder) {
  const Window w = observed_window();
  const ElementSelector none{};
  const Check good{by_name(), Ready{}};
  const Check bad_text{by_name(), ValueEquals{"a\tb"}};
  const Check long_text{by_name(), NameEquals{std::string(257, 'n')}};
  const Check empty_text{by_name(), NameEquals{""}};
  const Check ready_selectorless{none, Ready{}};
  Window stale = w;
  stale.observed_at = kNow - 1min;
  struct Case {
    const char* name;
    Request request;
    const char* code;
  };
  const std::vector<Case> cases = {
      {"find_elements without selector member", request_of(FindElements{w, none, 1000}), "DESKTOP_SELECTOR_INVALID"},
      {"find_elements timeout 4001", request_of(FindElements{w, by_name(), 4001}), "DESKTOP_WAIT_INVALID"},
      {"find_elements selector before timeout", request_of(FindElements{w, none, 1}), "DESKTOP_SELECTOR_INVALID"},
      {"find_elements timeout before window", request_of(FindElements{stale, by_name(), 1}), "DESKTOP_WAIT_INVALID"},
      {"find_elements stale", request_of(FindElements{stale, by_name(), 1000}), "DESKTOP_OBSERVATION_STALE"},
      {"wait_element ready", request_of(WaitElement{w, good, 100}), ""},
      {"wait_element empty name allowed", request_of(WaitElement{w, empty_text, 100}), ""},
      {"wait_element value with tab", request_of(WaitElement{w, bad_text, 100}), "DESKTOP_TEXT_INVALID"},
      {"wait_element name 257", request_of(WaitElement{w, long_text, 100}), "DESKTOP_TEXT_INVALID"},
      {"wait_element selector before text", request_of(WaitElement{w, Check{none, NameEquals{"\t"}}, 100}),
       "DESKTOP_SELECTOR_INVALID"},
      {"wait_element check before timeout", request_of(WaitElement{w, bad_text, 99}), "DESKTOP_TEXT_INVALID"},
      {"wait_element timeout 99", request_of(WaitElement{w, good, 99}), "DESKTOP_WAIT_INVALID"},
      {"element_action invoke", request_of(ElementAction{w, by_name(), Invoke{}, good, 1000}), ""},
      {"element_action empty set_value", request_of(ElementAction{w, by_name(), SetValue{""}, good, 1000}), ""},
      {"element_action set_value 257", request_of(ElementAction{w, by_name(), SetValue{std::string(257, 'v')}, good, 1000}),
       "DESKTOP_TEXT_INVALID"},
      {"element_action selector first", request_of(ElementAction{w, none, SetValue{"\n"}, ready_selectorless, 1}),
       "DESKTOP_SELECTOR_INVALID"},
      {"element_action operation before verify", request_of(ElementAction{w, by_name(), SetValue{"\n"}, ready_selectorless, 1}),
       "DESKTOP_TEXT_INVALID"},
      {"element_action verify selector", request_of(ElementAction{w, by_name(), Invoke{}, ready_selectorless, 1}),
       "DESKTOP_SELECTOR_INVALID"},
      {"element_action verify before timeout", request_of(ElementAction{w, by_name(), Invoke{}, bad_text, 1}),
       "DESKTOP_TEXT_INVALID"},
      {"element_action timeout before window", request_of(ElementAction{stale, by_name(), Invoke{}, good, 1}),
       "DESKTOP_WAIT_INVALID"},
      {"element_action stale", request_of(ElementAction{stale, by_name(), Invoke{}, good, 1000}),
       "DESKTOP_OBSERVATION_STALE"},
  };
  for (const Case& c : cases) EXPECT_EQ(code_of(c.request), c.code) << c.name;
}

TEST(ValidateActionRequest, ClickPointInsideTheWindow) {
  const Window w = observed_window();  // 640 x 480
  struct Case {
    std::int32_t x, y;
    const char* code;
  };
  const std::vector<Case> cases = {
      {0, 0, ""},
      {639, 479, ""},
      {640, 0, "DESKTOP_COORDINATE_OUTSIDE_WINDOW"},
      {0, 480, "DESKTOP_COORDINATE_OUTSIDE_WINDOW"},
      {-1, 0, "DESKTOP_COORDINATE_OUTSIDE_WINDOW"},
      {0, -1, "DESKTOP_COORDINATE_OUTSIDE_WINDOW"},
      {INT32_MIN, INT32_MAX, "DESKTOP_COORDINATE_OUTSIDE_WINDOW"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(code_of(request_of(Click{w, c.x, c.y})), c.code) << c.x << "," << c.y;
  }
  // The window checks come first.
  Window wide = w;
  wide.rect = {0, 0, 9000, 10};
  EXPECT_EQ(code_of(request_of(Click{wide, 8999, 0})), "DESKTOP_WINDOW_BOUNDS_INVALID");
}

TEST(ValidateActionRequest, TypedText) {
  const Window w = observed_window();
  struct Case {
    const char* name;
    std::string text;
    const char* code;
  };
  const std::vector<Case> cases = {
      {"256 units", std::string(256, 't'), ""},
      {"257 units", std::string(257, 't'), "DESKTOP_TEXT_INVALID"},
      {"empty", "", "DESKTOP_TEXT_INVALID"},
      {"newline", "a\nb", "DESKTOP_TEXT_INVALID"},
      {"tab", "a\tb", "DESKTOP_TEXT_INVALID"},
      {"U+009F", "a\xC2\x9F", "DESKTOP_TEXT_INVALID"},
      {"non-ASCII", "gr\xC3\xBC\xC3\x9F", ""},
      {"255 units then one astral character", std::string(255, 't') + "\xF0\x9F\x98\x80", "DESKTOP_TEXT_INVALID"},
  };
  for (const Case& c : cases) EXPECT_EQ(code_of(request_of(Type{w, c.text})), c.code) << c.name;
  Window stale = w;
  stale.observed_at = kNow - 16s;
  EXPECT_EQ(code_of(request_of(Type{stale, ""})), "DESKTOP_OBSERVATION_STALE");
}

TEST(ValidateActionRequest, LaunchProgramAndArguments) {
  struct Case {
    const char* name;
    std::string program;
    std::vector<std::string> arguments;
    const char* code;
  };
  const std::string max_path = "C:\\" + std::string(1024 - 7, 'p') + ".exe";
  const std::vector<Case> cases = {
      {"plain", "C:\\Apps\\tool.exe", {}, ""},
      {"upper-case .EXE", "D:\\Apps\\TOOL.EXE", {}, ""},
      {"shortest", "C:\\a.exe", {}, ""},
      {"6 bytes", "C:\\.ex", {}, "DESKTOP_PROGRAM_INVALID"},
      {"1024 bytes", max_path, {}, ""},
      {"1025 bytes", "C:\\x" + max_path.substr(3), {}, "DESKTOP_PROGRAM_INVALID"},
      {"relative", "Apps\\tool.exe", {}, "DESKTOP_PROGRAM_INVALID"},
      {"drive-relative", "C:tool.exe", {}, "DESKTOP_PROGRAM_INVALID"},
      {"digit drive", "1:\\tool.exe", {}, "DESKTOP_PROGRAM_INVALID"},
      {"UNC", "\\\\server\\share\\tool.exe", {}, "DESKTOP_PROGRAM_INVALID"},
      {"forward slashes", "C:/Apps/tool.exe", {}, "DESKTOP_PROGRAM_INVALID"},
      {"one forward slash late", "C:\\Apps/tool.exe", {}, "DESKTOP_PROGRAM_INVALID"},
      {"slash hiding a parent segment", "C:\\Apps\\../Windows\\tool.exe", {}, "DESKTOP_PROGRAM_INVALID"},
      {"not .exe", "C:\\Apps\\tool.bat", {}, "DESKTOP_PROGRAM_INVALID"},
      {".exe inside", "C:\\Apps\\tool.exe.txt", {}, "DESKTOP_PROGRAM_INVALID"},
      {"parent segment", "C:\\Apps\\..\\Windows\\tool.exe", {}, "DESKTOP_PROGRAM_INVALID"},
      {"three dots is a name", "C:\\Apps\\...\\tool.exe", {}, ""},
      {"dots inside a name", "C:\\Apps\\a..b\\tool.exe", {}, ""},
      {"double quote", "C:\\Apps\\to\"ol.exe", {}, "DESKTOP_PROGRAM_INVALID"},
      {"control character", "C:\\Apps\\to\x01ol.exe", {}, "DESKTOP_PROGRAM_INVALID"},
      {"C1 control character", "C:\\Apps\\to\xC2\x80ol.exe", {}, "DESKTOP_PROGRAM_INVALID"},
      {"16 arguments", "C:\\a.exe", std::vector<std::string>(16, "x"), ""},
      {"17 arguments", "C:\\a.exe", std::vector<std::string>(17, "x"), "DESKTOP_PROGRAM_INVALID"},
      {"argument of 256 bytes", "C:\\a.exe", {std::string(256, 'a')}, ""},
      {"argument of 257 bytes", "C:\\a.exe", {std::string(257, 'a')}, "DESKTOP_PROGRAM_INVALID"},
      {"empty argument and quotes", "C:\\a.exe", {"", "\"quoted\" arg"}, ""},
      {"argument with newline", "C:\\a.exe", {"a\nb"}, "DESKTOP_PROGRAM_INVALID"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(code_of(request_of(Launch{c.program, c.arguments})), c.code) << c.name;
  }
}

}  // namespace
}  // namespace vor::desktop
