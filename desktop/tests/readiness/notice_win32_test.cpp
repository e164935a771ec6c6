// The notice banner against Wine: the real window, hotkey and GDI paint on
// Xvfb's one 1280 x 1024 screen, and, through this build's duplication (the
// stand-in that composes frames from the windows' own device contexts), the
// whole pixel proof read back from what the banner painted.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "capture_dxgi/duplication_win32.h"
#include "common/handle_win32.h"
#include "native/ports_win32.h"
#include "readiness/desktop_sys_win32.h"
#include "readiness/notice.h"
#include "readiness/notice_sys_win32.h"

namespace vor::desktop {
namespace {

constexpr Rect kTarget{100, 300, 900, 700};
constexpr RECT kBanner{100, 236, 860, 300};
constexpr wchar_t kTitle[] = L"Vor Marionet \u2022 remote input \u2022 Ctrl+Alt+F12: stop";

void pump_messages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// A shown popup of the test's own, painted by its class brush.
HWND show_window(const wchar_t* class_name, const RECT& r, DWORD ex_style, COLORREF colour) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.hbrBackground = CreateSolidBrush(colour);
  wc.lpszClassName = class_name;
  RegisterClassW(&wc);
  HWND hwnd = CreateWindowExW(ex_style, class_name, L"Notice test", WS_POPUP, r.left, r.top, r.right - r.left,
                              r.bottom - r.top, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ShowWindow(hwnd, (ex_style & WS_EX_NOACTIVATE) ? SW_SHOWNOACTIVATE : SW_SHOW);
  UpdateWindow(hwnd);
  pump_messages();
  return hwnd;
}

// The target window in the foreground, made once and left to the process's
// exit (hiding a shown window costs 2 s under Wine without a window manager).
// The pointer is parked in a corner away from every window of the tests:
// under Wine a window mapped under the resting pointer turns the X enter
// event into mouse input, which moves the last-input tick and rightly fails
// the proof (an earlier test on the shared display may have left the pointer
// where the banner appears).
HWND target_window() {
  SetCursorPos(1270, 1010);
  static HWND hwnd = show_window(L"VorNoticeTarget", RECT{kTarget.left, kTarget.top, kTarget.right, kTarget.bottom},
                                 0, RGB(30, 60, 90));
  SetForegroundWindow(hwnd);
  pump_messages();
  return hwnd;
}

// Top-level windows of this process titled as the banner.
int banner_windows() {
  struct Count {
    int n = 0;
  } count;
  EnumWindows(
      [](HWND w, LPARAM p) -> BOOL {
        DWORD pid = 0;
        GetWindowThreadProcessId(w, &pid);
        wchar_t text[80] = {};
        GetWindowTextW(w, text, 80);
        if (pid == GetCurrentProcessId() && std::wstring(text) == kTitle) ++reinterpret_cast<Count*>(p)->n;
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&count));
  return count.n;
}

struct Win32Notice {
  Win32DesktopPorts win32;
  std::unique_ptr<DesktopSys> desktop = make_win32_desktop_sys();
  std::unique_ptr<NoticeSys> notice = make_win32_notice_sys();
  std::unique_ptr<DuplicationSys> duplication = make_win32_duplication_sys();
  NoticePorts ports() { return {win32.ports(), *desktop, *notice, *duplication}; }
  // The last-input tick once it has stood still for half a second: input
  // that earlier tests injected on the shared display may still be arriving,
  // and the proof rightly refuses a tick that moves.
  std::uint32_t tick() {
    std::uint32_t last = *win32.ports().input.last_input_tick();
    auto still_since = std::chrono::steady_clock::now();
    const auto give_up = still_since + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < give_up &&
           std::chrono::steady_clock::now() - still_since < std::chrono::milliseconds(500)) {
      Sleep(20);
      pump_messages();
      const std::uint32_t now = *win32.ports().input.last_input_tick();
      if (now != last) {
        last = now;
        still_since = std::chrono::steady_clock::now();
      }
    }
    return last;
  }
};

bool stop_keys_free() {
  if (!RegisterHotKey(nullptr, 2, MOD_CONTROL | MOD_ALT | MOD_NOREPEAT, VK_F12)) return false;
  UnregisterHotKey(nullptr, 2);
  return true;
}

TEST(NoticeWin32, TheBannerIsShownTopmostAboveTheTargetWithoutTakingTheForeground) {
  HWND target = target_window();
  ASSERT_EQ(GetForegroundWindow(), target);
  Win32Notice w;
  auto ports = w.ports();
  auto banner = show_notice(ports, kTarget);
  ASSERT_TRUE(banner) << banner.error().display_chain();
  HWND hwnd = to_hwnd(banner->window());
  RECT r{};
  ASSERT_TRUE(GetWindowRect(hwnd, &r));
  EXPECT_EQ(r.left, kBanner.left);
  EXPECT_EQ(r.top, kBanner.top);
  EXPECT_EQ(r.right, kBanner.right);
  EXPECT_EQ(r.bottom, kBanner.bottom);
  // On the one real monitor, whose full area Wine reports as Xvfb's screen.
  MONITORINFO monitor{sizeof monitor};
  ASSERT_TRUE(GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONULL), &monitor));
  EXPECT_EQ(monitor.rcMonitor.right - monitor.rcMonitor.left, 1280);
  EXPECT_EQ(monitor.rcMonitor.bottom - monitor.rcMonitor.top, 1024);
  EXPECT_TRUE(IsWindowVisible(hwnd));
  EXPECT_NE(GetWindowLongPtrW(hwnd, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
  EXPECT_NE(GetWindowLongPtrW(hwnd, GWL_EXSTYLE) & WS_EX_NOACTIVATE, 0);
  pump_messages();
  EXPECT_EQ(GetForegroundWindow(), target);
  wchar_t text[80] = {};
  GetWindowTextW(hwnd, text, 80);
  EXPECT_EQ(std::wstring(text), kTitle);
  wchar_t class_name[16] = {};
  GetClassNameW(hwnd, class_name, 16);
  EXPECT_EQ(_wcsicmp(class_name, L"STATIC"), 0) << class_name;
  // The banner is above the target in z-order, and the stop keys are taken.
  bool target_below = false;
  for (HWND h = GetWindow(hwnd, GW_HWNDNEXT); h; h = GetWindow(h, GW_HWNDNEXT)) target_below |= h == target;
  EXPECT_TRUE(target_below);
  EXPECT_FALSE(stop_keys_free());

  banner->close();
  EXPECT_FALSE(IsWindow(hwnd));
  EXPECT_TRUE(stop_keys_free());
}

TEST(NoticeWin32, TheStopKeysHeldByAnotherProcessRefuseTheBannerBeforeAnyWindow) {
  target_window();
  const std::string suffix = std::to_string(GetCurrentProcessId());
  const std::string ready_name = "VorNoticeHolderReady." + suffix;
  const std::string release_name = "VorNoticeHolderRelease." + suffix;
  UniqueHandle ready(CreateEventA(nullptr, TRUE, FALSE, ready_name.c_str()));
  UniqueHandle release(CreateEventA(nullptr, TRUE, FALSE, release_name.c_str()));
  ASSERT_TRUE(ready && release);
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::filesystem::path holder = std::filesystem::path(self).parent_path() / L"notice_hotkey_holder.exe";
  std::wstring command = L"\"" + holder.wstring() + L"\" " + std::wstring(ready_name.begin(), ready_name.end()) +
                         L" " + std::wstring(release_name.begin(), release_name.end());
  STARTUPINFOW si{sizeof(si)};
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(holder.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  UniqueHandle process(pi.hProcess);
  UniqueHandle thread(pi.hThread);
  HANDLE waits[2] = {ready.get(), process.get()};
  ASSERT_EQ(WaitForMultipleObjects(2, waits, FALSE, 20000), WAIT_OBJECT_0) << "the holder did not take the keys";

  // Wine refuses the same keys to a second process as Windows does.
  SetLastError(0);
  EXPECT_FALSE(RegisterHotKey(nullptr, 2, MOD_CONTROL | MOD_ALT | MOD_NOREPEAT, VK_F12));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_HOTKEY_ALREADY_REGISTERED));

  Win32Notice w;
  auto ports = w.ports();
  const int before = banner_windows();
  auto banner = show_notice(ports, kTarget);
  ASSERT_FALSE(banner);
  EXPECT_EQ(banner.error().display_chain(), "DESKTOP_STOP_HOTKEY_UNAVAILABLE");
  EXPECT_EQ(banner_windows(), before);

  SetEvent(release.get());
  ASSERT_EQ(WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0);
  DWORD exit_code = 99;
  GetExitCodeProcess(process.get(), &exit_code);
  EXPECT_EQ(exit_code, 0u);
  EXPECT_TRUE(stop_keys_free());
}

// The banner's own pixels, read back from its window DC.
COLORREF banner_pixel(HWND banner, int x, int y) {
  HDC dc = GetDC(banner);
  const COLORREF c = GetPixel(dc, x, y);
  ReleaseDC(banner, dc);
  return c;
}

TEST(NoticeWin32, ThePaintedSquaresReadBackWithTheirExactColours) {
  target_window();
  Win32Notice w;
  auto ports = w.ports();
  auto banner = show_notice(ports, kTarget);
  ASSERT_TRUE(banner) << banner.error().display_chain();
  HWND hwnd = to_hwnd(banner->window());
  ProofState state;
  for (std::size_t i = 0; i < state.random.size(); ++i) state.random[i] = static_cast<std::uint8_t>(i * 37 + (i % 3));
  UpdateWindow(hwnd);
  for (std::uint32_t phase : {0u, 1u}) {
    state.phase = phase;
    ASSERT_TRUE(paint_proof_pattern(*w.notice, banner->window(), state));
    for (std::uint32_t i = 0; i < kProofSquares; ++i) {
      const Rect sq = square_rect(i);
      const ProofColour want = square_colour(state, i);
      for (auto [x, y] : {std::pair{sq.left, sq.top}, std::pair{sq.left + 5, sq.top + 6}, std::pair{sq.right - 1, sq.bottom - 1}}) {
        EXPECT_EQ(banner_pixel(hwnd, x, y), RGB(want.red, want.green, want.blue)) << "phase " << phase << " square " << i;
      }
    }
  }
}

TEST(NoticeWin32, TheWholeProofPassesOnRealPaintReadBackThroughTheFrames) {
  target_window();
  Win32Notice w;
  ScreenNoticeGate gate(w.ports());
  const auto start = std::chrono::steady_clock::now();
  const std::uint32_t tick = w.tick();
  auto proven = gate.show_and_prove(kTarget, tick);
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(proven) << proven.error().display_chain() << " "
                      << (proven.error().find<ProofFailure>() ? proven.error().find<ProofFailure>()->reason_code : "")
                      << " tick " << tick << " now " << *w.win32.ports().input.last_input_tick() << " at " << GetTickCount();
  EXPECT_GE(took, std::chrono::seconds(1));  // the hold is real time
  EXPECT_EQ(banner_windows(), 0);
  EXPECT_TRUE(stop_keys_free());
  EXPECT_TRUE(gate.check_stop_request());
}

TEST(NoticeWin32, APostedStopHotkeyEndsTheProofUnmapped) {
  target_window();
  Win32Notice w;
  auto ports = w.ports();
  auto banner = show_notice(ports, kTarget);
  ASSERT_TRUE(banner) << banner.error().display_chain();
  const std::uint32_t tick = w.tick();
  ASSERT_TRUE(PostThreadMessageW(GetCurrentThreadId(), WM_HOTKEY, 1, MAKELPARAM(MOD_CONTROL | MOD_ALT, VK_F12)));
  auto proven = prove_notice_on_screen(ports, banner->window(), tick);
  ASSERT_FALSE(proven);
  EXPECT_EQ(proven.error().outermost(), "DESKTOP_STOP_REQUESTED");
  EXPECT_EQ(proven.error().find<ProofFailure>(), nullptr);
}

TEST(NoticeWin32, WinesOwnDuplicateOutputRefusalIsAProofFailure) {
  target_window();
  Win32Notice w;
  auto release_dxgi = make_dxgi_duplication_sys(dxgi_duplicate_output);
  NoticePorts ports{w.win32.ports(), *w.desktop, *w.notice, *release_dxgi};
  ScreenNoticeGate gate(ports);
  auto proven = gate.show_and_prove(kTarget, w.tick());
  ASSERT_FALSE(proven);
  EXPECT_EQ(proven.error().display_chain(), "DESKTOP_NOTICE_PROOF_UNAVAILABLE");
  ASSERT_NE(proven.error().find<ProofFailure>(), nullptr);
  EXPECT_EQ(proven.error().find<ProofFailure>()->reason_code, "DESKTOP_NOTICE_PROOF_UNAVAILABLE");
  EXPECT_EQ(banner_windows(), 0);
}

// Last: the covering window stays above every later banner until it is gone.
TEST(NoticeWin32, AWindowCoveringTheBannerFailsTheProofAsOccluded) {
  HWND target = target_window();
  Win32Notice w;
  auto ports = w.ports();
  auto banner = show_notice(ports, kTarget);
  ASSERT_TRUE(banner) << banner.error().display_chain();
  HWND cover = show_window(L"VorNoticeCover", RECT{600, 250, 700, 290}, WS_EX_TOPMOST | WS_EX_NOACTIVATE,
                           RGB(250, 250, 10));
  SetWindowPos(cover, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  pump_messages();
  EXPECT_EQ(GetForegroundWindow(), target);
  auto proven = prove_notice_on_screen(ports, banner->window(), w.tick());
  ASSERT_FALSE(proven);
  EXPECT_EQ(proven.error().display_chain(), "DESKTOP_NOTICE_PROOF_UNAVAILABLE");
  ASSERT_NE(proven.error().find<ProofFailure>(), nullptr);
  EXPECT_EQ(proven.error().find<ProofFailure>()->reason_code, "DESKTOP_TARGET_OCCLUDED");
  DestroyWindow(cover);
}

}  // namespace
}  // namespace vor::desktop
