#include "protocol/request.h"

namespace vor::desktop {
namespace {

using json::Mode;
using json::Record;
using json::Value;

constexpr std::string_view kRequestKeys[] = {"protocol", "operationId", "sessionId", "action"};
constexpr std::string_view kWindowSelectorKeys[] = {"processId", "title"};
constexpr std::string_view kElementSelectorKeys[] = {"automationId", "name", "className", "controlType"};
constexpr std::string_view kCheckKeys[] = {"selector", "condition"};
constexpr std::string_view kTextKeys[] = {"text"};
constexpr std::string_view kConditionNames[] = {"ready", "absent", "name_equals", "value_equals"};
constexpr std::string_view kOperationNames[] = {"invoke", "set_value"};

constexpr std::string_view kFindWindowsKeys[] = {"selector", "timeoutMs"};
constexpr std::string_view kFindElementsKeys[] = {"window", "selector", "timeoutMs"};
constexpr std::string_view kWaitElementKeys[] = {"window", "check", "timeoutMs"};
constexpr std::string_view kElementActionKeys[] = {"window", "selector", "operation", "verify", "timeoutMs"};
constexpr std::string_view kLaunchKeys[] = {"program", "arguments"};
constexpr std::string_view kWindowKeys[] = {"window"};
constexpr std::string_view kClickKeys[] = {"window", "x", "y"};
constexpr std::string_view kTypeKeys[] = {"window", "text"};
constexpr std::string_view kKeyKeys[] = {"window", "key"};

constexpr bool kTagged = true;

Result<WindowSelector> window_selector_from_value(const Value& v) {
  WindowSelector s;
  Record r(v, kWindowSelectorKeys);
  r.optional("processId", s.process_id).optional("title", s.title);
  return r.finish(std::move(s));
}

Result<ElementSelector> element_selector_from_value(const Value& v) {
  ElementSelector s;
  Record r(v, kElementSelectorKeys);
  r.optional("automationId", s.automation_id)
      .optional("name", s.name)
      .optional("className", s.class_name)
      .optional("controlType", s.control_type);
  return r.finish(std::move(s));
}

// A record variant with one "text" field; extra members fail.
Result<std::string> text_variant(const Value& v) {
  std::string text;
  Record r(v, kTextKeys, Mode::kStrict, kTagged);
  r.required("text", text);
  return r.finish(std::move(text));
}

Result<Condition> condition_from_value(const Value& v) {
  auto tag = json::read_tag(v, kConditionNames);
  if (!tag) return fail(std::move(tag.error()));
  switch (*tag) {
    case 0:
      return Ready{};  // unit variants ignore other members
    case 1:
      return Absent{};
    default: {
      auto text = text_variant(v);
      if (!text) return fail(std::move(text.error()));
      if (*tag == 2) return NameEquals{std::move(*text)};
      return ValueEquals{std::move(*text)};
    }
  }
}

Result<Operation> operation_from_value(const Value& v) {
  auto tag = json::read_tag(v, kOperationNames);
  if (!tag) return fail(std::move(tag.error()));
  if (*tag == 0) return Invoke{};
  auto text = text_variant(v);
  if (!text) return fail(std::move(text.error()));
  return SetValue{std::move(*text)};
}

Result<Check> check_from_value(const Value& v) {
  Check c;
  Record r(v, kCheckKeys);
  r.required("selector", c.selector, element_selector_from_value).required("condition", c.condition, condition_from_value);
  return r.finish(std::move(c));
}

Result<KeyName> key_name_from_value(const Value& v) {
  auto index = json::read_name(v, kKeyNames);
  if (!index) return fail(std::move(index.error()));
  return static_cast<KeyName>(*index);
}

Result<std::vector<std::string>> arguments_from_value(const Value& v) { return json::to_array(v, json::to_text); }

// Variants with a `window` and nothing else.
template <class T>
Result<Action> window_only(const Value& v) {
  T a;
  Record r(v, kWindowKeys, Mode::kStrict, kTagged);
  r.required("window", a.window, window_from_value);
  return r.finish(Action(std::move(a)));
}

// --- encoding ---

void encode_window_selector(std::string& out, const WindowSelector& s) {
  json::ObjectWriter o(out);
  if (s.process_id) {
    json::write_uint(o.key("processId"), *s.process_id);
  } else {
    json::write_null(o.key("processId"));
  }
  if (s.title) {
    json::write_string(o.key("title"), *s.title);
  } else {
    json::write_null(o.key("title"));
  }
  o.close();
}

void write_optional_text(std::string& out, const std::optional<std::string>& text) {
  if (text) {
    json::write_string(out, *text);
  } else {
    json::write_null(out);
  }
}

void encode_element_selector(std::string& out, const ElementSelector& s) {
  json::ObjectWriter o(out);
  write_optional_text(o.key("automationId"), s.automation_id);
  write_optional_text(o.key("name"), s.name);
  write_optional_text(o.key("className"), s.class_name);
  if (s.control_type) {
    json::write_int(o.key("controlType"), *s.control_type);
  } else {
    json::write_null(o.key("controlType"));
  }
  o.close();
}

void encode_kind(json::ObjectWriter& o, std::string_view kind) { json::write_string(o.key("kind"), kind); }

void encode_condition(std::string& out, const Condition& c) {
  json::ObjectWriter o(out);
  encode_kind(o, kConditionNames[c.index()]);
  if (const auto* n = std::get_if<NameEquals>(&c)) json::write_string(o.key("text"), n->text);
  if (const auto* v = std::get_if<ValueEquals>(&c)) json::write_string(o.key("text"), v->text);
  o.close();
}

void encode_operation(std::string& out, const Operation& op) {
  json::ObjectWriter o(out);
  encode_kind(o, kOperationNames[op.index()]);
  if (const auto* s = std::get_if<SetValue>(&op)) json::write_string(o.key("text"), s->text);
  o.close();
}

void encode_check(std::string& out, const Check& c) {
  json::ObjectWriter o(out);
  encode_element_selector(o.key("selector"), c.selector);
  encode_condition(o.key("condition"), c.condition);
  o.close();
}

// The fields of each variant after its kind, in declaration order.
struct FieldWriter {
  json::ObjectWriter& o;

  void operator()(const Inspect&) const {}
  void operator()(const FindWindows& a) const {
    encode_window_selector(o.key("selector"), a.selector);
    json::write_uint(o.key("timeoutMs"), a.timeout_ms);
  }
  void operator()(const FindElements& a) const {
    encode_window(o.key("window"), a.window);
    encode_element_selector(o.key("selector"), a.selector);
    json::write_uint(o.key("timeoutMs"), a.timeout_ms);
  }
  void operator()(const WaitElement& a) const {
    encode_window(o.key("window"), a.window);
    encode_check(o.key("check"), a.check);
    json::write_uint(o.key("timeoutMs"), a.timeout_ms);
  }
  void operator()(const ElementAction& a) const {
    encode_window(o.key("window"), a.window);
    encode_element_selector(o.key("selector"), a.selector);
    encode_operation(o.key("operation"), a.operation);
    encode_check(o.key("verify"), a.verify);
    json::write_uint(o.key("timeoutMs"), a.timeout_ms);
  }
  void operator()(const Launch& a) const {
    json::write_string(o.key("program"), a.program);
    std::string& out = o.key("arguments");
    out += '[';
    for (std::size_t i = 0; i < a.arguments.size(); ++i) {
      if (i != 0) out += ',';
      json::write_string(out, a.arguments[i]);
    }
    out += ']';
  }
  void operator()(const Capture& a) const { encode_window(o.key("window"), a.window); }
  void operator()(const CaptureWindow& a) const { encode_window(o.key("window"), a.window); }
  void operator()(const Focus& a) const { encode_window(o.key("window"), a.window); }
  void operator()(const Click& a) const {
    encode_window(o.key("window"), a.window);
    json::write_int(o.key("x"), a.x);
    json::write_int(o.key("y"), a.y);
  }
  void operator()(const Type& a) const {
    encode_window(o.key("window"), a.window);
    json::write_string(o.key("text"), a.text);
  }
  void operator()(const Key& a) const {
    encode_window(o.key("window"), a.window);
    json::write_string(o.key("key"), kKeyNames[static_cast<std::size_t>(a.key)]);
  }
};

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

Result<Action> action_from_value(const Value& v) {
  auto tag = json::read_tag(v, kActionKindNames);
  if (!tag) return fail(std::move(tag.error()));
  switch (static_cast<ActionKind>(*tag)) {
    case ActionKind::kInspect: {
      Record r(v, {}, Mode::kStrict, kTagged);  // no member besides kind
      return r.finish(Action(Inspect{}));
    }
    case ActionKind::kFindWindows: {
      FindWindows a;
      Record r(v, kFindWindowsKeys, Mode::kStrict, kTagged);
      r.required("selector", a.selector, window_selector_from_value).required("timeoutMs", a.timeout_ms);
      return r.finish(Action(std::move(a)));
    }
    case ActionKind::kFindElements: {
      FindElements a;
      Record r(v, kFindElementsKeys, Mode::kStrict, kTagged);
      r.required("window", a.window, window_from_value)
          .required("selector", a.selector, element_selector_from_value)
          .required("timeoutMs", a.timeout_ms);
      return r.finish(Action(std::move(a)));
    }
    case ActionKind::kWaitElement: {
      WaitElement a;
      Record r(v, kWaitElementKeys, Mode::kStrict, kTagged);
      r.required("window", a.window, window_from_value)
          .required("check", a.check, check_from_value)
          .required("timeoutMs", a.timeout_ms);
      return r.finish(Action(std::move(a)));
    }
    case ActionKind::kElementAction: {
      ElementAction a;
      Record r(v, kElementActionKeys, Mode::kStrict, kTagged);
      r.required("window", a.window, window_from_value)
          .required("selector", a.selector, element_selector_from_value)
          .required("operation", a.operation, operation_from_value)
          .required("verify", a.verify, check_from_value)
          .required("timeoutMs", a.timeout_ms);
      return r.finish(Action(std::move(a)));
    }
    case ActionKind::kLaunch: {
      Launch a;
      Record r(v, kLaunchKeys, Mode::kStrict, kTagged);
      r.required("program", a.program).required("arguments", a.arguments, arguments_from_value);
      return r.finish(Action(std::move(a)));
    }
    case ActionKind::kCapture:
      return window_only<Capture>(v);
    case ActionKind::kCaptureWindow:
      return window_only<CaptureWindow>(v);
    case ActionKind::kFocus:
      return window_only<Focus>(v);
    case ActionKind::kClick: {
      Click a;
      Record r(v, kClickKeys, Mode::kStrict, kTagged);
      r.required("window", a.window, window_from_value).required("x", a.x).required("y", a.y);
      return r.finish(Action(std::move(a)));
    }
    case ActionKind::kType: {
      Type a;
      Record r(v, kTypeKeys, Mode::kStrict, kTagged);
      r.required("window", a.window, window_from_value).required("text", a.text);
      return r.finish(Action(std::move(a)));
    }
    case ActionKind::kKey: {
      Key a;
      Record r(v, kKeyKeys, Mode::kStrict, kTagged);
      r.required("window", a.window, window_from_value).required("key", a.key, key_name_from_value);
      return r.finish(Action(std::move(a)));
    }
  }
  return fail("json: unknown kind");
}

Result<Request> request_from_value(const Value& v) {
  Request request;
  Record r(v, kRequestKeys);
  r.required("protocol", request.protocol)
      .required("operationId", request.operation_id)
      .required("sessionId", request.session_id)
      .required("action", request.action, action_from_value);
  return r.finish(std::move(request));
}

Result<Request> decode_request(std::string_view bytes) { return json::decode_document(bytes, request_from_value); }

void encode_action(std::string& out, const Action& action) {
  json::ObjectWriter o(out);
  encode_kind(o, kActionKindNames[action.index()]);
  std::visit(FieldWriter{o}, action);
  o.close();
}

void encode_request(std::string& out, const Request& request) {
  json::ObjectWriter o(out);
  json::write_uint(o.key("protocol"), request.protocol);
  json::write_string(o.key("operationId"), request.operation_id);
  json::write_uint(o.key("sessionId"), request.session_id);
  encode_action(o.key("action"), request.action);
  o.close();
}

std::string encode_request(const Request& request) {
  std::string out;
  out.reserve(128);
  encode_request(out, request);
  return out;
}

}  // namespace vor::desktop
