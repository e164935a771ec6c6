#include "native/validation.h"

#include <type_traits>

#include "common/text.h"
#include "native/desktop_text.h"
#include "native/observation.h"

namespace vor::desktop {
namespace {

Status code(std::string_view c) { return fail(std::string(c)); }

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

// Text a caller sent: valid UTF-8, within `max_units` UTF-16 units, no
// control character.
bool valid_caller_text(std::string_view text, std::size_t min_units, std::size_t max_units) {
  const auto units = caller_text_units(text);
  return units && units->size() >= min_units && units->size() <= max_units;
}

Status check_timeout(std::uint32_t timeout_ms) {
  if (timeout_ms < kMinTimeoutMs || timeout_ms > kMaxTimeoutMs) return code(kWaitInvalid);
  return {};
}

Status validate_window_selector(const WindowSelector& selector) {
  if (selector.process_id && *selector.process_id == 0) return code(kSelectorInvalid);
  if (!selector.process_id && !selector.title) return code(kSelectorInvalid);
  return validate_selector_text(selector.title);
}

Status validate_click(const Click& click, Time now) {
  if (auto s = validate_window(click.window, now); !s) return s;
  const auto size = check_window_size(click.window.rect);  // passed in validate_window
  if (!size || click.x < 0 || click.y < 0 || click.x >= size->width || click.y >= size->height) {
    return code(kCoordinateOutsideWindow);
  }
  return {};
}

// The checks of each kind, after the common ones. Each returns at its first failure.
struct KindChecks {
  Time now;

  Status operator()(const Inspect&) const { return {}; }
  Status operator()(const FindWindows& a) const {
    if (auto s = validate_window_selector(a.selector); !s) return s;
    return check_timeout(a.timeout_ms);
  }
  Status operator()(const FindElements& a) const {
    if (auto s = validate_element_selector(a.selector); !s) return s;
    if (auto s = check_timeout(a.timeout_ms); !s) return s;
    return validate_window(a.window, now);
  }
  Status operator()(const WaitElement& a) const {
    if (auto s = validate_check(a.check); !s) return s;
    if (auto s = check_timeout(a.timeout_ms); !s) return s;
    return validate_window(a.window, now);
  }
  Status operator()(const ElementAction& a) const {
    if (auto s = validate_element_selector(a.selector); !s) return s;
    if (const auto* set = std::get_if<SetValue>(&a.operation)) {
      if (auto s = validate_operation_text(set->text); !s) return s;
    }
    if (auto s = validate_check(a.verify); !s) return s;
    if (auto s = check_timeout(a.timeout_ms); !s) return s;
    return validate_window(a.window, now);
  }
  Status operator()(const Launch& a) const { return validate_launch(a); }
  Status operator()(const Capture& a) const { return validate_window(a.window, now); }
  Status operator()(const CaptureWindow& a) const { return validate_window(a.window, now); }
  Status operator()(const Focus& a) const { return validate_window(a.window, now); }
  Status operator()(const Key& a) const { return validate_window(a.window, now); }
  Status operator()(const Click& a) const { return validate_click(a, now); }
  Status operator()(const Type& a) const {
    if (auto s = validate_window(a.window, now); !s) return s;
    if (!valid_caller_text(a.text, 1, kTypedTextMaxUnits)) return code(kTextInvalid);
    return {};
  }
};

}  // namespace

bool is_operation_identifier(std::string_view id) {
  if (id.empty() || id.size() > kOperationIdMaxBytes) return false;
  for (char c : id) {
    if (!is_ascii_letter(c) && !(c >= '0' && c <= '9') && c != '-' && c != '_') return false;
  }
  return true;
}

Status validate_selector_text(const std::optional<std::string>& text) {
  if (text && !valid_caller_text(*text, 1, kSelectorTextMaxUnits)) return code(kSelectorInvalid);
  return {};
}

Status validate_element_selector(const ElementSelector& selector) {
  if (!selector.automation_id && !selector.name && !selector.class_name && !selector.control_type) {
    return code(kSelectorInvalid);
  }
  for (const auto* text : {&selector.automation_id, &selector.name, &selector.class_name}) {
    if (auto s = validate_selector_text(*text); !s) return s;
  }
  if (selector.control_type &&
      (*selector.control_type < kFirstControlType || *selector.control_type > kLastControlType)) {
    return code(kSelectorInvalid);
  }
  return {};
}

Status validate_operation_text(std::string_view text) {
  if (!valid_caller_text(text, 0, kOperationTextMaxUnits)) return code(kTextInvalid);
  return {};
}

Status validate_check(const Check& check) {
  if (auto s = validate_element_selector(check.selector); !s) return s;
  if (const auto* c = std::get_if<NameEquals>(&check.condition)) return validate_operation_text(c->text);
  if (const auto* c = std::get_if<ValueEquals>(&check.condition)) return validate_operation_text(c->text);
  return {};
}

Status validate_launch(const Launch& launch) {
  const std::string_view path = launch.program;
  // An absolute drive path ("C:\...") of at most 1024 bytes.
  if (path.size() < kProgramMinBytes || path.size() > kProgramMaxBytes) return code(kProgramInvalid);
  if (!is_ascii_letter(path[0]) || path[1] != ':' || path[2] != '\\') return code(kProgramInvalid);
  if (!ascii_lower(path).ends_with(".exe")) return code(kProgramInvalid);
  // A forward slash is a second separator that Windows accepts; refusing it
  // keeps the ".." and drive-path checks below the whole truth about the path.
  if (!caller_text_units(path) || path.find('"') != std::string_view::npos ||
      path.find('/') != std::string_view::npos) {
    return code(kProgramInvalid);
  }
  for (std::size_t start = 0;;) {
    const std::size_t end = path.find('\\', start);
    if (path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start) == "..") {
      return code(kProgramInvalid);
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  if (launch.arguments.size() > kMaxArguments) return code(kProgramInvalid);
  for (const std::string& argument : launch.arguments) {
    if (argument.size() > kArgumentMaxBytes || !caller_text_units(argument)) {
      return code(kProgramInvalid);
    }
  }
  return {};
}

Status validate_window(const Window& window, Time now) {
  if (auto s = check_observation_age(window.observed_at, now); !s) return s;
  if (window.handle == 0 || window.process_id == 0 || window.process_created == 0) return code(kWindowInvalid);
  VOR_RETURN_IF_ERROR(check_window_size(window.rect));
  return {};
}

Status validate_action_request(const Request& request, Time now) {
  if (request.protocol != kProtocolVersion) return code(kProtocolIncompatible);
  if (request.session_id == 0 || request.operation_id.empty() || request.operation_id.size() > kOperationIdMaxBytes) {
    return code(kTargetInvalid);
  }
  if (!is_operation_identifier(request.operation_id)) return code(kTargetInvalid);
  return std::visit(KindChecks{now}, request.action);
}

}  // namespace vor::desktop
