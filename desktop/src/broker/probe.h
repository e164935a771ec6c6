// The broker's probe of a session: start a worker, run the readiness
// exchange without execution, wait for the worker to end.
//
//   Status s = probe_session(make_win32_worker_launch(io), processes, session, system_clock());
//
// `make_win32_probe_sys` is the Win32 adapter that the composition root
// builds for the `probe` verb, with the launcher each probe starts its
// worker through (`make_win32_worker_launch`).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include <asio.hpp>

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

// Makes the launch of one worker whose pipe I/O runs on the given context.
using WorkerLauncher = std::function<std::unique_ptr<WorkerLaunchSys>(asio::io_context&)>;

// The Win32 probe ports over the program's process port and worker
// launcher, both handed in by the composition root (Windows only).
std::unique_ptr<ProbeSys> make_win32_probe_sys(ProcSys& processes, WorkerLauncher launcher);

}  // namespace vor::desktop
