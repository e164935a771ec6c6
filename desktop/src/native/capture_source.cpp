#include "native/capture_source.h"

#include "native/observation.h"
#include "native/validation.h"

namespace vor::desktop {

Result<Window> check_window_capture_source(const DesktopPorts& ports, const Request& request, TargetPhase phase,
                                           const std::function<Status()>& check_session_ready) {
  const auto* action = std::get_if<CaptureWindow>(&request.action);
  if (!action) return fail(std::string(kCaptureWindowSourceUnavailable));
  const Window& observed = action->window;

  if (auto s = check_input_desktop(ports.windows); !s) return fail(std::move(s.error()));
  if (auto s = check_session_ready(); !s) {
    if (s.error().outermost() == kLockedOrUnavailable) return fail(std::move(s.error()));
    return fail(std::string(kCaptureEnvironmentUnavailable));
  }
  if (auto s = validate_action_request(request, ports.clock.utc_now()); !s) return fail(std::move(s.error()));
  auto fresh = snapshot_window(ports, observed.handle, request.session_id, false);
  if (!fresh) return fail(std::move(fresh.error()));
  const TargetDiagnostic d = compare_window_snapshots(observed, *fresh, phase, false);
  if (target_changed(d)) return fail(target_changed_error(d));
  if (d.human_input_changed) return fail(std::string(kHumanInputChanged));
  const CloakedState cloaked = is_window_cloaked(ports.windows, observed.handle);
  if (!cloaked.query_succeeded || cloaked.cloaked != 0 || ports.windows.root_ancestor(observed.handle) != observed.handle) {
    return fail(std::string(kCaptureWindowSourceUnavailable));
  }
  // A failing affinity query passes: only a known protection refuses.
  if (auto affinity = ports.windows.display_affinity(observed.handle); affinity && *affinity != 0) {
    return fail(std::string(kCaptureProtectedContent));
  }
  return fresh;
}

}  // namespace vor::desktop
