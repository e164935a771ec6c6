// The request document: one desktop operation asked of the runtime.
//
// The broker decodes a request file (`decode_request`), hashes and forwards
// its re-encoding (`encode_request`), and the worker decodes the frame again;
// the session client carries it inside the session action "execute"
// (`request_from_value`). The encoding is byte-exact: the request hash is
// taken over it, so whitespace, member order, null versus absent, a handle
// written as a number or a string, and the offset of a time never change it.
//
//   auto request = decode_request(file_bytes);
//   if (!request) return fail(std::move(request.error()).context("DESKTOP_REQUEST_INVALID"));
//   std::string body = encode_request(*request);
//   if (is_mutating(request->action)) ...; switch (action_kind(request->action)) ...
//
// Decoding checks only form (strict records, every key declared, every field
// of a variant required); value limits are request validation's. Decode error
// texts are for logs only: callers wrap them under their own code.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "common/error.h"
#include "common/json.h"
#include "protocol/observation.h"

namespace vor::desktop {

// The protocol number of every desktop document and pipe message.
inline constexpr std::uint32_t kProtocolVersion = 1;

struct WindowSelector {
  std::optional<std::uint32_t> process_id;
  std::optional<std::string> title;
  bool operator==(const WindowSelector&) const = default;
};

struct ElementSelector {
  std::optional<std::string> automation_id;
  std::optional<std::string> name;
  std::optional<std::string> class_name;
  std::optional<std::int32_t> control_type;
  bool operator==(const ElementSelector&) const = default;
};

// Condition variants, in declaration order ("ready", "absent", "name_equals", "value_equals").
struct Ready {
  bool operator==(const Ready&) const = default;
};
struct Absent {
  bool operator==(const Absent&) const = default;
};
struct NameEquals {
  std::string text;
  bool operator==(const NameEquals&) const = default;
};
struct ValueEquals {
  std::string text;
  bool operator==(const ValueEquals&) const = default;
};
using Condition = std::variant<Ready, Absent, NameEquals, ValueEquals>;

struct Check {
  ElementSelector selector;
  Condition condition;
  bool operator==(const Check&) const = default;
};

// Operation variants ("invoke", "set_value").
struct Invoke {
  bool operator==(const Invoke&) const = default;
};
struct SetValue {
  std::string text;
  bool operator==(const SetValue&) const = default;
};
using Operation = std::variant<Invoke, SetValue>;

// Key names in declaration order; written as the strings of kKeyNames.
enum class KeyName { kEnter, kEscape, kTab, kBackspace, kSpace, kUp, kDown, kLeft, kRight, kAltTab, kShowDesktop };
inline constexpr std::string_view kKeyNames[] = {"enter", "escape", "tab",   "backspace", "space",       "up",
                                                 "down",  "left",   "right", "alt_tab",   "show_desktop"};

// Action variants, in declaration order (the kind index).
struct Inspect {
  bool operator==(const Inspect&) const = default;
};
struct FindWindows {
  WindowSelector selector;
  std::uint32_t timeout_ms = 0;
  bool operator==(const FindWindows&) const = default;
};
struct FindElements {
  Window window;
  ElementSelector selector;
  std::uint32_t timeout_ms = 0;
  bool operator==(const FindElements&) const = default;
};
struct WaitElement {
  Window window;
  Check check;
  std::uint32_t timeout_ms = 0;
  bool operator==(const WaitElement&) const = default;
};
struct ElementAction {
  Window window;
  ElementSelector selector;
  Operation operation;
  Check verify;
  std::uint32_t timeout_ms = 0;
  bool operator==(const ElementAction&) const = default;
};
struct Launch {
  std::string program;
  std::vector<std::string> arguments;
  bool operator==(const Launch&) const = default;
};
struct Capture {
  Window window;
  bool operator==(const Capture&) const = default;
};
struct CaptureWindow {
  Window window;
  bool operator==(const CaptureWindow&) const = default;
};
struct Focus {
  Window window;
  bool operator==(const Focus&) const = default;
};
struct Click {
  Window window;
  std::int32_t x = 0;  // relative to the target window
  std::int32_t y = 0;
  bool operator==(const Click&) const = default;
};
struct Type {
  Window window;
  std::string text;
  bool operator==(const Type&) const = default;
};
struct Key {
  Window window;
  KeyName key = KeyName::kEnter;
  bool operator==(const Key&) const = default;
};
using Action = std::variant<Inspect, FindWindows, FindElements, WaitElement, ElementAction, Launch, Capture,
                            CaptureWindow, Focus, Click, Type, Key>;

// The kind index: the position of the variant in `Action`.
enum class ActionKind : std::size_t {
  kInspect, kFindWindows, kFindElements, kWaitElement, kElementAction, kLaunch,
  kCapture, kCaptureWindow, kFocus, kClick, kType, kKey,
};
inline constexpr std::size_t kActionKindCount = std::variant_size_v<Action>;
inline constexpr std::string_view kActionKindNames[kActionKindCount] = {
    "inspect", "find_windows", "find_elements", "wait_element", "element_action", "launch",
    "capture", "capture_window", "focus", "click", "type", "key"};

inline ActionKind action_kind(const Action& action) { return static_cast<ActionKind>(action.index()); }
inline std::string_view action_kind_name(ActionKind kind) { return kActionKindNames[static_cast<std::size_t>(kind)]; }

// element_action, launch, focus, click, type and key may change the desktop.
bool is_mutating(ActionKind kind);
inline bool is_mutating(const Action& action) { return is_mutating(action_kind(action)); }

// A request that is too large, undecodable or not a request.
inline constexpr std::string_view kRequestInvalid = "DESKTOP_REQUEST_INVALID";

struct Request {
  std::uint32_t protocol = 0;
  std::string operation_id;
  std::uint32_t session_id = 0;
  Action action;
  bool operator==(const Request&) const = default;
};

// A whole request document from bytes (the caller has bounded their size).
Result<Request> decode_request(std::string_view bytes);
// The same rules over an already parsed value (the "execute" session action).
Result<Request> request_from_value(const json::Value& value);
Result<Action> action_from_value(const json::Value& value);

// The byte-exact compact encoding, appended to `out`. Never fails.
void encode_request(std::string& out, const Request& request);
// The same into a new buffer of initial capacity 128 bytes.
std::string encode_request(const Request& request);
void encode_action(std::string& out, const Action& action);

}  // namespace vor::desktop
