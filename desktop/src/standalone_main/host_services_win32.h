// The composition root's binding of the session host: the real adapters of
// the program, the system clocks, the overlapped pipe instances and the
// one-shot state verbs as the host's broker work.
//
//   auto document = run_session_host_win32(adapters, command);
#pragma once

#include "common/error.h"
#include "session/host_dispatch.h"
#include "standalone/cli/cli_documents.h"
#include "standalone/cli/commands.h"
#include "standalone/cli/operation_status.h"
#include "standalone_main/entry_services_win32.h"

namespace vor::desktop {

// The broker work of the host over the state verbs' ports, which must
// outlive it.
HostBroker make_host_broker(StatePorts& state);

// The `execute` verb over the program's worker launch; each call has its own
// I/O context for the worker's pipe.
Result<CliDocument> run_execute_win32(StatePorts& state, const cmd::Execute& command);

// The session-host role of this process; returns after the host has ended.
Result<CliDocument> run_session_host_win32(Win32Adapters& adapters, const cmd::SessionHost& command);

}  // namespace vor::desktop
