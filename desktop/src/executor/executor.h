// The desktop operation executor: the worker's one call per request. It
// validates the request again, refuses an input policy, takes the session's
// input-owner mutex, makes the process per-monitor DPI aware, checks the
// input desktop and runs the request's action: window listing and search,
// the element kinds, launch validation, screen and window capture, and the
// guarded focus, click, type and key, each of which re-observes the target,
// refuses fresh human input, proves the notice banner and re-checks
// everything before it acts.
//
// The worker mode calls it once on its main thread with the ports the
// composition root built (`Win32Adapters::executor_ports`); tests hand in
// fakes.
// Everything taken (mutex, banner, hotkey, automation session) has an owner
// that releases it, so every exit releases it.
//
//   bool dispatched = false;
//   auto response = execute_desktop_operation(ports, request, ack.input_policy, dispatched);
//   if (!response) copy_failure_diagnostics(response.error(), failure_response);
#pragma once

#include <optional>
#include <string_view>

#include "capture_dxgi/duplication_ports.h"
#include "capture_wgc/window_capture_port.h"
#include "common/error.h"
#include "executor/input_owner_sys.h"
#include "native/ports.h"
#include "protocol/messages.h"
#include "protocol/request.h"
#include "protocol/response.h"
#include "readiness/desktop_sys.h"
#include "readiness/notice_sys.h"
#include "uia/automation_port.h"

namespace vor::desktop {

inline constexpr std::string_view kFullscreenUnsupported = "DESKTOP_FULLSCREEN_UNSUPPORTED";
inline constexpr std::string_view kFocusDenied = "DESKTOP_FOCUS_DENIED";

inline constexpr std::string_view kObservedGuidance = "Choose a window from this observation.";
inline constexpr std::string_view kWindowsFound = "DESKTOP_WINDOWS_FOUND";
inline constexpr std::string_view kWindowNotFound = "DESKTOP_WINDOW_NOT_FOUND";
inline constexpr std::string_view kElementsFound = "DESKTOP_ELEMENTS_FOUND";
inline constexpr std::string_view kElementNotFound = "DESKTOP_ELEMENT_NOT_FOUND";
inline constexpr std::string_view kElementConditionVerified = "DESKTOP_ELEMENT_CONDITION_VERIFIED";
inline constexpr std::string_view kElementActionVerified = "DESKTOP_ELEMENT_ACTION_VERIFIED";
inline constexpr std::string_view kElementGuidance =
    "Inspect the verified predicate and exact target. A semantic UIA action is not a physical click; never replay "
    "uncertain input.";
inline constexpr std::string_view kLaunchGuidance =
    "The broker may launch the authorized application in this user session.";
inline constexpr std::string_view kWindowSourceGuidance =
    "Window-source image only; do not map these pixels to physical input coordinates. Re-observe before any "
    "separately authorized input.";
inline constexpr std::string_view kFocusGuidance = "Observe the focused window before input.";
inline constexpr std::string_view kInputAccepted = "DESKTOP_INPUT_ACCEPTED";
inline constexpr std::string_view kInputGuidance =
    "Inspect/capture again to verify the application outcome. Do not replay this input.";

// The banner of a launch goes above this fixed rectangle.
inline constexpr Rect kLaunchNoticeTarget{0, 0, 460, 32};

// Everything the executor reaches the desktop through.
struct ExecutorPorts {
  DesktopPorts desktop;
  DesktopSys& readiness;
  NoticeSys& notice;
  DuplicationSys& duplication;
  WindowCaptureSys& window_capture;
  uia::ComSys& com;
  uia::ControlSys& controls;
  InputOwnerSys& owner;
};

// One desktop request. `dispatched` (false on entry) becomes true as soon as
// input or a semantic action may have reached the desktop. An error's
// outermost message is its "DESKTOP_" code; typed errors carry the
// diagnostic the failure response gets (`copy_failure_diagnostics`).
Result<Response> execute_desktop_operation(const ExecutorPorts& ports, const Request& request,
                                           const std::optional<ArmedInputPolicy>& input_policy, bool& dispatched);

// Copies the typed diagnostics an executor error carries into the failure
// response: a changed target, a screen-capture failure, a window-capture
// failure, an element-action failure, a notice-proof failure and a readiness
// snapshot, each into its member; a visibility failure replaces the
// response's guidance.
void copy_failure_diagnostics(const Error& error, Response& response);

}  // namespace vor::desktop
