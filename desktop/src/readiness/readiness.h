// Desktop readiness: whether the worker's session is one a person is using
// and can see. `query_readiness` takes the snapshot that responses carry as
// `noticeContext`; `check_session_ready` is the check that the notice banner,
// the pixel proof, the guards and the captures repeat. The input-desktop and
// last-input checks they also repeat are `check_input_desktop` and
// `read_last_input_tick` of native/observation.h.
//
//   if (auto ready = check_session_ready(ports, desktop); !ready) return fail(std::move(ready.error()));
//   response.notice_context = query_readiness(ports, desktop, session);
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "native/observation.h"
#include "native/ports.h"
#include "protocol/diagnostics.h"
#include "readiness/desktop_sys.h"

namespace vor::desktop {

inline constexpr std::string_view kNoticeProofUnavailable = "DESKTOP_NOTICE_PROOF_UNAVAILABLE";

// WTSActive: the only connection state in which the worker acts.
inline constexpr std::uint32_t kSessionStateActive = 0;

// The raw answers of the snapshot's queries, in the order they are asked.
// A query that is not asked (no foreground window, no monitor) is absent.
struct ReadinessFacts {
  std::uint32_t session = 0;
  DesktopSys::HresultValue notification;
  Win32<std::int32_t> screensaver = 0;
  DesktopSys::HresultValue composition;
  Win32<std::u16string> input_desktop = std::u16string();
  WindowHandle foreground = 0;
  std::uint32_t foreground_process_id = 0;
  std::optional<Win32<Rect>> foreground_rect;
  MonitorHandle monitor = 0;
  std::optional<Win32<Rect>> monitor_rect;
  Time observed_at{};
  Win32<std::uint32_t> last_input_tick = 0u;
  std::uint32_t tick_count = 0;
  std::optional<std::uint64_t> foreground_process_created;
  bool foreground_minimized = false;
};

// Asks every question of the snapshot in this order: notification state,
// screen saver, composition, input desktop, foreground window and its
// process id, its rectangle, its monitor and the monitor's rectangle, the
// UTC time, the last-input tick and the tick count, the process creation
// time, the minimized state.
ReadinessFacts collect_readiness_facts(const DesktopPorts& ports, DesktopSys& desktop, std::uint32_t session);

// The `NoticeContext` of those answers. Nothing fails: a question without an
// answer leaves its field absent (with its error number where it has one).
NoticeContext assemble_notice_context(const ReadinessFacts& facts);

// "query_failed" for a failed query, else the state's name ("unknown" for a
// value outside 1 to 7).
std::string_view notification_state_name(std::int32_t hresult, std::int32_t state);

// The snapshot of `session`; never fails.
NoticeContext query_readiness(const DesktopPorts& ports, DesktopSys& desktop, std::uint32_t session);

// The worker's own session must be active, its input desktop "Default", the
// screen saver known not to run and composition known to be on. A failure
// to read the process's session is returned unchanged; a session that is
// not active or an input desktop other than "Default" is
// "DESKTOP_LOCKED_OR_UNAVAILABLE", and an unconfirmed screen saver or
// composition "DESKTOP_NOTICE_PROOF_UNAVAILABLE". Both refusals carry the
// snapshot that caused them as their typed detail (`find<NoticeContext>()`),
// which the worker copies into its failure response.
Status check_session_ready(const DesktopPorts& ports, DesktopSys& desktop);

}  // namespace vor::desktop
