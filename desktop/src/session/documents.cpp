#include "session/documents.h"

#include <string>

namespace vor::desktop {
namespace {

using json::Member;
using json::Object;
using json::Value;

json::Value fullscreen_diagnostic() {
  return Value(Object{
      Member{"active", false},
      Member{"authorizationRestoredFromReceipt", false},
      Member{"code", kFullscreenUnsupportedCode},
      Member{"compiled", false},
      Member{"schemaVersion", kFullscreenSchemaVersion},
      Member{"statusRenewsLease", false},
      Member{"supported", false},
  });
}

}  // namespace

// Members are inserted in ascending byte order of their keys, so the held
// order and the sorted writer agree.
json::Value session_status_document(std::uint32_t session_id, std::chrono::nanoseconds remaining) {
  const auto whole = remaining > std::chrono::nanoseconds::zero()
                         ? std::chrono::duration_cast<std::chrono::seconds>(remaining).count()
                         : 0;
  return Value(Object{
      Member{"code", kSessionReadyCode},
      Member{"fullscreenDiagnostic", fullscreen_diagnostic()},
      Member{"idleRemainingSeconds", static_cast<std::uint64_t>(whole)},
      Member{"idleTimeoutSeconds", static_cast<std::uint64_t>(kLeaseIdleTimeout.count())},
      Member{"running", true},
      Member{"schemaVersion", kSessionSchemaVersion},
      Member{"sessionId", session_id},
      Member{"statusRenewsIdle", false},
      Member{"targetApplicationsClosed", false},
  });
}

json::Value session_status_document(std::uint32_t session_id, const SessionLease& lease) {
  return session_status_document(session_id, idle_remaining_seconds(lease));
}

json::Value session_closed_document(std::uint32_t session_id) {
  return Value(Object{
      Member{"code", kSessionClosedCode},
      Member{"running", false},
      Member{"schemaVersion", kSessionSchemaVersion},
      Member{"sessionId", session_id},
      Member{"targetApplicationsClosed", false},
  });
}

}  // namespace vor::desktop
