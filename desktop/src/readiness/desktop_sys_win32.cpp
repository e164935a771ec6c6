#include "readiness/desktop_sys_win32.h"

#include <windows.h>
#include <dwmapi.h>
#include <shellapi.h>
#include <wtsapi32.h>

#include <cstring>

#include "common/system_library_win32.h"
#include "native/dwm_functions_win32.h"
#include "native/ports_win32.h"
#include "native/win32_result_win32.h"

namespace vor::desktop {
namespace {

HMONITOR to_hmonitor(MonitorHandle monitor) {
  return reinterpret_cast<HMONITOR>(static_cast<std::uintptr_t>(monitor));
}

// shell32 is loaded only by the commands that check the desktop's readiness.
constinit SystemFunction<decltype(::SHQueryUserNotificationState)> query_user_notification_state(
    L"shell32.dll", "SHQueryUserNotificationState");

class Win32DesktopSys final : public DesktopSys {
 public:
  Win32<SessionBuffer> session_connect_state(std::uint32_t session) override { return wts_connect_state(session); }
  HresultValue notification_state() override {
    QUERY_USER_NOTIFICATION_STATE state{};
    auto query = query_user_notification_state.get();
    if (!query) return {static_cast<std::int32_t>(HRESULT_FROM_WIN32(query.error())), 0};
    const HRESULT hr = (*query)(&state);
    return {static_cast<std::int32_t>(hr), static_cast<std::int32_t>(state)};
  }
  Win32<std::int32_t> screensaver_running() override {
    BOOL running = FALSE;
    if (auto ok = win32_bool(::SystemParametersInfoW(SPI_GETSCREENSAVERRUNNING, 0, &running, 0)); !ok) {
      return win32_error(ok.error());
    }
    return static_cast<std::int32_t>(running);
  }
  HresultValue composition_enabled() override { return dwm_composition_enabled(); }
  MonitorHandle monitor_from_window(WindowHandle window) override {
    return reinterpret_cast<std::uintptr_t>(::MonitorFromWindow(to_hwnd(window), MONITOR_DEFAULTTONEAREST));
  }
  Win32<Rect> monitor_rect(MonitorHandle monitor) override {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    if (auto ok = win32_bool(::GetMonitorInfoW(to_hmonitor(monitor), &info)); !ok) return win32_error(ok.error());
    return Rect{info.rcMonitor.left, info.rcMonitor.top, info.rcMonitor.right, info.rcMonitor.bottom};
  }
  std::uint32_t tick_count() override { return ::GetTickCount(); }
};

}  // namespace

Win32<DesktopSys::SessionBuffer> query_wts_connect_state(std::uint32_t session) {
  LPWSTR buffer = nullptr;
  DWORD bytes = 0;
  if (!::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSConnectState, &buffer, &bytes)) {
    return win32_error(::GetLastError());
  }
  DesktopSys::SessionBuffer out;
  out.bytes = bytes;
  if (buffer != nullptr) {
    std::memcpy(&out.value, buffer, bytes < sizeof out.value ? bytes : sizeof out.value);
    ::WTSFreeMemory(buffer);
  }
  return out;
}

DesktopSys::HresultValue query_dwm_composition() {
  BOOL enabled = FALSE;
  auto query = dwm_is_composition_enabled.get();
  if (!query) return {static_cast<std::int32_t>(HRESULT_FROM_WIN32(query.error())), 0};
  const HRESULT hr = (*query)(&enabled);
  return {static_cast<std::int32_t>(hr), static_cast<std::int32_t>(enabled)};
}

std::unique_ptr<DesktopSys> make_win32_desktop_sys() { return std::make_unique<Win32DesktopSys>(); }

}  // namespace vor::desktop
