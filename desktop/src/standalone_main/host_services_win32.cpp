#include "standalone_main/host_services_win32.h"

#include <asio.hpp>

#include "broker/execute_transaction.h"
#include "native/clock.h"
#include "session/authentication_win32.h"
#include "session/host.h"
#include "session/host_pipe_win32.h"
#include "session/lease.h"
#include "standalone/cli/image_export.h"
#include "standalone/cli/reconcile.h"
#include "windows/worker_launch_win32.h"

namespace vor::desktop {

namespace {

// Runs `work` over execute ports whose workers' pipes run on a context of
// their own, apart from the host's pipe.
template <class Work>
Result<CliDocument> with_execute_ports(StatePorts& state, Work&& work) {
  asio::io_context io(1);
  ExecutePorts ports{state, [&io] { return make_win32_worker_launch(io); }};
  return work(ports);
}

}  // namespace

Result<CliDocument> run_execute_win32(StatePorts& state, const cmd::Execute& command) {
  return with_execute_ports(state, [&](ExecutePorts& ports) { return run_execute(ports, command); });
}

HostBroker make_host_broker(StatePorts& state) {
  HostBroker broker;
  broker.execute = [&state](std::string_view request, std::string_view state_dir,
                            const std::optional<Error>& input_policy) {
    InputPolicyArgument policy;
    if (input_policy) policy = Result<ArmedInputPolicy>(std::unexpected<Error>(*input_policy));
    return with_execute_ports(state, [&](ExecutePorts& ports) {
      return execute_transaction(ports, request, state_dir, policy);
    });
  };
  broker.operation_status = [&state](const cmd::Status& c) { return run_status(state, c); };
  broker.export_image = [&state](const cmd::ImageExport& c) { return run_image_export(state, c); };
  broker.reconcile = [&state](const cmd::Reconcile& c) { return run_reconcile(state, c); };
  return broker;
}

Result<CliDocument> run_session_host_win32(Win32Adapters& adapters, const cmd::SessionHost& command) {
  StatePorts state{make_state_context(*adapters.files, *adapters.data_protection, system_clock()), *adapters.caller,
                   *adapters.processes};
  HostBroker broker = make_host_broker(state);
  asio::io_context io(1);
  Win32HostPipes pipes(io);
  HostPorts ports{state.ctx, *adapters.caller, *adapters.processes, system_lease_clock(), terminate_current_process,
                  pipes,     broker,           abort_on_failed_revert};
  return run_session_host(ports, command);
}

}  // namespace vor::desktop
