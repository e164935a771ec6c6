// Whether a window may be captured on its own (capture_window), checked
// before and after the capture.
//
// The session readiness check belongs to the readiness module, which builds
// on this one; the caller passes it in:
//
//   auto fresh = check_window_capture_source(ports, request, TargetPhase::kBeforeCapture,
//                                            [&] { return check_session_ready(...); });
#pragma once

#include <functional>

#include "common/error.h"
#include "native/ports.h"
#include "protocol/diagnostics.h"
#include "protocol/request.h"

namespace vor::desktop {

// In order: input desktop; session readiness ("DESKTOP_LOCKED_OR_UNAVAILABLE"
// passes unchanged, any other failure becomes
// "DESKTOP_CAPTURE_ENVIRONMENT_UNAVAILABLE"); request validation; a fresh
// snapshot (not minimized) compared with the observed window (foreground not
// compared); human input since the observation; the window neither cloaked
// (nor the query failing) and its own root; no display affinity. Returns the
// fresh window. `request` must be of kind capture_window.
Result<Window> check_window_capture_source(const DesktopPorts& ports, const Request& request, TargetPhase phase,
                                           const std::function<Status()>& check_session_ready);

}  // namespace vor::desktop
