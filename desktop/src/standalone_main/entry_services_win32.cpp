#include "standalone_main/entry_services_win32.h"

#include <windows.h>

#include "broker/probe.h"
#include "build_capabilities/capabilities.h"
#include "standalone/cli/one_shot.h"
#include "standalone/cli/operation_status_win32.h"
#include "standalone/worker/worker_mode.h"

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

Result<CliDocument> run_session_command(const SessionCommand&) {
  return fail("DESKTOP_OPERATION_FAILED: session verbs are not available in this build");
}

}  // namespace

EntryServices make_win32_entry_services() {
  EntryServices s;
  s.run_one_shot = [](const OneShotCommand& command) {
    return with_win32_state_ports([&](StatePorts& state) {
      return run_standalone_command(command, OneShotServices{run_probe_command, &state, capability_document});
    });
  };
  s.run_session = run_session_command;
  s.run_worker = run_worker_mode;
  s.write_stdout = write_stdout_line;
  s.start_watchdog = [](std::chrono::steady_clock::duration d) {
    return LifetimeWatchdog::start(d, [] { terminate_current_process(kExitDeadline); });
  };
  return s;
}

}  // namespace vor::desktop
