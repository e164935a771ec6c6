#include "executor/executor.h"

#include <utility>

#include "capture_dxgi/capture.h"
#include "capture_wgc/window_capture.h"
#include "common/base64.h"
#include "common/text.h"
#include "executor/banner_gate.h"
#include "executor/input_owner.h"
#include "native/capture_source.h"
#include "native/execution_evidence.h"
#include "native/input_records.h"
#include "native/input_sending.h"
#include "native/observation.h"
#include "native/validation.h"
#include "readiness/notice.h"
#include "readiness/occlusion.h"
#include "readiness/readiness.h"
#include "uia/element_operations.h"
#include "uia/session.h"

namespace vor::desktop {
namespace {

constexpr std::string_view kLayeredVisibilityGuidance =
    "A layered window intersects this exact crop, but Windows did not confirm complete visual transparency. No "
    "image was exported. Do not ignore click-through flags, change another application or bypass the visibility "
    "check; use a separately authorized unobstructed target or an explicitly reviewed window-isolated capture path.";
constexpr std::string_view kVisibilityGuidance =
    "Windows could not confirm the exact crop's visual visibility. No image was exported. Keep the original "
    "outcome; inspect desktop/composition state without changing other windows, then obtain a fresh observation "
    "only after the condition is resolved.";

Error code_error(std::string_view code) { return Error(std::string(code)); }

NoticePorts notice_ports(const ExecutorPorts& ports) {
  return NoticePorts{ports.desktop, ports.readiness, ports.notice, ports.duplication};
}

// A changed process identity, bounds or foreground is a `TargetChanged`.
Status refuse_changed(const Window& before, const Window& after, TargetPhase phase, bool compare_foreground) {
  const TargetDiagnostic d = compare_window_snapshots(before, after, phase, compare_foreground);
  if (target_changed(d)) return fail(target_changed_error(d));
  return {};
}

// The window must not be cloaked, and the query must answer.
Status check_not_cloaked(WindowSys& windows, WindowHandle handle) {
  const CloakedState cloaked = is_window_cloaked(windows, handle);
  if (!cloaked.query_succeeded || cloaked.cloaked != 0) return fail(code_error(kCaptureOcclusionUnknown));
  return {};
}

// --- one function per kind; each fills `response` on success ---

Status run_find_windows(const ExecutorPorts& ports, const Request& request, const FindWindows& action,
                        Response& response) {
  auto found = find_matching_windows(ports.desktop, request.session_id, action.selector, action.timeout_ms);
  if (!found) return fail(std::move(found.error()));
  response.code = std::string(found->empty() ? kWindowNotFound : kWindowsFound);
  response.windows = std::move(*found);
  return {};
}

// The element kinds run inside their own automation session, closed before
// the target is checked once more.
template <class Run>
Status run_element_kind(const ExecutorPorts& ports, const Request& request, const Window& window, bool& dispatched,
                        Run run, Response& response) {
  {
    auto session = uia::UiaSession::open(ports.com);
    if (!session) return fail(std::move(session.error()));
    uia::UiaTarget target{ports.desktop, ports.controls, *session, window, request.session_id, dispatched};
    auto outcome = run(target);
    if (!outcome) return fail(std::move(outcome.error()));
    response.automation = std::move(*outcome);
  }
  response.next_safe_action = std::string(kElementGuidance);
  return {};
}

Status append_fresh_target(const ExecutorPorts& ports, const Request& request, const Window& window,
                           Response& response) {
  auto fresh = check_observation(ports.desktop, window, request.session_id, /*input_checks=*/false);
  if (!fresh) return fail(std::move(fresh.error()));
  response.windows.push_back(std::move(*fresh));
  return {};
}

Status run_launch(const ExecutorPorts& ports, Response& response) {
  if (auto s = check_no_key_held(ports.desktop.input); !s) return s;
  auto tick = read_last_input_tick(ports.desktop.input);
  if (!tick) return fail(std::move(tick.error()));
  ScreenNoticeGate gate(notice_ports(ports));
  if (auto s = gate.show_and_prove(kLaunchNoticeTarget, *tick); !s) return s;
  if (auto s = check_input_desktop(ports.desktop.windows); !s) return s;
  // A stop pressed in the last moments of the hold is still queued: it must
  // stop the launch just as it stops input.
  if (auto s = gate.check_stop_request(); !s) return s;
  response.code = std::string(kLaunchValidated);
  response.next_safe_action = std::string(kLaunchGuidance);
  return {};
}

Status run_capture(const ExecutorPorts& ports, const Request& request, const Capture& action, Response& response) {
  const Window& window = action.window;
  WindowSys& windows = ports.desktop.windows;
  auto fresh = snapshot_window(ports.desktop, window.handle, request.session_id, /*minimized_allowed=*/false);
  if (!fresh) return fail(std::move(fresh.error()));
  if (auto s = refuse_changed(window, *fresh, TargetPhase::kBeforeNotice, true); !s) return s;
  if (auto s = check_not_cloaked(windows, window.handle); !s) return s;
  if (auto s = check_occlusion(windows, ports.notice, window.handle, fresh->rect); !s) return s;

  auto shot = capture_screen_dxgi(ports.duplication, ports.desktop.clock, fresh->rect);
  if (!shot) return fail(std::move(shot.error()));

  if (auto s = check_input_desktop(windows); !s) return s;
  auto second = snapshot_window(ports.desktop, window.handle, request.session_id, false);
  if (!second) return fail(std::move(second.error()));
  if (auto s = check_not_cloaked(windows, window.handle); !s) return s;
  if (auto s = check_occlusion(windows, ports.notice, window.handle, second->rect); !s) return s;
  if (auto s = refuse_changed(*fresh, *second, TargetPhase::kAfterCapture, true); !s) return s;

  response.png_base64 = base64_encode(shot->png);
  response.image_width = shot->width;
  response.image_height = shot->height;
  response.capture_diagnostic = std::move(shot->diagnostic);
  response.windows = {std::move(*second)};
  return {};
}

Status run_capture_window(const ExecutorPorts& ports, const Request& request, Response& response) {
  const std::function<Status()> session_ready = [&] { return check_session_ready(ports.desktop, ports.readiness); };
  auto before = check_window_capture_source(ports.desktop, request, TargetPhase::kBeforeCapture, session_ready);
  if (!before) return fail(std::move(before.error()));
  const WindowCaptureContext context{ports.desktop, ports.window_capture, session_ready};
  auto shot = capture_window_wgc(context, request);
  if (!shot) return fail(std::move(shot.error()));
  auto after = check_window_capture_source(ports.desktop, request, TargetPhase::kAfterCapture, session_ready);
  if (!after) return fail(std::move(after.error()));

  response.png_base64 = base64_encode(shot->png);
  response.image_width = shot->width;
  response.image_height = shot->height;
  response.window_capture_diagnostic = std::move(shot->diagnostic);
  response.windows = {std::move(*after)};
  response.next_safe_action = std::string(kWindowSourceGuidance);
  return {};
}

// The records of click, type and key; the click's point must hit the target.
Result<std::vector<InputRecord>> input_records(const ExecutorPorts& ports, const Action& action, const Window& fresh) {
  WindowSys& windows = ports.desktop.windows;
  if (const auto* click = std::get_if<Click>(&action)) {
    const WindowHandle hit = windows.window_from_point(fresh.rect.left + click->x, fresh.rect.top + click->y);
    if (hit == 0 || windows.root_ancestor(hit) != fresh.handle) return fail(code_error(kTargetOccluded));
    return build_click_inputs(ports.desktop.input.virtual_screen(), fresh.rect.left, fresh.rect.top, click->x,
                              click->y);
  }
  if (const auto* type = std::get_if<Type>(&action)) {
    // Validation has already refused text that is not valid UTF-8.
    const std::u16string text = utf8_to_utf16(type->text).value_or(std::u16string());
    return text_to_key_inputs(text);
  }
  return build_key_inputs(std::get<Key>(action).key);
}

// Focus, click, type and key: the target re-observed, no fresh human input,
// the banner proven and gone, everything checked again, then the action.
Status run_guarded(const ExecutorPorts& ports, const Request& request, const Window& window, bool& dispatched,
                   Response& response) {
  const DesktopPorts& desk = ports.desktop;
  const bool focus = action_kind(request.action) == ActionKind::kFocus;
  const bool compare_foreground = !focus;

  auto fresh = snapshot_window(desk, window.handle, request.session_id, /*minimized_allowed=*/false);
  if (!fresh) return fail(std::move(fresh.error()));
  if (auto s = refuse_changed(window, *fresh, TargetPhase::kBeforeNotice, compare_foreground); !s) return s;
  if (window.last_input_tick != fresh->last_input_tick) return fail(code_error(kHumanInputChanged));
  if (auto s = check_no_key_held(desk.input); !s) return s;

  ScreenNoticeGate gate(notice_ports(ports));
  if (auto s = gate.show_and_prove(fresh->rect, window.last_input_tick); !s) return s;

  if (auto s = check_input_desktop(desk.windows); !s) return s;
  auto second = snapshot_window(desk, window.handle, request.session_id, false);
  if (!second) return fail(std::move(second.error()));
  if (auto s = refuse_changed(window, *second, TargetPhase::kAfterNotice, compare_foreground); !s) return s;
  if (!focus && desk.windows.foreground_window() != window.handle) {
    TargetDiagnostic d = compare_window_snapshots(window, *second, TargetPhase::kBeforeInput, true);
    d.foreground_changed = true;
    return fail(target_changed_error(d));
  }
  auto tick = read_last_input_tick(desk.input);
  if (!tick) return fail(std::move(tick.error()));
  if (*tick != window.last_input_tick) return fail(code_error(kHumanInputChanged));
  if (auto s = validate_action_request(request, desk.clock.utc_now()); !s) return s;
  if (auto s = gate.check_stop_request(); !s) return s;

  if (focus) {
    const bool set = desk.windows.set_foreground(window.handle);
    if (!set || desk.windows.foreground_window() != window.handle) return fail(code_error(kFocusDenied));
    auto focused = snapshot_window(desk, window.handle, request.session_id, false);
    if (!focused) return fail(std::move(focused.error()));
    response.code = std::string(kFocusAccepted);
    response.next_safe_action = std::string(kFocusGuidance);
    response.windows = {std::move(*focused)};
    return {};
  }

  auto records = input_records(ports, request.action, *fresh);
  if (!records) return fail(std::move(records.error()));
  if (auto s = send_input_batch(desk.input, *records, dispatched); !s) return s;

  response.code = std::string(kInputAccepted);
  response.next_safe_action = std::string(kInputGuidance);
  // The input went out: a failed follow-up snapshot only leaves `windows` empty.
  if (auto after = snapshot_window(desk, window.handle, request.session_id, false)) {
    response.windows = {std::move(*after)};
  }
  return {};
}

Status run_action(const ExecutorPorts& ports, const Request& request, bool& dispatched, Response& response) {
  const Action& action = request.action;
  switch (action_kind(action)) {
    case ActionKind::kInspect:
      response.windows = list_windows(ports.desktop, request.session_id);
      return {};
    case ActionKind::kFindWindows:
      return run_find_windows(ports, request, std::get<FindWindows>(action), response);
    case ActionKind::kFindElements: {
      const auto& a = std::get<FindElements>(action);
      auto run = [&](const uia::UiaTarget& t) { return uia::find_elements(t, a.selector, a.timeout_ms); };
      if (auto s = run_element_kind(ports, request, a.window, dispatched, run, response); !s) return s;
      if (auto s = append_fresh_target(ports, request, a.window, response); !s) return s;
      response.code = std::string(response.automation->elements.empty() ? kElementNotFound : kElementsFound);
      return {};
    }
    case ActionKind::kWaitElement: {
      const auto& a = std::get<WaitElement>(action);
      auto run = [&](const uia::UiaTarget& t) { return uia::wait_element(t, a.check, a.timeout_ms); };
      if (auto s = run_element_kind(ports, request, a.window, dispatched, run, response); !s) return s;
      if (auto s = append_fresh_target(ports, request, a.window, response); !s) return s;
      response.code = std::string(kElementConditionVerified);
      return {};
    }
    case ActionKind::kElementAction: {
      const auto& a = std::get<ElementAction>(action);
      BannerGate gate(notice_ports(ports));
      auto run = [&](const uia::UiaTarget& t) {
        return uia::element_action(t, gate, a.selector, a.operation, a.verify, a.timeout_ms);
      };
      if (auto s = run_element_kind(ports, request, a.window, dispatched, run, response); !s) return s;
      response.code = std::string(kElementActionVerified);
      return {};
    }
    case ActionKind::kLaunch:
      return run_launch(ports, response);
    case ActionKind::kCapture:
      return run_capture(ports, request, std::get<Capture>(action), response);
    case ActionKind::kCaptureWindow:
      return run_capture_window(ports, request, response);
    case ActionKind::kFocus:
      return run_guarded(ports, request, std::get<Focus>(action).window, dispatched, response);
    case ActionKind::kClick:
      return run_guarded(ports, request, std::get<Click>(action).window, dispatched, response);
    case ActionKind::kType:
      return run_guarded(ports, request, std::get<Type>(action).window, dispatched, response);
    case ActionKind::kKey:
      return run_guarded(ports, request, std::get<Key>(action).window, dispatched, response);
  }
  return fail(std::string("DESKTOP_OPERATION_FAILED"));
}

}  // namespace

Result<Response> execute_desktop_operation(const ExecutorPorts& ports, const Request& request,
                                           const std::optional<ArmedInputPolicy>& input_policy, bool& dispatched) {
  if (auto s = validate_action_request(request, ports.desktop.clock.utc_now()); !s) return fail(std::move(s.error()));
  if (input_policy) return fail(code_error(kFullscreenUnsupported));

  auto owner = acquire_input_owner(ports.owner, request.session_id);
  if (!owner) return fail(std::move(owner.error()));
  // Whether the process could be made aware or not, the observations compare
  // physical pixels with the ones the request carries.
  (void)ports.owner.set_dpi_awareness_context(kPerMonitorAwareV2);
  if (auto s = check_input_desktop(ports.desktop.windows); !s) return fail(std::move(s.error()));

  Response response = build_response(request, kObservedCode, kObservedGuidance);
  if (auto s = run_action(ports, request, dispatched, response); !s) return fail(std::move(s.error()));
  return response;
}

void copy_failure_diagnostics(const Error& error, Response& response) {
  if (const auto* changed = error.find<TargetChanged>()) response.target_diagnostic = changed->diagnostic;
  if (const auto* capture = error.find<CaptureFailure>()) response.capture_diagnostic = capture->diagnostic;
  if (const auto* window = error.find<WindowCaptureFailure>()) response.window_capture_failure = *window;
  if (const auto* action = error.find<uia::ActionFailure>()) response.automation_diagnostic = action->diagnostic;
  if (const auto* proof = error.find<ProofFailure>()) response.notice_diagnostic = proof->diagnostic;
  if (const auto* snapshot = error.find<NoticeContext>()) response.notice_context = *snapshot;
  if (error.find<VisibilityFailure>()) {
    response.next_safe_action = std::string(response.code == kCaptureLayeredVisibilityUnconfirmed
                                                ? kLayeredVisibilityGuidance
                                                : kVisibilityGuidance);
  }
}

}  // namespace vor::desktop
