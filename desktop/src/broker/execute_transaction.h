// The execute transaction: the broker's handling of one request, from its
// bytes to exactly one command-line document.
//
// Under the state root's `.gate` it answers a known operation id from its
// receipt (a replay never reaches the desktop), refuses a changed request
// under a known id, fences mutating work while an earlier mutating outcome
// is unsettled, writes a "running" receipt before a worker exists, runs the
// worker exchange, starts the application of a validated `launch`, stores a
// capture's image, and completes the receipt "finished" or "unknown".
//
//   ExecutePorts ports{state, [&] { return make_win32_worker_launch(io); }};
//   auto document = execute_transaction(ports, bytes, "C:\\state", std::nullopt);
//
// Called by the `execute` verb (`run_execute`) and the session host.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "broker/worker_readiness.h"
#include "common/error.h"
#include "protocol/messages.h"
#include "standalone/cli/cli_documents.h"
#include "standalone/cli/commands.h"
#include "standalone/cli/operation_status.h"
#include "windows/worker_launch.h"

namespace vor::desktop {

inline constexpr std::string_view kIdempotencyConflict = "DESKTOP_IDEMPOTENCY_CONFLICT";
inline constexpr std::string_view kInputFenced = "DESKTOP_INPUT_FENCED";
inline constexpr std::string_view kApplicationStarted = "DESKTOP_APPLICATION_STARTED";
inline constexpr std::string_view kApplicationStartFailed = "DESKTOP_APPLICATION_START_FAILED";

inline constexpr std::string_view kDeliveryNotConfirmed =
    "DESKTOP_OUTCOME_UNKNOWN: request delivery was not confirmed; do not replay";
inline constexpr std::string_view kResponseNotConfirmed =
    "DESKTOP_OUTCOME_UNKNOWN: worker response was not confirmed; do not replay";
inline constexpr std::string_view kResponseIdentityMismatch =
    "DESKTOP_OUTCOME_UNKNOWN: worker response identity mismatch; do not replay";
inline constexpr std::string_view kInspectBeforeInput =
    "DESKTOP_OUTCOME_UNKNOWN: inspect before another input; do not replay";

inline constexpr std::string_view kApplicationStartedGuidance =
    "Observe the application's window; starting a process is not proof of installation or task completion.";
inline constexpr std::string_view kCompletionFailureGuidance =
    "Read the original operation status, observe and verify before reconciling; do not replay input.";

// The whole exchange with the worker (send, response, the worker's end).
inline constexpr std::chrono::milliseconds kExchangeLimit{15000};
inline constexpr std::chrono::milliseconds kWorkerEndPoll{10};

// The input policy as the caller hands it: absent (the one-shot verb), an
// armed policy, or a refusal to report.
using InputPolicyArgument = std::optional<Result<ArmedInputPolicy>>;

struct ExecutePorts {
  StatePorts& state;
  // A fresh launch of one worker.
  std::function<std::unique_ptr<WorkerLaunchSys>()> launch;
  ReadinessLimits readiness{};
};

// Failures of the request bytes themselves (too large, undecodable, a compact
// form larger than a request frame) come back as errors; every later failure
// is an error document here, naming the operation id when it is a valid one.
Result<CliDocument> execute_transaction(ExecutePorts& ports, std::string_view request_bytes,
                                        std::string_view state_dir, const InputPolicyArgument& policy);

// `execute`: reads the request file (at most 16,384 bytes) and runs the
// transaction with no input policy.
Result<CliDocument> run_execute(ExecutePorts& ports, const cmd::Execute& command);

}  // namespace vor::desktop
