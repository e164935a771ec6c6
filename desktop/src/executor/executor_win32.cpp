#include "executor/executor_win32.h"

#include "capture_dxgi/duplication_win32.h"
#include "capture_wgc/window_capture_win32.h"
#include "executor/input_owner_sys_win32.h"
#include "readiness/desktop_sys_win32.h"
#include "readiness/notice_sys_win32.h"
#include "uia/automation_win32.h"

namespace vor::desktop {

Win32ExecutorAdapters::Win32ExecutorAdapters()
    : readiness_(make_win32_desktop_sys()),
      notice_(make_win32_notice_sys()),
      duplication_(make_win32_duplication_sys()),
      window_capture_(make_window_capture_sys()),
      com_(uia::make_win32_com_sys()),
      controls_(uia::make_win32_control_sys()),
      owner_(make_win32_input_owner_sys()) {}

Win32ExecutorAdapters::~Win32ExecutorAdapters() = default;

ExecutorPorts Win32ExecutorAdapters::ports() {
  return ExecutorPorts{desktop_.ports(), *readiness_, *notice_, *duplication_, *window_capture_,
                       *com_, *controls_, *owner_};
}

}  // namespace vor::desktop
