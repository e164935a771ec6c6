// Window and process observation: the `Window` records that observations
// return and later actions echo back.
//
// The executor snapshots a target again before it acts and compares the two
// (`compare_window_snapshots`, `TargetChanged`); inspect lists windows
// (`list_windows`) and find_windows searches them (`find_matching_windows`,
// retrying in 50 ms slices until the operation's deadline). The readiness
// checks the worker repeats everywhere (`check_input_desktop`,
// `read_last_input_tick`) live here too, so that observation needs nothing
// above this module. Everything goes through `DesktopPorts`.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/time.h"
#include "native/ports.h"
#include "protocol/diagnostics.h"
#include "protocol/observation.h"
#include "protocol/request.h"

namespace vor::desktop {

inline constexpr std::string_view kWindowUnavailable = "DESKTOP_WINDOW_UNAVAILABLE";
inline constexpr std::string_view kWindowBoundsInvalid = "DESKTOP_WINDOW_BOUNDS_INVALID";
inline constexpr std::string_view kTargetChangedCode = "DESKTOP_TARGET_CHANGED";
inline constexpr std::string_view kObservationStale = "DESKTOP_OBSERVATION_STALE";
inline constexpr std::string_view kHumanInputChanged = "DESKTOP_HUMAN_INPUT_CHANGED";
inline constexpr std::string_view kHumanInputActive = "DESKTOP_HUMAN_INPUT_ACTIVE";
inline constexpr std::string_view kWindowQueryTimeout = "DESKTOP_WINDOW_QUERY_TIMEOUT";
inline constexpr std::string_view kWindowSearchLimit = "DESKTOP_WINDOW_SEARCH_LIMIT";
inline constexpr std::string_view kLockedOrUnavailable = "DESKTOP_LOCKED_OR_UNAVAILABLE";
inline constexpr std::string_view kInputStateUnavailable = "DESKTOP_INPUT_STATE_UNAVAILABLE";
inline constexpr std::string_view kCaptureEnvironmentUnavailable = "DESKTOP_CAPTURE_ENVIRONMENT_UNAVAILABLE";
inline constexpr std::string_view kCaptureWindowSourceUnavailable = "DESKTOP_CAPTURE_WINDOW_SOURCE_UNAVAILABLE";
inline constexpr std::string_view kCaptureProtectedContent = "DESKTOP_CAPTURE_PROTECTED_CONTENT";

// The only input desktop on which the worker acts.
inline constexpr std::u16string_view kDefaultDesktopName = u"Default";

// Titles: GetWindowTextW into 256 units (at most 255 characters read), at
// most 160 characters kept after cleaning.
inline constexpr std::size_t kTitleReadUnits = 256;
inline constexpr std::size_t kTitleMaxCharacters = 160;

// Each side of a window: 1 to 8192 pixels.
inline constexpr std::int64_t kMaxWindowSide = 8192;

// An observation is fresh from 0 to 15,000 ms after its `observedAt`.
inline constexpr std::int64_t kObservationMaxAgeMs = 15000;

inline constexpr std::size_t kInspectMaxWindows = 64;
inline constexpr std::size_t kSearchMaxVisited = 1024;
inline constexpr std::size_t kSearchMaxMatches = 32;

// The virtual keys scanned for a held key: 1 to 254.
inline constexpr int kFirstScannedKey = 1;
inline constexpr int kLastScannedKey = 254;

// --- readiness checks the observations repeat ---

// The input desktop must be named "Default"; else "DESKTOP_LOCKED_OR_UNAVAILABLE"
// (no Win32 error attached).
Status check_input_desktop(WindowSys& windows);

// The session's last-input tick; "DESKTOP_INPUT_STATE_UNAVAILABLE".
Result<std::uint32_t> read_last_input_tick(InputSys& input);

// The first virtual key 1..254 whose high bit is set, if any.
std::optional<int> first_held_key(InputSys& input);
// "DESKTOP_HUMAN_INPUT_ACTIVE" while a key or button is held.
Status check_no_key_held(InputSys& input);

// --- window records ---

struct WindowSize {
  std::int64_t width = 0;
  std::int64_t height = 0;
};

// Width and height (computed in 64 bits), each 1 to 8192, else
// "DESKTOP_WINDOW_BOUNDS_INVALID".
Result<WindowSize> check_window_size(const Rect& rect);

// Age of an observation in whole milliseconds, truncated toward zero.
std::int64_t observation_age_ms(Time observed_at, Time now);
// Age 0 to 15,000 ms, else "DESKTOP_OBSERVATION_STALE" (also for a future time).
Status check_observation_age(Time observed_at, Time now);

// A fresh `Window` of a top-level window of `session`, visible and, unless
// `minimized_allowed`, not minimized.
Result<Window> snapshot_window(const DesktopPorts& ports, WindowHandle window, std::uint32_t session,
                               bool minimized_allowed);

// Which properties of the observed target differ in the fresh snapshot.
TargetDiagnostic compare_window_snapshots(const Window& observed, const Window& fresh, TargetPhase phase,
                                          bool compare_foreground);
// Process identity, bounds or foreground changed (human input alone is not a change).
bool target_changed(const TargetDiagnostic& diagnostic);

// The typed error of a changed target: display text "DESKTOP_TARGET_CHANGED",
// found in the chain with `find<TargetChanged>()`.
struct TargetChanged {
  TargetDiagnostic diagnostic;
  std::string debug() const;  // "TargetChanged { phase: ..., processIdentityChanged: ..., ... }"
};
Error target_changed_error(const TargetDiagnostic& diagnostic);

// Re-observes the target and refuses a changed one (phase before_input,
// foreground not compared); with `input_checks` also a stale observation,
// human input since it, and a held key.
Result<Window> check_observation(const DesktopPorts& ports, const Window& observed, std::uint32_t session,
                                 bool input_checks);

// The windows of inspect: at most 64 titled windows of `session`, in
// enumeration order (windows that fail their snapshot are skipped).
std::vector<Window> list_windows(const DesktopPorts& ports, std::uint32_t session);

// The windows of `session` matching `selector`, retrying every 50 ms until
// `timeout_ms` elapsed; an empty list when none appeared.
Result<std::vector<Window>> find_matching_windows(const DesktopPorts& ports, std::uint32_t session,
                                                  const WindowSelector& selector, std::uint32_t timeout_ms);

struct CloakedState {
  bool query_succeeded = false;
  std::uint32_t cloaked = 0;
};
CloakedState is_window_cloaked(WindowSys& windows, WindowHandle window);

}  // namespace vor::desktop
