#include "native/capture_source.h"

#include "native/observation.h"
#include "native/validation.h"

namespace vor::desktop {

Result<Window> check_window_capture_source(const DesktopPorts& ports, const Request& request, TargetPhase phase,
                                           const std::function<Status()>& check_session_ready) {
  const auto* action = std::get_if<CaptureWindow>(&request.action);
  if (!action) return fail(coded(kCaptureWindowSourceUnavailable));
  const Window& observed = action->window;

  VOR_RETURN_IF_ERROR(check_input_desktop(ports.windows));
  if (auto s = check_session_ready(); !s) {
    if (s.error().outermost() == kLockedOrUnavailable) return fail(std::move(s.error()));
    return fail(coded(kCaptureEnvironmentUnavailable));
  }
  VOR_RETURN_IF_ERROR(validate_action_request(request, ports.clock.utc_now()));
  VOR_ASSIGN_OR_RETURN(auto fresh, snapshot_window(ports, observed.handle, request.session_id, false));
  const TargetDiagnostic d = compare_window_snapshots(observed, fresh, phase, false);
  if (target_changed(d)) return fail(target_changed_error(d));
  if (d.human_input_changed) return fail(coded(kHumanInputChanged));
  const CloakedState cloaked = is_window_cloaked(ports.windows, observed.handle);
  if (!cloaked.query_succeeded || cloaked.cloaked != 0 || ports.windows.root_ancestor(observed.handle) != observed.handle) {
    return fail(coded(kCaptureWindowSourceUnavailable));
  }
  // A failing affinity query passes: only a known protection refuses.
  if (auto affinity = ports.windows.display_affinity(observed.handle); affinity && *affinity != 0) {
    return fail(coded(kCaptureProtectedContent));
  }
  return fresh;
}

}  // namespace vor::desktop
