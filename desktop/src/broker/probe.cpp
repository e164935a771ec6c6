#include "broker/probe.h"

#include "broker/worker_readiness.h"
#include "protocol/diagnostics.h"

namespace vor::desktop {

Status probe_session(std::unique_ptr<WorkerLaunchSys> launch, std::uint32_t session, Clock& clock) {
  auto worker = start_worker(std::move(launch), session);
  if (!worker) return fail(std::move(worker.error()));
  auto pipe = await_worker_ready(*worker, session, /*execute=*/false, std::nullopt);
  if (!pipe) return fail(std::move(pipe.error()));

  const Clock::Monotonic deadline = clock.monotonic_now() + kWorkerExitWait;
  for (;;) {
    auto running = worker->sys->worker_running();
    if (running && !*running) return {};
    if (clock.monotonic_now() >= deadline) {
      return fail(not_sent(Error("DESKTOP_WORKER_EXIT_UNCONFIRMED"), StartupPhase::kWorkerReadiness));
    }
    clock.sleep(kWorkerExitPoll);
  }
}

}  // namespace vor::desktop
