// The operation status document of a receipt, and the `status` verb.
//
// `status` only reads: it ensures the state root and loads the receipt, but
// takes neither the `.gate` nor the maintenance pass, so it may run beside a
// command that holds the store. A "running" receipt whose broker process is
// gone is reported "unknown", so the caller knows to observe and reconcile
// rather than wait. `image-export`, `reconcile` and the session host build
// the same document.
//
//   StatePorts ports{make_state_context(fs, dpapi, clock), identity, processes};
//   auto doc = run_status(ports, cmd::Status{"op-1", "C:\\state"});
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "common/error.h"
#include "common/win32_values.h"
#include "native/execution_evidence.h"
#include "native/ports.h"
#include "standalone/cli/cli_documents.h"
#include "standalone/cli/commands.h"
#include "standalone/state/receipt.h"
#include "standalone/state/state_store.h"

namespace vor::desktop {

inline constexpr std::string_view kOperationRunning = "DESKTOP_OPERATION_RUNNING";
inline constexpr std::string_view kOutcomeReconciled = "DESKTOP_OUTCOME_RECONCILED";
inline constexpr std::string_view kOperationFinished = "DESKTOP_OPERATION_FINISHED";

inline constexpr std::string_view kUnsettledSentence =
    "Observe and verify the same session, then explicitly reconcile; never replay input.";
inline constexpr std::string_view kSettledSentence =
    "Inspect the result; observe again to verify application effects. An expired image requires a new observation.";
inline constexpr std::string_view kImageProtection = "windows_dpapi_machine_v1";
inline constexpr std::string_view kPngMimeType = "image/png";


// The ports of the state verbs, owned by the composition root.
struct StatePorts {
  StateContext ctx;
  CallerIdentity& identity;
  ProcSys& processes;
};

// The status document of a receipt at the clock's time. Never fails on
// liveness: an unreadable process state reports "unknown" as well.
Result<CliDocument> operation_status_document(StatePorts& ports, const StateRoot& root, const Receipt& receipt);

// `status`: the receipt of the operation, read without the gate.
Result<CliDocument> run_status(StatePorts& ports, const cmd::Status& command);

}  // namespace vor::desktop
