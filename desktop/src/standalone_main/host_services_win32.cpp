#include "standalone_main/host_services_win32.h"

#include <asio.hpp>

#include "native/clock.h"
#include "session/authentication_win32.h"
#include "session/host.h"
#include "session/host_pipe_win32.h"
#include "session/lease.h"
#include "standalone/cli/image_export.h"
#include "standalone/cli/reconcile.h"

namespace vor::desktop {

HostBroker make_host_broker(StatePorts& state) {
  HostBroker broker;
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
  HostPorts ports{state.ctx, *adapters.caller, *adapters.processes, system_lease_clock(), terminate_own_process,
                  pipes,     broker,           abort_on_failed_revert};
  return run_session_host(ports, command);
}

}  // namespace vor::desktop
