// What the session host does with one authenticated `Rpc`: the dispatch
// table of the nine session actions. `execute` and `reconcile` run inside a
// lease operation (begun before the work, ended after it whether the work
// succeeded or not); `status`, `operationStatus`, `exportImage`, `close` and
// the fullscreen kinds leave the lease alone. The broker work itself is the
// same code the one-shot verbs run, handed in as `HostBroker`.
//
//   HostSession session{session_id, state_dir, lease, ledger, broker};
//   CliDocument result = dispatch_session_action(session, rpc.action);
//   if (session.end_after_client) ...
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "protocol/messages.h"
#include "session/lease.h"
#include "standalone/cli/cli_documents.h"
#include "standalone/cli/commands.h"
#include "standalone/state/fullscreen_ledger.h"

namespace vor::desktop {

inline constexpr std::string_view kSessionExpired = "DESKTOP_SESSION_EXPIRED";

// The broker work behind the session actions, bound by the composition root.
// An empty member answers its action as not available in this build
// ("DESKTOP_OPERATION_FAILED").
struct HostBroker {
  // The execute transaction over the compactly encoded request and the state
  // directory. `input_policy` is the refusal the transaction must report as
  // its input policy (the operation id was reserved by a fullscreen pilot),
  // or nullopt for none.
  std::function<Result<CliDocument>(std::string_view request, std::string_view state_dir,
                                    const std::optional<Error>& input_policy)>
      execute;
  std::function<Result<CliDocument>(const cmd::Status&)> operation_status;
  std::function<Result<CliDocument>(const cmd::ImageExport&)> export_image;
  std::function<Result<CliDocument>(const cmd::Reconcile&)> reconcile;
};

// The host's state that the dispatch reads and changes.
struct HostSession {
  std::uint32_t session_id = 0;  // the host's --session-id
  std::string state_dir;         // the caller's --state-dir
  SessionLease& lease;
  const FullscreenLedger& ledger;  // the operation ids read at start-up
  HostBroker& broker;
  bool end_after_client = false;  // set by `close`
};

// The result document of one action.
CliDocument dispatch_session_action(HostSession& host, const SessionAction& action);

// The error document of an authentication failure: the failure's code
// without an operation id, with `win32Error` when the chain carries an OS
// error.
CliDocument authentication_failure_document(const Error& error);

// True when the result's `code` is a state write or protection failure,
// after which the host answers and then ends.
bool result_ends_host(const CliDocument& result);

}  // namespace vor::desktop
