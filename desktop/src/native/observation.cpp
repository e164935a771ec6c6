#include "native/observation.h"

#include <chrono>
#include <limits>

#include "native/deadline.h"
#include "native/desktop_text.h"
#include "native/process_identity.h"

namespace vor::desktop {

Status check_input_desktop(WindowSys& windows) {
  auto name = windows.input_desktop_name();
  if (!name || *name != kDefaultDesktopName) return fail(coded(kLockedOrUnavailable));
  return {};
}

Result<std::uint32_t> read_last_input_tick(InputSys& input) {
  auto tick = input.last_input_tick();
  if (!tick) return fail(coded(kInputStateUnavailable));
  return *tick;
}

std::optional<int> first_held_key(InputSys& input) {
  for (int key = kFirstScannedKey; key <= kLastScannedKey; ++key) {
    if (static_cast<std::uint16_t>(input.async_key_state(key)) & 0x8000) return key;
  }
  return std::nullopt;
}

Status check_no_key_held(InputSys& input) {
  if (first_held_key(input)) return fail(coded(kHumanInputActive));
  return {};
}

Result<WindowSize> check_window_size(const Rect& rect) {
  const WindowSize size{std::int64_t{rect.right} - rect.left, std::int64_t{rect.bottom} - rect.top};
  if (size.width < 1 || size.width > kMaxWindowSide || size.height < 1 || size.height > kMaxWindowSide) {
    return fail(coded(kWindowBoundsInvalid));
  }
  return size;
}

std::int64_t observation_age_ms(Time observed_at, Time now) {
  // The difference saturates for instants more than 292 years apart, and
  // integer division truncates toward zero, also for a negative age.
  return (now - observed_at).count() / 1'000'000;
}

Status check_observation_age(Time observed_at, Time now) {
  const std::int64_t age = observation_age_ms(observed_at, now);
  if (age < 0 || age > kObservationMaxAgeMs) return fail(coded(kObservationStale));
  return {};
}

Result<Window> snapshot_window(const DesktopPorts& ports, WindowHandle window, std::uint32_t session,
                               bool minimized_allowed) {
  const std::uint32_t process_id = ports.windows.window_process_id(window);
  VOR_ASSIGN_OR_RETURN(auto process_session, process_session_id(ports.processes, process_id));
  if (process_session != session || !ports.windows.is_visible(window) ||
      (!minimized_allowed && ports.windows.is_minimized(window))) {
    return fail(coded(kWindowUnavailable));
  }
  VOR_ASSIGN_OR_RETURN(auto process, open_process(ports.processes, process_id));
  auto created = process->creation_time();
  if (!created) return fail(coded(kWindowUnavailable));
  auto rect = ports.windows.window_rect(window);
  if (!rect) return fail(coded(kWindowUnavailable));
  VOR_RETURN_IF_ERROR(check_window_size(*rect));

  Window fresh;
  fresh.handle = window;
  fresh.process_id = process_id;
  fresh.process_created = *created;
  fresh.rect = *rect;
  fresh.title = clean_desktop_text(ports.windows.window_text(window, kTitleReadUnits), kTitleMaxCharacters);
  fresh.minimized = ports.windows.is_minimized(window);
  fresh.observed_at = ports.clock.utc_now();
  VOR_ASSIGN_OR_RETURN(auto tick, read_last_input_tick(ports.input));
  fresh.last_input_tick = tick;
  fresh.foreground = window == ports.windows.foreground_window();
  return fresh;
}

TargetDiagnostic compare_window_snapshots(const Window& observed, const Window& fresh, TargetPhase phase,
                                          bool compare_foreground) {
  TargetDiagnostic d;
  d.phase = phase;
  d.process_identity_changed =
      observed.process_id != fresh.process_id || observed.process_created != fresh.process_created;
  d.bounds_changed = observed.rect.left != fresh.rect.left || observed.rect.top != fresh.rect.top ||
                     observed.rect.right != fresh.rect.right || observed.rect.bottom != fresh.rect.bottom ||
                     observed.minimized != fresh.minimized;
  // An observation that was not of the foreground window counts as changed
  // even when the window is in the foreground now.
  d.foreground_changed = compare_foreground && !(observed.foreground && fresh.foreground);
  d.human_input_changed = observed.last_input_tick != fresh.last_input_tick;
  d.input_dispatched = false;
  return d;
}

bool target_changed(const TargetDiagnostic& d) {
  return d.process_identity_changed || d.bounds_changed || d.foreground_changed;
}

// The diagnostic's members in declaration order, texts bare, flags as words.
std::string TargetChanged::debug() const {
  std::string out = "TargetChanged { ";
  const json::Value tree = target_tree(diagnostic);
  bool first = true;
  for (const json::Member& member : *tree.as_object()) {
    if (!first) out += ", ";
    first = false;
    out += member.key;
    out += ": ";
    const std::string* text = member.value.as_string();
    out += text ? *text : json::to_string(member.value);
  }
  out += " }";
  return out;
}

Error target_changed_error(const TargetDiagnostic& diagnostic) {
  return Error::with(std::string(kTargetChangedCode), TargetChanged{diagnostic});
}

Result<Window> check_observation(const DesktopPorts& ports, const Window& observed, std::uint32_t session,
                                 bool input_checks) {
  VOR_RETURN_IF_ERROR(check_input_desktop(ports.windows));
  VOR_ASSIGN_OR_RETURN(auto fresh, snapshot_window(ports, observed.handle, session, false));
  const TargetDiagnostic d = compare_window_snapshots(observed, fresh, TargetPhase::kBeforeInput, false);
  if (target_changed(d)) return fail(target_changed_error(d));
  if (!input_checks) return fresh;
  VOR_RETURN_IF_ERROR(check_observation_age(observed.observed_at, ports.clock.utc_now()));
  if (d.human_input_changed) return fail(coded(kHumanInputChanged));
  VOR_RETURN_IF_ERROR(check_no_key_held(ports.input));
  return fresh;
}

std::vector<Window> list_windows(const DesktopPorts& ports, std::uint32_t session) {
  std::vector<Window> listed;
  // The enumeration's own result says nothing about the windows it listed.
  (void)ports.windows.enum_windows([&](WindowHandle window) {
    if (listed.size() >= kInspectMaxWindows) return false;
    auto snapshot = snapshot_window(ports, window, session, true);
    if (snapshot && !snapshot->title.empty()) listed.push_back(std::move(*snapshot));
    return true;
  });
  return listed;
}

namespace {

// State of one enumeration of the window search.
struct MatchState {
  std::vector<Window> matches;
  std::size_t visited = 0;
  bool stopped_at_limit = false;
  bool stopped_at_deadline = false;
};

bool match_window(const DesktopPorts& ports, std::uint32_t session, const WindowSelector& selector,
                  const OperationDeadline& deadline, MatchState& state, WindowHandle window) {
  ++state.visited;
  // A window visited after 32 matches fails the search even if it would not match.
  if (state.visited > kSearchMaxVisited || state.matches.size() >= kSearchMaxMatches) {
    state.stopped_at_limit = true;
    return false;
  }
  if (deadline.expired()) {
    state.stopped_at_deadline = true;
    return false;
  }
  auto snapshot = snapshot_window(ports, window, session, true);
  if (!snapshot) return true;
  if (selector.process_id && *selector.process_id != snapshot->process_id) return true;
  if (selector.title && *selector.title != snapshot->title) return true;
  state.matches.push_back(std::move(*snapshot));
  return true;
}

}  // namespace

Result<std::vector<Window>> find_matching_windows(const DesktopPorts& ports, std::uint32_t session,
                                                  const WindowSelector& selector, std::uint32_t timeout_ms) {
  OperationDeadline deadline(ports.clock, timeout_ms);
  for (;;) {
    VOR_RETURN_IF_ERROR(check_input_desktop(ports.windows));
    MatchState state;
    (void)ports.windows.enum_windows(
        [&](WindowHandle window) { return match_window(ports, session, selector, deadline, state, window); });
    if (state.stopped_at_deadline) return fail(coded(kWindowQueryTimeout));
    if (state.stopped_at_limit) return fail(coded(kWindowSearchLimit));
    if (!state.matches.empty()) return std::move(state.matches);
    if (!deadline.sleep_retry_slice()) return std::vector<Window>{};
  }
}

CloakedState is_window_cloaked(WindowSys& windows, WindowHandle window) {
  auto value = windows.cloaked(window);
  if (!value) return {};
  return {true, *value};
}

}  // namespace vor::desktop
