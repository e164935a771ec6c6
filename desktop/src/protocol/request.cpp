#include "protocol/request.h"

#include <type_traits>

#include "common/json_fields.h"

namespace vor::desktop {
namespace {

using fields::Alternative;
using json::Value;

constexpr std::string_view kConditionNames[] = {"ready", "absent", "name_equals", "value_equals"};
constexpr std::string_view kOperationNames[] = {"invoke", "set_value"};

constexpr fields::Via<Window> kWindow{window_from_value, window_to_value, encode_window};

constexpr auto kWindowSelector = fields::record<WindowSelector>([](auto& f, auto& s) {
  f.nullable("processId", s.process_id);
  f.nullable("title", s.title);
});

constexpr auto kElementSelector = fields::record<ElementSelector>([](auto& f, auto& s) {
  f.nullable("automationId", s.automation_id);
  f.nullable("name", s.name);
  f.nullable("className", s.class_name);
  f.nullable("controlType", s.control_type);
});

// Unit variants ignore members besides their kind; the others hold one "text".
constexpr auto kCondition = fields::tagged<Condition>(kConditionNames, [](auto& f, auto& c) {
  using C = Alternative<decltype(c)>;
  if constexpr (std::is_same_v<C, Ready> || std::is_same_v<C, Absent>) {
    f.ignore_members();
  } else {
    f.required("text", c.text);
  }
});

constexpr auto kOperation = fields::tagged<Operation>(kOperationNames, [](auto& f, auto& op) {
  using O = Alternative<decltype(op)>;
  if constexpr (std::is_same_v<O, Invoke>) {
    f.ignore_members();
  } else {
    f.required("text", op.text);
  }
});

constexpr auto kCheck = fields::record<Check>([](auto& f, auto& c) {
  f.required("selector", c.selector, kElementSelector);
  f.required("condition", c.condition, kCondition);
});

constexpr fields::Names<KeyName> kKeyName{kKeyNames};

// The fields of each action after its kind, in declaration order; an action
// refuses every member it does not declare.
constexpr auto kAction = fields::tagged<Action>(kActionKindNames, [](auto& f, auto& a) {
  using A = Alternative<decltype(a)>;
  if constexpr (std::is_same_v<A, FindWindows>) {
    f.required("selector", a.selector, kWindowSelector);
    f.required("timeoutMs", a.timeout_ms);
  } else if constexpr (std::is_same_v<A, FindElements>) {
    f.required("window", a.window, kWindow);
    f.required("selector", a.selector, kElementSelector);
    f.required("timeoutMs", a.timeout_ms);
  } else if constexpr (std::is_same_v<A, WaitElement>) {
    f.required("window", a.window, kWindow);
    f.required("check", a.check, kCheck);
    f.required("timeoutMs", a.timeout_ms);
  } else if constexpr (std::is_same_v<A, ElementAction>) {
    f.required("window", a.window, kWindow);
    f.required("selector", a.selector, kElementSelector);
    f.required("operation", a.operation, kOperation);
    f.required("verify", a.verify, kCheck);
    f.required("timeoutMs", a.timeout_ms);
  } else if constexpr (std::is_same_v<A, Launch>) {
    f.required("program", a.program);
    f.required("arguments", a.arguments, fields::ArrayOf<fields::Plain<std::string>>{});
  } else if constexpr (std::is_same_v<A, Capture> || std::is_same_v<A, CaptureWindow> || std::is_same_v<A, Focus>) {
    f.required("window", a.window, kWindow);
  } else if constexpr (std::is_same_v<A, Click>) {
    f.required("window", a.window, kWindow);
    f.required("x", a.x);
    f.required("y", a.y);
  } else if constexpr (std::is_same_v<A, Type>) {
    f.required("window", a.window, kWindow);
    f.required("text", a.text);
  } else if constexpr (std::is_same_v<A, Key>) {
    f.required("window", a.window, kWindow);
    f.required("key", a.key, kKeyName);
  } else {
    static_assert(std::is_same_v<A, Inspect>, "every action lists its fields");
  }
});

constexpr auto kRequest = fields::record<Request>([](auto& f, auto& r) {
  f.required("protocol", r.protocol);
  f.required("operationId", r.operation_id);
  f.required("sessionId", r.session_id);
  f.required("action", r.action, kAction);
});

}  // namespace

bool is_mutating(ActionKind kind) {
  switch (kind) {
    case ActionKind::kElementAction:
    case ActionKind::kLaunch:
    case ActionKind::kFocus:
    case ActionKind::kClick:
    case ActionKind::kType:
    case ActionKind::kKey:
      return true;
    default:
      return false;
  }
}

Result<Action> action_from_value(const Value& v) { return kAction.from(v); }

Result<Request> request_from_value(const Value& v) { return kRequest.from(v); }

Result<Request> decode_request(std::string_view bytes) { return json::decode_document(bytes, request_from_value); }

void encode_action(std::string& out, const Action& action) { kAction.write(out, action); }

void encode_request(std::string& out, const Request& request) { kRequest.write(out, request); }

std::string encode_request(const Request& request) {
  std::string out;
  out.reserve(128);
  encode_request(out, request);
  return out;
}

}  // namespace vor::desktop
