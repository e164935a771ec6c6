#include "standalone/cli/reconcile.h"

#include <chrono>

namespace vor::desktop {
namespace {

std::unexpected<Error> refused(std::string detail) {
  return fail(coded(kReconcileObservationRequired, std::move(detail)));
}

}  // namespace

Result<CliDocument> run_reconcile(StatePorts& ports, const cmd::Reconcile& command) {
  VOR_ASSIGN_OR_RETURN(auto root, ensure_state_directory(ports.ctx.fs, ports.identity, command.state_dir));
  VOR_ASSIGN_OR_RETURN(auto gate, open_gate(ports.ctx.fs, root));
  VOR_ASSIGN_OR_RETURN(auto target, load_operation_receipt(ports.ctx, root, command.operation_id));
  VOR_ASSIGN_OR_RETURN(auto observation, load_operation_receipt(ports.ctx, root, command.observation_id));

  if (!target.mutating) return refused("the operation changed nothing");
  if (!is_unsettled(target.phase)) return refused("the operation is settled");
  VOR_ASSIGN_OR_RETURN(auto runs, operation_process_runs(ports.processes, target.pid, target.pid_created));
  if (runs) return refused("the operation's process still runs");
  if (observation.mutating) return refused("the observation is not read-only");
  if (observation.session_id != target.session_id) return refused("the observation is of another session");
  if (!observation.finished_at || *observation.finished_at <= target.created_at) {
    return refused("the observation did not finish after the operation began");
  }
  if (!observation.result || observation.result->code != kObservedCode) {
    return refused("the observation observed nothing");
  }
  const Time now = ports.ctx.clock.utc_now();
  if (*observation.finished_at > now ||
      std::chrono::duration_cast<std::chrono::milliseconds>(now - *observation.finished_at).count() >
          kObservationFreshnessMilliseconds) {
    return refused("the observation is too old");
  }

  target.phase = ReceiptPhase::kReconciled;
  target.reconciled_by = observation.operation_id;
  VOR_RETURN_IF_ERROR(write_receipt(ports.ctx, root, target, false));
  return operation_status_document(ports, root, target);
}

}  // namespace vor::desktop
