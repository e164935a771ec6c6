#include "standalone_main/entry_services_win32.h"

#include <windows.h>

#include "broker/execute_transaction.h"
#include "broker/probe.h"
#include "build_capabilities/capabilities.h"
#include "capture_dxgi/duplication_win32.h"
#include "capture_wgc/window_capture_win32.h"
#include "executor/input_owner_sys_win32.h"
#include "native/process_sys_win32.h"
#include "readiness/desktop_sys_win32.h"
#include "readiness/notice_sys_win32.h"
#include "readiness/readiness.h"
#include "session/client_verbs.h"
#include "session/client_win32.h"
#include "standalone/cli/one_shot.h"
#include "standalone/cli/operation_status.h"
#include "standalone/worker/worker_mode_peer_win32.h"
#include "standalone_main/host_services_win32.h"
#include "uia/automation_win32.h"
#include "windows/worker_launch_win32.h"

namespace vor::desktop {
namespace {

// One WriteFile of the whole line; a short write continues with the rest of
// the same line, so no second document can follow.
void write_stdout_line(std::string_view line) {
  HANDLE out = ::GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr || out == INVALID_HANDLE_VALUE) return;
  while (!line.empty()) {
    DWORD written = 0;
    if (!::WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr) || written == 0) return;
    line.remove_prefix(written);
  }
}

}  // namespace

Win32Adapters::Win32Adapters()
    : files(make_win32_file_system()),
      data_protection(make_win32_data_protection()),
      caller(make_win32_caller_identity()),
      processes(make_win32_proc_sys()),
      broker_identity(make_win32_broker_identity_sys()),
      probe(make_win32_probe_sys(*processes, make_win32_worker_launch)),
      desktop_ports(std::make_unique<Win32DesktopPorts>()),
      desktop(make_win32_desktop_sys()),
      notice(make_win32_notice_sys()),
      duplication(make_win32_duplication_sys()),
      window_capture(make_window_capture_sys()),
      com(uia::make_win32_com_sys()),
      controls(uia::make_win32_control_sys()),
      input_owner(make_win32_input_owner_sys()),
      session_client(make_win32_session_client_sys()) {}

ExecutorPorts Win32Adapters::executor_ports() {
  return ExecutorPorts{desktop_ports->ports(), *desktop, *notice, *duplication, *window_capture,
                       *com, *controls, *input_owner};
}

EntryServices make_win32_entry_services(Win32Adapters& adapters) {
  EntryServices s;
  s.run_one_shot = [&adapters](const OneShotCommand& command) {
    StatePorts state{make_state_context(*adapters.files, *adapters.data_protection, system_clock()), *adapters.caller,
                     *adapters.processes};
    OneShotServices services;
    services.probe = [&adapters](const cmd::Probe& probe) { return run_probe(*adapters.probe, probe.session_id); };
    services.state = &state;
    services.execute = [&state](const cmd::Execute& execute) { return run_execute_win32(state, execute); };
    services.capabilities = capability_document;
    return run_standalone_command(command, services);
  };
  s.run_session = [&adapters](const SessionCommand& command) -> Result<CliDocument> {
    if (const auto* host = std::get_if<cmd::SessionHost>(&command)) return run_session_host_win32(adapters, *host);
    SessionClientPorts ports{*adapters.session_client, *adapters.processes, *adapters.caller, *adapters.files,
                             system_clock()};
    return run_session_client_command(ports, command);
  };
  s.run_worker = [&adapters](std::span<const Argument> args) {
    const ReadinessSnapshot readiness = [&adapters](std::uint32_t session) {
      return query_readiness(adapters.desktop_ports->ports(), *adapters.desktop, session);
    };
    const DesktopExecutor execute = [&adapters](const Request& request, const std::optional<ArmedInputPolicy>& policy,
                                                InputFlags& flags) {
      return execute_desktop_operation(adapters.executor_ports(), request, policy, flags.dispatched);
    };
    return run_worker_mode(args, WorkerPorts{*adapters.processes, *adapters.broker_identity}, execute, readiness);
  };
  s.write_stdout = write_stdout_line;
  s.start_watchdog = [](std::chrono::steady_clock::duration d) {
    return LifetimeWatchdog::start(d, [] { terminate_current_process(kExitDeadline); });
  };
  return s;
}

}  // namespace vor::desktop
