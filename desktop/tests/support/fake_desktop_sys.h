// A scripted `DesktopSys` for tests: each answer is a field that a case sets,
// and every call is recorded by name, in order.
//
//   FakeDesktopSys desktop;
//   desktop.screensaver = win32_error(5);
//   auto ready = check_session_ready(desk.ports(), desktop);
#pragma once

#include <map>
#include <string>
#include <vector>

#include "readiness/desktop_sys.h"

namespace vor::desktop::testing {

class FakeDesktopSys final : public DesktopSys {
 public:
  // Session id -> WTSConnectState answer; a session not listed fails with 1400.
  std::map<std::uint32_t, Win32<SessionBuffer>> sessions{{1, SessionBuffer{4, 0}}};
  HresultValue notification{0, 5};
  Win32<std::int32_t> screensaver = 0;
  HresultValue composition{0, 1};
  // Window -> monitor (a window not listed is on monitor 1).
  std::map<WindowHandle, MonitorHandle> window_monitors;
  std::map<MonitorHandle, Win32<Rect>> monitors{{1, Rect{0, 0, 1920, 1080}}};
  std::uint32_t ticks = 5000;
  std::vector<std::string> calls;

  Win32<SessionBuffer> session_connect_state(std::uint32_t session) override {
    calls.push_back("session_connect_state");
    auto it = sessions.find(session);
    if (it == sessions.end()) return win32_error(1400);
    return it->second;
  }
  HresultValue notification_state() override {
    calls.push_back("notification_state");
    return notification;
  }
  Win32<std::int32_t> screensaver_running() override {
    calls.push_back("screensaver_running");
    return screensaver;
  }
  HresultValue composition_enabled() override {
    calls.push_back("composition_enabled");
    return composition;
  }
  MonitorHandle monitor_from_window(WindowHandle window) override {
    calls.push_back("monitor_from_window");
    auto it = window_monitors.find(window);
    return it == window_monitors.end() ? 1 : it->second;
  }
  Win32<Rect> monitor_rect(MonitorHandle monitor) override {
    calls.push_back("monitor_rect");
    auto it = monitors.find(monitor);
    if (it == monitors.end()) return win32_error(87);
    return it->second;
  }
  std::uint32_t tick_count() override {
    calls.push_back("tick_count");
    return ticks;
  }
};

}  // namespace vor::desktop::testing
