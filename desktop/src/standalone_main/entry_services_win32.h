// The composition root's Win32 pieces: every adapter of the program, built
// once when the process starts, and the entry services that hand them to
// the work of each role.
//
//   Win32Adapters adapters;
//   EntryServices services = make_win32_entry_services(adapters);
#pragma once

#include <memory>

#include "capture_dxgi/duplication_ports.h"
#include "capture_wgc/window_capture_port.h"
#include "common/data_protection.h"
#include "executor/executor.h"
#include "executor/input_owner_sys.h"
#include "native/ports.h"
#include "native/ports_win32.h"
#include "readiness/desktop_sys.h"
#include "readiness/notice_sys.h"
#include "session/client.h"
#include "standalone/cli/probe.h"
#include "standalone/state/file_system.h"
#include "standalone/worker/worker_mode.h"
#include "standalone_main/entry.h"
#include "uia/automation_port.h"

namespace vor::desktop {

struct Win32Adapters {
  Win32Adapters();
  std::unique_ptr<FileSystem> files;
  std::unique_ptr<DataProtection> data_protection;
  std::unique_ptr<CallerIdentity> caller;
  std::unique_ptr<ProcSys> processes;
  std::unique_ptr<BrokerIdentitySys> broker_identity;
  std::unique_ptr<ProbeSys> probe;
  std::unique_ptr<Win32DesktopPorts> desktop_ports;
  std::unique_ptr<DesktopSys> desktop;
  // The desktop operation executor's own ports (worker mode).
  std::unique_ptr<NoticeSys> notice;
  std::unique_ptr<DuplicationSys> duplication;
  std::unique_ptr<WindowCaptureSys> window_capture;
  std::unique_ptr<uia::ComSys> com;
  std::unique_ptr<uia::ControlSys> controls;
  std::unique_ptr<InputOwnerSys> input_owner;

  ExecutorPorts executor_ports();
  std::unique_ptr<SessionClientSys> session_client;
};

// The services refer to `adapters`, which must outlive them.
EntryServices make_win32_entry_services(Win32Adapters& adapters);

}  // namespace vor::desktop
