#include "broker/probe.h"

#include "broker/worker_readiness.h"
#include "protocol/diagnostics.h"

namespace vor::desktop {

Status probe_session(std::unique_ptr<WorkerLaunchSys> launch, ProcSys& processes, std::uint32_t session, Clock& clock) {
  VOR_ASSIGN_OR_RETURN(auto worker, start_worker(std::move(launch), processes, session));
  VOR_RETURN_IF_ERROR(await_worker_ready(worker, processes, clock, session, /*execute=*/false, std::nullopt));

  const Clock::Monotonic deadline = clock.monotonic_now() + kWorkerExitWait;
  for (;;) {
    auto running = worker.process->running();
    if (running && !*running) return {};
    if (clock.monotonic_now() >= deadline) {
      return fail(not_sent(Error("DESKTOP_WORKER_EXIT_UNCONFIRMED"), StartupPhase::kWorkerReadiness));
    }
    clock.sleep(kWorkerExitPoll);
  }
}

}  // namespace vor::desktop
