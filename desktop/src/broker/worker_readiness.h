// The broker's half of the readiness exchange with a started worker: wait
// for the worker's connection (raced against its exit), authenticate the
// client, read `WorkerReady`, answer `ReadyAck`.
//
//   VOR_ASSIGN_OR_RETURN(FramePipe* pipe, await_worker_ready(worker, processes, clock, session, /*execute=*/true, policy));
//   pipe->write_frame(encode_request(request), kRequestMaxBytes, limit);   // failures carry their StartupPhase
//
// Called by the probe (execute false) and the execute transaction.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "common/error.h"
#include "native/clock.h"
#include "protocol/messages.h"
#include "protocol/worker_mode_pipe.h"
#include "windows/worker_launch.h"

namespace vor::desktop {

struct ReadinessLimits {
  std::chrono::milliseconds connect{3000};    // for the worker to connect
  std::chrono::milliseconds exit_poll{10};    // how often its exit is checked meanwhile
  std::chrono::milliseconds exchange{3000};   // for `WorkerReady` and `ReadyAck` together
};

// The pipe of a ready worker (owned by `worker`). Every limit runs on `clock`. A worker that reports
// itself not ready fails the exchange with its own code (and Win32 error).
Result<FramePipe*> await_worker_ready(WorkerHandle& worker, ProcSys& processes, Clock& clock,
                                      std::uint32_t expected_session, bool execute,
                                      const std::optional<ArmedInputPolicy>& policy,
                                      const ReadinessLimits& limits = {});

}  // namespace vor::desktop
