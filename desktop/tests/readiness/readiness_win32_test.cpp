// The readiness adapter against Wine's real answers, with a window of the
// test's own in the foreground on Xvfb's one 1280 x 1024 screen.
#include <windows.h>

#include <gtest/gtest.h>

#include "native/ports_win32.h"
#include "readiness/desktop_sys_win32.h"
#include "readiness/readiness.h"

namespace vor::desktop {
namespace {

constexpr wchar_t kClassName[] = L"VorReadinessTestWindow";

void pump_messages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// A shown top-level window, left to the process's exit (hiding a shown
// window costs 2 s under Wine without a window manager).
HWND show_window(int x, int y, int width, int height) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kClassName;
  RegisterClassW(&wc);
  HWND hwnd = CreateWindowExW(0, kClassName, L"Readiness", WS_POPUP | WS_VISIBLE, x, y, width, height, nullptr,
                              nullptr, GetModuleHandleW(nullptr), nullptr);
  SetForegroundWindow(hwnd);
  pump_messages();
  return hwnd;
}

std::uint32_t own_session() {
  DWORD session = 0;
  ProcessIdToSessionId(GetCurrentProcessId(), &session);
  return session;
}

TEST(ReadinessWin32, TheSnapshotOfWinesDesktopWithOurWindowInFront) {
  Win32DesktopPorts win32;
  auto desktop = make_win32_desktop_sys();
  HWND hwnd = show_window(0, 0, 1280, 1024);
  ASSERT_NE(hwnd, nullptr);
  ASSERT_EQ(GetForegroundWindow(), hwnd);

  const DWORD before = GetTickCount();
  const NoticeContext c = query_readiness(win32.ports(), *desktop, own_session());
  const DWORD after = GetTickCount();
  EXPECT_EQ(c.worker_session_id, 1u);
  EXPECT_TRUE(c.input_desktop_available);
  EXPECT_EQ(c.input_desktop_name, "Default");
  EXPECT_EQ(c.input_desktop_error, std::nullopt);
  // Wine answers every notification query with "accepts notifications".
  EXPECT_EQ(c.notification_hresult, 0);
  EXPECT_EQ(c.notification_state, 5);
  EXPECT_EQ(c.notification_state_name, "accepts_notifications");
  EXPECT_EQ(c.screensaver_running, false);
  EXPECT_EQ(c.screensaver_error, std::nullopt);
  EXPECT_EQ(c.composition_hresult, 0);
  EXPECT_EQ(c.composition_enabled, true);
  EXPECT_EQ(c.foreground_handle, std::to_string(from_hwnd(hwnd)));
  EXPECT_EQ(c.foreground_process_id, GetCurrentProcessId());
  ASSERT_TRUE(c.foreground_process_created.has_value());
  EXPECT_FALSE(c.foreground_minimized);
  EXPECT_EQ(c.foreground_rect, (Rect{0, 0, 1280, 1024}));
  EXPECT_EQ(c.display_rect, (Rect{0, 0, 1280, 1024}));
  EXPECT_EQ(c.foreground_covers_display, true);
  ASSERT_TRUE(c.last_input_idle_milliseconds.has_value());
  // Nobody types here: the idle time is the tick count of the query minus
  // the unchanged last-input tick.
  const std::uint32_t last = *win32.ports().input.last_input_tick();
  EXPECT_GE(*c.last_input_idle_milliseconds, before - last);
  EXPECT_LE(*c.last_input_idle_milliseconds, after - last);

  // Moved off the monitor's corner, the window no longer covers it.
  SetWindowPos(hwnd, nullptr, 1, 0, 1279, 1024, SWP_NOZORDER | SWP_NOACTIVATE);
  pump_messages();
  EXPECT_EQ(query_readiness(win32.ports(), *desktop, own_session()).foreground_covers_display, false);
}

TEST(ReadinessWin32, WineHasNoSessionStateAndTheStandInMakesOurSessionTheActiveOne) {
  // The real call fails: Wine keeps no session list (its last error is not
  // a meaningful number, so only the failure is checked).
  EXPECT_FALSE(query_wts_connect_state(own_session()));
  // This build's adapter: our own session is active, another one is not.
  const auto own = wts_connect_state(own_session());
  ASSERT_TRUE(own);
  EXPECT_EQ(own->bytes, 4u);
  EXPECT_EQ(own->value, kSessionStateActive);
  EXPECT_FALSE(wts_connect_state(own_session() + 1));
  // Wine's DWM answers the composition query (what it says is not relied on).
  EXPECT_EQ(query_dwm_composition().hresult, 0);

  Win32DesktopPorts win32;
  auto desktop = make_win32_desktop_sys();
  const Status ready = check_session_ready(win32.ports(), *desktop);
  EXPECT_TRUE(ready) << ready.error().display_chain();
}

}  // namespace
}  // namespace vor::desktop
