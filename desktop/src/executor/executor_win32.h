// The Win32 adapters of every port the executor uses, built once by the
// worker's entry and handed to `execute_desktop_operation`.
//
//   Win32ExecutorAdapters adapters;
//   auto response = execute_desktop_operation(adapters.ports(), request, policy, dispatched);
#pragma once

#include <memory>

#include "executor/executor.h"
#include "native/ports_win32.h"

namespace vor::desktop {

class Win32ExecutorAdapters {
 public:
  Win32ExecutorAdapters();
  ~Win32ExecutorAdapters();
  Win32ExecutorAdapters(const Win32ExecutorAdapters&) = delete;
  Win32ExecutorAdapters& operator=(const Win32ExecutorAdapters&) = delete;

  ExecutorPorts ports();
  DesktopPorts desktop() { return desktop_.ports(); }
  DesktopSys& readiness() { return *readiness_; }

 private:
  Win32DesktopPorts desktop_;
  std::unique_ptr<DesktopSys> readiness_;
  std::unique_ptr<NoticeSys> notice_;
  std::unique_ptr<DuplicationSys> duplication_;
  std::unique_ptr<WindowCaptureSys> window_capture_;
  std::unique_ptr<uia::ComSys> com_;
  std::unique_ptr<uia::ControlSys> controls_;
  std::unique_ptr<InputOwnerSys> owner_;
};

}  // namespace vor::desktop
