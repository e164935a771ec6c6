#include "uia/element_operations.h"

#include <algorithm>
#include <array>
#include <limits>
#include <utility>
#include <variant>

#include "native/desktop_text.h"
#include "native/observation.h"
#include "native/validation.h"

namespace vor::desktop::uia {

namespace {

std::uint64_t elapsed_ms(const OperationDeadline& deadline) {
  return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(deadline.elapsed()).count());
}

Outcome outcome_of(std::vector<ElementRecord> records, const OperationDeadline& deadline, bool attempted,
                   std::string_view verification) {
  Outcome outcome;
  for (ElementRecord& record : records) outcome.elements.push_back(std::move(record.element));
  outcome.elapsed_ms = elapsed_ms(deadline);
  outcome.action_attempted = attempted;
  outcome.verification = std::string(verification);
  return outcome;
}

constexpr std::array<std::string_view, 16> kReasonCodes = {
    "DESKTOP_WAIT_TIMEOUT",          "DESKTOP_TARGET_CHANGED",          "DESKTOP_UIA_SEARCH_LIMIT",
    "DESKTOP_ELEMENT_AMBIGUOUS",     "DESKTOP_UIA_QUERY_TIMEOUT",       "DESKTOP_OBSERVATION_STALE",
    "DESKTOP_UIA_SCOPE_MISMATCH",    "DESKTOP_WINDOW_UNAVAILABLE",      "DESKTOP_HUMAN_INPUT_ACTIVE",
    "DESKTOP_HUMAN_INPUT_CHANGED",   "DESKTOP_LOCKED_OR_UNAVAILABLE",   "DESKTOP_UIA_METADATA_TOO_LARGE",
    "DESKTOP_PASSWORD_ELEMENT_DENIED", "DESKTOP_UIA_PATTERN_UNSUPPORTED", "DESKTOP_INPUT_STATE_UNAVAILABLE",
    "DESKTOP_UIA_PROVIDER_UNAVAILABLE"};

// --- classic controls ---

char16_t ascii_lower(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + (u'a' - u'A')) : c; }

bool ascii_iequal(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
  }
  return true;
}

// `name` is `prefix` (ASCII case-insensitive) followed by at least one unit.
bool has_class_prefix(std::u16string_view name, std::u16string_view prefix) {
  return name.size() > prefix.size() && ascii_iequal(name.substr(0, prefix.size()), prefix);
}

bool is_button_class(std::u16string_view name) {
  return ascii_iequal(name, u"Button") || has_class_prefix(name, u"WindowsForms10.BUTTON.");
}

bool is_edit_class(std::u16string_view name) {
  return ascii_iequal(name, u"Edit") || has_class_prefix(name, u"WindowsForms10.EDIT.");
}

// Push button, default push button, owner-drawn button.
bool is_push_button_style(std::uint32_t style) {
  const std::uint32_t type = style & 0xF;
  return type == 0 || type == 1 || type == 11;
}

// GetClassNameW into 256 units must give 1 to 254 characters.
inline constexpr std::size_t kClassNameUnits = 256;
inline constexpr std::size_t kClassNameMaxCharacters = 254;

// The classic control chosen for window messages.
struct NativeTarget {
  std::u16string class_name;
  WindowHandle control = 0;
  std::uint32_t style = 0;
  WindowHandle parent = 0;
};

enum class ClassicKind { kNone, kButton, kEdit };

struct Classic {
  ClassicKind kind = ClassicKind::kNone;
  NativeTarget native;
};

// Whether the element's native window is a classic push button (invoke) or
// single-line edit (set_value) of the target process.
Result<Classic> classify_control(const UiaTarget& target, WindowHandle native, std::int32_t control_type,
                                 const Operation& operation) {
  const bool invoke = std::holds_alternative<Invoke>(operation);
  if (native == 0 || native == target.window.handle) return Classic{};
  if (invoke ? control_type != kButtonControlType : control_type != kEditControlType) return Classic{};

  ControlSys& controls = target.controls;
  const WindowThread owner = controls.window_thread(native);
  if (owner.thread_id == 0 || owner.process_id != target.window.process_id) return fail(std::string(kUiaScopeMismatch));
  if (!controls.is_child(target.window.handle, native)) return fail(std::string(kUiaScopeMismatch));
  std::u16string class_name = controls.class_name(native, kClassNameUnits);
  if (class_name.empty() || class_name.size() > kClassNameMaxCharacters) {
    return fail(std::string(kUiaProviderUnavailable));
  }
  // An ANSI window would take the text in the wrong encoding: the pattern serves it.
  if (!controls.is_unicode(native)) return Classic{};
  const std::uint32_t style = controls.style(native);

  Classic classic;
  classic.native = {std::move(class_name), native, style, 0};
  if (invoke) {
    if (!is_button_class(classic.native.class_name) || !is_push_button_style(style)) return Classic{};
    classic.kind = ClassicKind::kButton;
    classic.native.parent = controls.parent(native);
    return classic;
  }
  if (!is_edit_class(classic.native.class_name)) return Classic{};
  if (style == 0) return fail(std::string(kUiaProviderUnavailable));
  if (style & kEsPassword) return fail(std::string(kPasswordElementDenied));
  if (style & kEsReadOnly) return fail(std::string(kElementReadOnly));
  if (style & (kEsMultiline | kEsNumber)) return Classic{};
  classic.kind = ClassicKind::kEdit;
  return classic;
}

// The control and its ancestors up to (not including) the target window:
// at most 32 windows, each of the target process, enabled and visible.
Status walk_to_target(const UiaTarget& target, WindowHandle control) {
  ControlSys& controls = target.controls;
  WindowHandle current = control;
  for (std::size_t walked = 0; walked < kMaxControlAncestors; ++walked) {
    const WindowThread owner = controls.window_thread(current);
    if (owner.thread_id == 0 || owner.process_id != target.window.process_id) {
      return fail(std::string(kUiaScopeMismatch));
    }
    if (!controls.is_enabled(current) || !controls.is_visible(current)) return fail(std::string(kElementNotReady));
    current = controls.parent(current);
    if (current == target.window.handle) return {};
    if (current == 0) break;
  }
  return fail(std::string(kUiaScopeMismatch));
}

Status native_click(const UiaTarget& target, const NativeTarget& native, const OperationDeadline& deadline) {
  if (auto s = walk_to_target(target, native.control); !s) return s;
  ControlSys& controls = target.controls;
  if (controls.class_name(native.control, kClassNameUnits) != native.class_name ||
      controls.style(native.control) != native.style || controls.parent(native.control) != native.parent ||
      !controls.is_unicode(native.control)) {
    return fail(std::string(kElementChanged));
  }
  if (remaining_millis(deadline) == 0) return fail(std::string(kWaitTimeout));
  target.dispatched = true;
  auto sent = bounded_send(controls, native.control, kBmClick, 0, 0, deadline);
  if (!sent) return fail(std::move(sent.error()));
  return {};
}

Status edit_precheck(const UiaTarget& target, const NativeTarget& native, std::size_t text_units,
                     const OperationDeadline& deadline) {
  if (auto s = walk_to_target(target, native.control); !s) return s;
  auto password_char = bounded_send(target.controls, native.control, kEmGetPasswordChar, 0, 0, deadline);
  if (!password_char) return fail(std::move(password_char.error()));
  if (*password_char != 0) return fail(std::string(kPasswordElementDenied));
  auto limit = bounded_send(target.controls, native.control, kEmGetLimitText, 0, 0, deadline);
  if (!limit) return fail(std::move(limit.error()));
  if (text_units > *limit) return fail(std::string(kTextInvalid));
  return {};
}

Status native_set_text(const UiaTarget& target, const NativeTarget& native, const std::u16string& text,
                       const OperationDeadline& deadline) {
  const std::uint32_t left = remaining_millis(deadline);
  if (left == 0) return fail(std::string(kWaitTimeout));
  target.dispatched = true;
  auto sent = target.controls.send_text(native.control, kWmSetText, text, kControlMessageFlags,
                                        std::min(left, kControlMessageTimeoutMs));
  if (!sent) return fail(win32_failure(sent.error(), kUiaProviderUnavailable));
  if (*sent != 1) return fail(std::string(kUiaProviderUnavailable));
  return {};
}

}  // namespace

Error to_action_failure(AutomationFailurePhase phase, const Error& error) {
  const std::string& code = error.outermost();
  const bool listed = std::find(kReasonCodes.begin(), kReasonCodes.end(), code) != kReasonCodes.end();
  ActionFailure failure;
  failure.reason_code = listed ? code : std::string(kUnlistedFailureReason);
  failure.diagnostic = {phase, failure.reason_code};
  return Error::with(std::string(kInputOutcomeUnknown), std::move(failure));
}

std::uint32_t remaining_millis(const OperationDeadline& deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline.remaining()).count();
  if (left <= 0) return 0;
  constexpr auto kMax = std::numeric_limits<std::uint32_t>::max();
  return left >= static_cast<std::int64_t>(kMax) ? kMax : static_cast<std::uint32_t>(left);
}

Result<std::uintptr_t> bounded_send(ControlSys& controls, WindowHandle window, std::uint32_t message,
                                    std::uintptr_t wparam, std::intptr_t lparam, const OperationDeadline& deadline) {
  const std::uint32_t left = remaining_millis(deadline);
  if (left == 0) return fail(std::string(kWaitTimeout));
  auto sent = controls.send_message(window, message, wparam, lparam, kControlMessageFlags,
                                    std::min(left, kControlMessageTimeoutMs));
  if (!sent) return fail(win32_failure(sent.error(), kUiaProviderUnavailable));
  return *sent;
}

Status prepare_element_action(const UiaTarget& target, const ElementRecord& record, const Operation& operation) {
  auto current = read_element_record(target, record.source, PropertySource::kCurrent);
  if (!current) return fail(std::move(current.error()));
  const Element& e = current->element;
  if (e.password) return fail(std::string(kPasswordElementDenied));
  if (!e.enabled || e.offscreen) return fail(std::string(kElementNotReady));
  if (auto size = check_window_size(e.rect); !size) return fail(std::move(size.error()));
  const Rect& w = target.window.rect;
  if (e.rect.left < w.left || e.rect.top < w.top || e.rect.right > w.right || e.rect.bottom > w.bottom) {
    return fail(std::string(kUiaScopeMismatch));
  }
  ComSys& com = target.session.com();
  AutomationElement& element = *record.source;
  if (std::holds_alternative<Invoke>(operation)) {
    auto pattern = element.invoke_pattern();
    if (!pattern) return fail(provider_failure(com, pattern.error()));
    if (!*pattern) return fail(std::string(kUiaPatternUnsupported));
    return {};
  }
  auto pattern = element.value_pattern();
  if (!pattern) return fail(provider_failure(com, pattern.error()));
  if (!*pattern) return fail(std::string(kUiaPatternUnsupported));
  auto read_only = read_property((*pattern)->current_is_read_only(), com);
  if (!read_only) return fail(std::move(read_only.error()));
  if (*read_only) return fail(std::string(kElementReadOnly));
  return {};
}

Status show_and_prove_notice(const UiaTarget& target, NoticeGate& gate) {
  if (auto s = guard_target(target, true); !s) return s;
  auto banner = gate.show(target.window.rect);
  if (!banner) return fail(std::move(banner.error()));
  Status proof = gate.prove(*banner, target.window.last_input_tick);
  gate.tear_down(*banner);
  if (!proof) return proof;
  return guard_target(target, true);
}

Status perform_element_operation(const UiaTarget& target, const ElementRecord& record, const Operation& operation,
                                 const OperationDeadline& deadline) {
  if (auto s = prepare_element_action(target, record, operation); !s) return s;
  if (auto s = guard_target(target, true); !s) return s;

  ComSys& com = target.session.com();
  AutomationElement& element = *record.source;
  std::unique_ptr<InvokePattern> invoke;
  std::unique_ptr<ValuePattern> value;
  if (std::holds_alternative<Invoke>(operation)) {
    auto pattern = element.invoke_pattern();
    if (!pattern) return fail(provider_failure(com, pattern.error()));
    invoke = std::move(*pattern);
    if (!invoke) return fail(std::string(kUiaProviderUnavailable));
  } else {
    auto pattern = element.value_pattern();
    if (!pattern) return fail(provider_failure(com, pattern.error()));
    value = std::move(*pattern);
    if (!value) return fail(std::string(kUiaProviderUnavailable));
  }
  auto native = read_property(element.native_window_handle(PropertySource::kCurrent), com);
  if (!native) return fail(std::move(native.error()));
  auto control_type = read_property(element.control_type(PropertySource::kCurrent), com);
  if (!control_type) return fail(std::move(control_type.error()));

  auto classic = classify_control(target, *native, *control_type, operation);
  if (!classic) return fail(std::move(classic.error()));

  if (classic->kind == ClassicKind::kButton) {
    if (auto s = prepare_element_action(target, record, operation); !s) return s;
    if (auto s = guard_target(target, true); !s) return s;
    return native_click(target, classic->native, deadline);
  }

  std::u16string text;
  if (const auto* set = std::get_if<SetValue>(&operation)) {
    auto units = caller_text_units(set->text);
    if (!units) return fail(std::string(kTextInvalid));
    text = std::move(*units);
  }
  if (classic->kind == ClassicKind::kEdit) {
    if (auto s = edit_precheck(target, classic->native, text.size(), deadline); !s) return s;
    if (auto s = prepare_element_action(target, record, operation); !s) return s;
    if (auto s = guard_target(target, true); !s) return s;
    return native_set_text(target, classic->native, text, deadline);
  }

  target.dispatched = true;
  const HResult hr = invoke ? invoke->invoke() : value->set_value(text);
  if (com_failed(hr)) return fail(provider_failure(com, hr));
  return {};
}

Result<Outcome> find_elements(const UiaTarget& target, const ElementSelector& selector, std::uint32_t timeout_ms) {
  OperationDeadline deadline(target.ports.clock, timeout_ms);
  for (;;) {
    if (auto s = guard_target(target, false); !s) return fail(std::move(s.error()));
    auto matches = search_elements(target, selector, deadline);
    if (!matches) return fail(std::move(matches.error()));
    if (!matches->empty()) return outcome_of(std::move(*matches), deadline, false, kVerificationObserved);
    if (deadline.expired() || !deadline.sleep_retry_slice()) return outcome_of({}, deadline, false, kVerificationObserved);
  }
}

Result<Outcome> wait_element(const UiaTarget& target, const Check& check, std::uint32_t timeout_ms) {
  OperationDeadline deadline(target.ports.clock, timeout_ms);
  for (;;) {
    if (auto s = guard_target(target, false); !s) return fail(std::move(s.error()));
    auto satisfied = read_element_predicate(target, check, deadline);
    if (!satisfied) return fail(std::move(satisfied.error()));
    if (*satisfied) return outcome_of({}, deadline, false, kVerificationVerified);
    // A last attempt started at the deadline would only time out half-way.
    if (!deadline.sleep_retry_slice()) return fail(std::string(kWaitTimeout));
  }
}

namespace {

// The element the selector names, once it is ready.
Result<ElementRecord> wait_until_ready(const UiaTarget& target, const ElementSelector& selector,
                                       OperationDeadline& deadline) {
  for (;;) {
    if (auto s = guard_target(target, true); !s) return fail(std::move(s.error()));
    auto found = search_elements(target, selector, deadline);
    if (!found) return fail(std::move(found.error()));
    auto single = find_single_element(std::move(*found));
    if (!single) return fail(std::move(single.error()));
    if (*single) {
      if ((*single)->element.password) return fail(std::string(kPasswordElementDenied));
      if ((*single)->element.enabled && !(*single)->element.offscreen) return std::move(**single);
    }
    if (!deadline.sleep_retry_slice()) return fail(std::string(kElementNotReady));
  }
}

// The element found again after the proof: still the one that was proven.
Result<ElementRecord> find_again_unchanged(const UiaTarget& target, const ElementSelector& selector,
                                           const ElementRecord& first, const OperationDeadline& deadline) {
  if (auto s = guard_target(target, true); !s) return fail(std::move(s.error()));
  auto found = search_elements(target, selector, deadline);
  if (!found) return fail(std::move(found.error()));
  auto single = find_single_element(std::move(*found));
  if (!single) return fail(std::move(single.error()));
  if (!*single) return fail(std::string(kElementChanged));
  ElementRecord second = std::move(**single);
  const Element& a = first.element;
  const Element& b = second.element;
  if (a.control_type != b.control_type || a.enabled != b.enabled || a.offscreen != b.offscreen ||
      a.password != b.password || a.automation_id != b.automation_id || a.name != b.name ||
      a.class_name != b.class_name || a.rect != b.rect) {
    return fail(std::string(kElementChanged));
  }
  auto same = target.session.automation().compare_elements(*first.source, *second.source);
  if (!same) return fail(provider_failure(target.session.com(), same.error()));
  if (!*same) return fail(std::string(kElementChanged));
  return second;
}

bool retryable_read_failure(const Error& error) {
  return error.outermost() == kUiaQueryTimeout || error.outermost() == kUiaProviderUnavailable;
}

}  // namespace

Result<Outcome> element_action(const UiaTarget& target, NoticeGate& gate, const ElementSelector& selector,
                               const Operation& operation, const Check& verify, std::uint32_t timeout_ms) {
  OperationDeadline deadline(target.ports.clock, timeout_ms);
  auto first = wait_until_ready(target, selector, deadline);
  if (!first) return fail(std::move(first.error()));

  auto already = read_element_predicate(target, verify, deadline);
  if (!already) return fail(std::move(already.error()));
  if (*already) return fail(std::string(kPostconditionAlreadySatisfied));

  if (auto s = prepare_element_action(target, *first, operation); !s) return fail(std::move(s.error()));
  if (auto s = show_and_prove_notice(target, gate); !s) return fail(std::move(s.error()));

  auto second = find_again_unchanged(target, selector, *first, deadline);
  if (!second) return fail(std::move(second.error()));
  if (!second->element.enabled || second->element.offscreen || second->element.password) {
    return fail(std::string(kElementNotReady));
  }
  if (deadline.expired()) return fail(std::string(kWaitTimeout));
  if (auto s = guard_target(target, true); !s) return fail(std::move(s.error()));
  // A stop pressed in the last moments of the hold is still queued.
  if (gate.take_queued_stop()) return fail(std::string(kStopRequested));

  if (auto s = perform_element_operation(target, *second, operation, deadline); !s) {
    if (target.dispatched) return fail(to_action_failure(AutomationFailurePhase::kDispatch, s.error()));
    return fail(std::move(s.error()));
  }

  for (;;) {
    if (auto s = guard_target(target, true); !s) {
      return fail(to_action_failure(AutomationFailurePhase::kPostDispatchGuard, s.error()));
    }
    auto satisfied = read_element_predicate(target, verify, deadline);
    if (!satisfied) {
      if (!retryable_read_failure(satisfied.error()) || deadline.expired() || !deadline.sleep_retry_slice()) {
        return fail(to_action_failure(AutomationFailurePhase::kVerificationRead, satisfied.error()));
      }
      continue;
    }
    if (*satisfied) {
      if (auto s = guard_target(target, true); !s) {
        return fail(to_action_failure(AutomationFailurePhase::kPostDispatchGuard, s.error()));
      }
      return outcome_of({}, deadline, true, kVerificationVerified);
    }
    if (!deadline.sleep_retry_slice()) {
      return fail(to_action_failure(AutomationFailurePhase::kVerificationDeadline, Error(std::string(kWaitTimeout))));
    }
  }
}

}  // namespace vor::desktop::uia
