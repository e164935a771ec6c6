// The broker's probe of a session: start a worker, run the readiness
// exchange without execution, wait for the worker to end.
//
//   Status s = probe_session(make_win32_worker_launch(io), session, system_clock());
//
// `run_probe_command` is the Win32 composition the program entry hands to
// the one-shot runner for the `probe` verb.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "common/error.h"
#include "native/ports.h"
#include "standalone/cli/cli_documents.h"
#include "standalone/cli/commands.h"
#include "windows/worker_launch.h"

namespace vor::desktop {

inline constexpr std::chrono::milliseconds kWorkerExitWait{3000};
inline constexpr std::chrono::milliseconds kWorkerExitPoll{10};

// Success when the worker authenticated, was told not to execute and ended
// within 3 seconds; "DESKTOP_WORKER_EXIT_UNCONFIRMED" (phase workerReadiness)
// when it is still running then.
Status probe_session(std::unique_ptr<WorkerLaunchSys> launch, std::uint32_t session, Clock& clock);

// The probe document for the command (Windows only).
CliDocument run_probe_command(const cmd::Probe& probe);

}  // namespace vor::desktop
