// The two documents that describe a session host to its caller: the status
// document (the host's answer to `status`, printed by `session-start` and
// `session-status`) and the closed document (the answer to `close`, the
// host's normal end, and what the client verbs print when no host runs).
// Both carry "vor.desktop-session/v1"; the caller writes them compactly with
// keys in ascending byte order (`json::write_sorted`, as `Reply` does).
//
//   reply.result = session_status_document(session_id, lease);
#pragma once

#include <chrono>
#include <cstdint>
#include <string_view>

#include "common/json.h"
#include "session/lease.h"
#include "standalone/state/fullscreen_ledger.h"

namespace vor::desktop {

inline constexpr std::string_view kSessionSchemaVersion = "vor.desktop-session/v1";
inline constexpr std::string_view kSessionReadyCode = "DESKTOP_SESSION_READY";
inline constexpr std::string_view kSessionClosedCode = "DESKTOP_SESSION_CLOSED";
inline constexpr std::string_view kFullscreenUnsupportedCode = "DESKTOP_FULLSCREEN_UNSUPPORTED";

// The status document for a host of `session_id` whose lease has `remaining`
// left; `idleRemainingSeconds` is its whole seconds, the fraction dropped.
json::Value session_status_document(std::uint32_t session_id, std::chrono::nanoseconds remaining);

// The same over the host's lease; reading the lease does not renew it.
json::Value session_status_document(std::uint32_t session_id, const SessionLease& lease);

// The closed document; the host never closes the applications operations
// launched, so `targetApplicationsClosed` is always false.
json::Value session_closed_document(std::uint32_t session_id);

}  // namespace vor::desktop
