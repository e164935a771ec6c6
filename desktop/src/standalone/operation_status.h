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
#include "standalone/cli_documents.h"
#include "standalone/commands.h"
#include "standalone/receipt.h"
#include "standalone/state_store.h"

namespace vor::desktop {

inline constexpr std::string_view kProcessStateUnavailable = "DESKTOP_PROCESS_STATE_UNAVAILABLE";
inline constexpr std::string_view kOutcomeUnknown = "DESKTOP_OUTCOME_UNKNOWN";
inline constexpr std::string_view kOperationRunning = "DESKTOP_OPERATION_RUNNING";
inline constexpr std::string_view kOutcomeReconciled = "DESKTOP_OUTCOME_RECONCILED";
inline constexpr std::string_view kOperationFinished = "DESKTOP_OPERATION_FINISHED";

inline constexpr std::string_view kUnsettledSentence =
    "Observe and verify the same session, then explicitly reconcile; never replay input.";
inline constexpr std::string_view kSettledSentence =
    "Inspect the result; observe again to verify application effects. An expired image requires a new observation.";
inline constexpr std::string_view kImageProtection = "windows_dpapi_machine_v1";
inline constexpr std::string_view kPngMimeType = "image/png";

// Process liveness, raw calls only.
class ProcessLiveness {
 public:
  // A process opened with PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
  // the destructor closes it.
  class Process {
   public:
    virtual ~Process() = default;
    // GetProcessTimes: the creation FILETIME.
    virtual Result<std::uint64_t> creation_time() = 0;
    // WaitForSingleObject with a zero wait: true when signalled (the process
    // ended), false when the wait timed out.
    virtual Result<bool> has_exited() = 0;
  };
  virtual ~ProcessLiveness() = default;
  // OpenProcess; its OS error on failure.
  virtual Result<std::unique_ptr<Process>> open(std::uint32_t process_id) = 0;
};

#ifdef _WIN32
std::unique_ptr<ProcessLiveness> make_win32_process_liveness();
#endif

// The ports of the state verbs, owned by the composition root.
struct StatePorts {
  StateContext ctx;
  CallerIdentity& identity;
  ProcessLiveness& processes;
};

// True while the process with this id and creation time still runs. An id
// that no process has (ERROR_INVALID_PARAMETER) or another creation time is
// gone; any other failure is "DESKTOP_PROCESS_STATE_UNAVAILABLE" over it.
Result<bool> operation_process_runs(ProcessLiveness& processes, std::uint32_t process_id, std::uint64_t created);

// The status document of a receipt at the clock's time. Never fails on
// liveness: an unreadable process state reports "unknown" as well.
Result<CliDocument> operation_status_document(StatePorts& ports, const StateRoot& root, const Receipt& receipt);

// `status`: the receipt of the operation, read without the gate.
Result<CliDocument> run_status(StatePorts& ports, const cmd::Status& command);

}  // namespace vor::desktop
