// The readiness facts that the worker's other ports do not answer: the
// session's connection state, the notification state, the screen saver,
// desktop composition, monitors and the tick count.
//
// Each method is one Win32 call and returns its raw result; the readiness
// rules (readiness.h) decide. The Win32 adapter is `make_win32_desktop_sys`
// (desktop_sys_win32.h); tests script their own.
#pragma once

#include <cstdint>

#include "native/ports.h"
#include "native/win32_result.h"
#include "protocol/observation.h"

namespace vor::desktop {

using MonitorHandle = std::uint64_t;

class DesktopSys {
 public:
  // What WTSQuerySessionInformationW(WTSConnectState) handed back: the byte
  // count, and the first min(bytes, 4) bytes as a little-endian number (the
  // buffer is freed by the adapter).
  struct SessionBuffer {
    std::uint32_t bytes = 0;
    std::uint32_t value = 0;
  };
  // An HRESULT and the value the call wrote (left as the adapter initialised
  // it, 0, when the call did not write it).
  struct HresultValue {
    std::int32_t hresult = 0;
    std::int32_t value = 0;
  };

  virtual ~DesktopSys() = default;
  // WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSConnectState).
  virtual Win32<SessionBuffer> session_connect_state(std::uint32_t session) = 0;
  virtual HresultValue notification_state() = 0;           // SHQueryUserNotificationState
  virtual Win32<std::int32_t> screensaver_running() = 0;    // SystemParametersInfoW(SPI_GETSCREENSAVERRUNNING)
  virtual HresultValue composition_enabled() = 0;           // DwmIsCompositionEnabled
  // MonitorFromWindow with MONITOR_DEFAULTTONEAREST; 0 when it gave none.
  virtual MonitorHandle monitor_from_window(WindowHandle window) = 0;
  // GetMonitorInfoW: the full monitor rectangle (rcMonitor), not the work area.
  virtual Win32<Rect> monitor_rect(MonitorHandle monitor) = 0;
  virtual std::uint32_t tick_count() = 0;  // GetTickCount
};

}  // namespace vor::desktop
