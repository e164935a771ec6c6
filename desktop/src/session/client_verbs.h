// The session verbs a caller runs against a session host: `session-start`
// starts one (or finds the running one) and confirms it; the others send one
// request to the running host and return its answer as their document. The
// program entry hands them the parsed command and prints what they return.
//
//   auto document = run_session_client_command(ports, command);
//
// Without a host, `session-status` answers the closed document rather than
// an error; `session-execute` answers failures after its request was decoded
// as an error document naming the request's operation id.
#pragma once

#include <chrono>

#include "common/error.h"
#include "common/json.h"
#include "session/client.h"
#include "standalone/cli/commands.h"

namespace vor::desktop {

inline constexpr std::string_view kSessionStartUnconfirmed = "DESKTOP_SESSION_START_UNCONFIRMED";
inline constexpr std::string_view kSessionCloseUnconfirmed = "DESKTOP_SESSION_CLOSE_UNCONFIRMED";

// `session-start` confirms its host within 8 s, one attempt every 30 ms;
// `session-close` watches the host end for 5 s, every 20 ms.
inline constexpr std::chrono::milliseconds kStartConfirmLimit{8000};
inline constexpr std::chrono::milliseconds kStartConfirmInterval{30};
inline constexpr std::chrono::milliseconds kCloseConfirmLimit{5000};
inline constexpr std::chrono::milliseconds kCloseConfirmInterval{20};

Result<json::Value> run_session_start(SessionClientPorts& ports, const cmd::SessionStart& command);
Result<json::Value> run_session_status(SessionClientPorts& ports, const cmd::SessionStatus& command);
Result<json::Value> run_session_close(SessionClientPorts& ports, const cmd::SessionClose& command);
Result<json::Value> run_session_execute(SessionClientPorts& ports, const cmd::SessionExecute& command);
Result<json::Value> run_session_operation_status(SessionClientPorts& ports,
                                                 const cmd::SessionOperationStatus& command);
Result<json::Value> run_session_image_export(SessionClientPorts& ports, const cmd::SessionImageExport& command);
Result<json::Value> run_session_reconcile(SessionClientPorts& ports, const cmd::SessionReconcile& command);

// Every session verb but the hidden `session-host`, which is the host's own
// role and is refused here.
Result<json::Value> run_session_client_command(SessionClientPorts& ports, const SessionCommand& command);

}  // namespace vor::desktop
