// The broker's probe of a session: start a worker, run the readiness
// exchange without execution, wait for the worker to end.
//
//   Status s = probe_session(make_win32_worker_launch(io), processes, session, system_clock());
//
// `make_win32_probe_sys` is the Win32 adapter that the composition root
// builds for the `probe` verb (each probe launches its worker through
// `make_win32_worker_launch`).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>

#include "common/error.h"
#include "native/clock.h"
#include "native/ports.h"
#include "standalone/cli/probe.h"
#include "windows/worker_launch.h"

namespace vor::desktop {

inline constexpr std::chrono::milliseconds kWorkerExitWait{3000};
inline constexpr std::chrono::milliseconds kWorkerExitPoll{10};

// Success when the worker authenticated, was told not to execute and ended
// within 3 seconds; "DESKTOP_WORKER_EXIT_UNCONFIRMED" (phase workerReadiness)
// when it is still running then.
Status probe_session(std::unique_ptr<WorkerLaunchSys> launch, ProcSys& processes, std::uint32_t session, Clock& clock);

// The Win32 probe ports over the program's process port (Windows only).
std::unique_ptr<ProbeSys> make_win32_probe_sys(ProcSys& processes);

}  // namespace vor::desktop
