// Window and process observation against real (Wine) windows that the test
// creates: cleaned and bounded titles, minimized, hidden and foreground
// windows, windows of a second process found by its id (this executable
// started again with --child-window), and a window that appears while the
// search runs.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/handle_win32.h"
#include "native/capture_source.h"
#include "native/observation.h"
#include "native/ports_win32.h"
#include "native/process_identity.h"
#include "native/win32_result_win32.h"
#include "support/fake_desktop.h"

namespace vor::desktop {
namespace {

constexpr wchar_t kClassName[] = L"VorObservationTestWindow";

void register_class() {
  static bool registered = false;
  if (registered) return;
  WNDCLASSW wc{};
  wc.lpfnWndProc = DefWindowProcW;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = kClassName;
  RegisterClassW(&wc);
  registered = true;
}

void pump_messages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

// A top-level window owned by this thread, destroyed with the object.
class TestWindow {
 public:
  TestWindow(const std::wstring& title, int show) {
    register_class();
    hwnd_ = CreateWindowExW(0, kClassName, title.c_str(), WS_OVERLAPPEDWINDOW, 120, 110, 400, 300, nullptr, nullptr,
                            GetModuleHandleW(nullptr), nullptr);
    if (show != SW_HIDE) ShowWindow(hwnd_, show);
    pump_messages();
  }
  // Under Wine on a display without a window manager, unmapping a shown
  // window waits 2 s for the X server. The window is left to the process's
  // exit instead, with its title cleared so later searches do not see it.
  ~TestWindow() {
    if (hwnd_) SetWindowTextW(hwnd_, L"");
    pump_messages();
  }
  TestWindow(const TestWindow&) = delete;
  TestWindow& operator=(const TestWindow&) = delete;
  HWND hwnd() const { return hwnd_; }
  WindowHandle handle() const { return from_hwnd(hwnd_); }

 private:
  HWND hwnd_ = nullptr;
};

// A second process (this executable with --child-window) that shows one
// window after a delay; terminated and waited for by the destructor.
class ChildWithWindow {
 public:
  ChildWithWindow(const std::wstring& title, int delay_ms) {
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring command = L"\"" + std::wstring(exe) + L"\" --child-window \"" + title + L"\" " +
                           std::to_wstring(delay_ms);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (CreateProcessW(exe, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      process_.reset(pi.hProcess);
      CloseHandle(pi.hThread);
      id_ = pi.dwProcessId;
    }
  }
  ~ChildWithWindow() {
    if (process_) {
      TerminateProcess(process_.get(), 0);
      WaitForSingleObject(process_.get(), 5000);
    }
  }
  bool started() const { return static_cast<bool>(process_); }
  std::uint32_t id() const { return id_; }
  HANDLE handle() const { return process_.get(); }

 private:
  UniqueHandle process_;
  std::uint32_t id_ = 0;
};

class ObservationWin32 : public ::testing::Test {
 protected:
  void SetUp() override {
    auto s = process_session_id(*processes_, GetCurrentProcessId());
    ASSERT_TRUE(s) << s.error().display_chain();
    session_ = *s;
  }
  DesktopPorts ports() { return win32_.ports(); }
  Result<Window> snapshot(const TestWindow& w, bool minimized_allowed = false) {
    return snapshot_window(ports(), w.handle(), session_, minimized_allowed);
  }

  Win32DesktopPorts win32_;
  std::unique_ptr<ProcSys> processes_ = make_win32_proc_sys();
  std::uint32_t session_ = 0;
};

TEST_F(ObservationWin32, SnapshotOfAVisibleWindow) {
  TestWindow w(L"\x01Report\t2026\x7F", SW_SHOWNOACTIVATE);
  ASSERT_NE(w.hwnd(), nullptr);
  const Time before = system_clock().utc_now();
  auto snap = snapshot(w);
  ASSERT_TRUE(snap) << snap.error().display_chain();
  EXPECT_EQ(snap->handle, w.handle());
  EXPECT_EQ(snap->process_id, GetCurrentProcessId());
  auto created = query_process_creation_time(GetCurrentProcess());
  ASSERT_TRUE(created);
  EXPECT_EQ(snap->process_created, *created);
  RECT r{};
  GetWindowRect(w.hwnd(), &r);
  EXPECT_EQ(snap->rect, (Rect{r.left, r.top, r.right, r.bottom}));
  EXPECT_EQ(snap->title, "Report2026");
  EXPECT_FALSE(snap->minimized);
  EXPECT_GE(snap->observed_at, before);
  LASTINPUTINFO info{sizeof info, 0};
  ASSERT_TRUE(GetLastInputInfo(&info));
  EXPECT_EQ(snap->last_input_tick, info.dwTime);
  EXPECT_EQ(snap->foreground, GetForegroundWindow() == w.hwnd());
}

TEST_F(ObservationWin32, LongTitleIsReadTo255AndKeptTo160) {
  // 100 control characters, then 200 letters: 255 units read leave 155.
  TestWindow controls(std::wstring(100, L'\x02') + std::wstring(200, L'y'), SW_SHOWNOACTIVATE);
  auto a = snapshot(controls);
  ASSERT_TRUE(a) << a.error().display_chain();
  EXPECT_EQ(a->title, std::string(155, 'y'));

  TestWindow long_title(std::wstring(300, L'x'), SW_SHOWNOACTIVATE);
  auto b = snapshot(long_title);
  ASSERT_TRUE(b) << b.error().display_chain();
  EXPECT_EQ(b->title, std::string(160, 'x'));
}

TEST_F(ObservationWin32, MinimizedAndHiddenWindows) {
  TestWindow minimized(L"Minimized one", SW_SHOWMINNOACTIVE);
  ASSERT_TRUE(IsIconic(minimized.hwnd()));
  auto refused = snapshot(minimized, false);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().outermost(), "DESKTOP_WINDOW_UNAVAILABLE");
  auto allowed = snapshot(minimized, true);
  ASSERT_TRUE(allowed) << allowed.error().display_chain();
  EXPECT_TRUE(allowed->minimized);

  TestWindow hidden(L"Hidden one", SW_HIDE);
  for (bool minimized_allowed : {false, true}) {
    auto h = snapshot(hidden, minimized_allowed);
    ASSERT_FALSE(h);
    EXPECT_EQ(h.error().outermost(), "DESKTOP_WINDOW_UNAVAILABLE");
  }
  // Another session's windows are refused the same way.
  auto other = snapshot_window(ports(), minimized.handle(), session_ + 1, true);
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().outermost(), "DESKTOP_WINDOW_UNAVAILABLE");

  const auto listed = list_windows(ports(), session_);
  bool saw_minimized = false, saw_hidden = false;
  for (const Window& w : listed) {
    saw_minimized |= w.handle == minimized.handle();
    saw_hidden |= w.handle == hidden.handle();
    EXPECT_FALSE(w.title.empty());
  }
  EXPECT_TRUE(saw_minimized);
  EXPECT_FALSE(saw_hidden);
}

TEST_F(ObservationWin32, ForegroundWindowAndAMovedTarget) {
  TestWindow w(L"Foreground one", SW_SHOWNORMAL);
  SetForegroundWindow(w.hwnd());
  pump_messages();
  ASSERT_EQ(GetForegroundWindow(), w.hwnd());
  auto observed = snapshot(w);
  ASSERT_TRUE(observed) << observed.error().display_chain();
  EXPECT_TRUE(observed->foreground);

  TestWindow other(L"Background one", SW_SHOWNORMAL);
  SetForegroundWindow(other.hwnd());
  pump_messages();
  auto fresh = snapshot(w);
  ASSERT_TRUE(fresh);
  EXPECT_FALSE(fresh->foreground);
  TargetDiagnostic d = compare_window_snapshots(*observed, *fresh, TargetPhase::kBeforeNotice, true);
  EXPECT_TRUE(d.foreground_changed);
  EXPECT_FALSE(d.bounds_changed);
  EXPECT_FALSE(d.process_identity_changed);

  MoveWindow(w.hwnd(), 130, 110, 400, 300, TRUE);
  pump_messages();
  auto moved = check_observation(ports(), *observed, session_, false);
  ASSERT_FALSE(moved);
  EXPECT_EQ(moved.error().outermost(), "DESKTOP_TARGET_CHANGED");
  const TargetChanged* changed = moved.error().find<TargetChanged>();
  ASSERT_NE(changed, nullptr);
  EXPECT_TRUE(changed->diagnostic.bounds_changed);
  EXPECT_EQ(changed->diagnostic.phase, TargetPhase::kBeforeInput);
}

TEST_F(ObservationWin32, SearchFindsOwnWindowsByExactTitle) {
  TestWindow a(L"Vor search \x01target", SW_SHOWNOACTIVATE);
  TestWindow b(L"Vor search target", SW_SHOWMINNOACTIVE);
  TestWindow c(L"vor search target", SW_SHOWNOACTIVATE);
  auto found = find_matching_windows(ports(), session_, WindowSelector{std::nullopt, "Vor search target"}, 500);
  ASSERT_TRUE(found) << found.error().display_chain();
  ASSERT_EQ(found->size(), 2u);
  for (const Window& w : *found) {
    EXPECT_TRUE(w.handle == a.handle() || w.handle == b.handle());
    EXPECT_EQ(w.title, "Vor search target");
  }
}

TEST_F(ObservationWin32, WindowsOfASecondProcessByProcessId) {
  ChildWithWindow child(L"", 0);  // an untitled window
  ASSERT_TRUE(child.started());
  auto found = find_matching_windows(ports(), session_, WindowSelector{child.id(), std::nullopt}, 4000);
  ASSERT_TRUE(found) << found.error().display_chain();
  ASSERT_FALSE(found->empty());
  auto created = query_process_creation_time(child.handle());
  ASSERT_TRUE(created) << created.error().display_chain();
  for (const Window& w : *found) {
    EXPECT_EQ(w.process_id, child.id());
    EXPECT_EQ(w.process_created, *created);
  }
  auto identity = process_identity(*processes_, child.id());
  ASSERT_TRUE(identity) << identity.error().display_chain();
  EXPECT_EQ(*identity, (ProcessIdentity{child.id(), *created}));
}

TEST_F(ObservationWin32, WindowAppearingDuringTheSearchIsFound) {
  ChildWithWindow child(L"Vor late window", 600);
  ASSERT_TRUE(child.started());
  auto found = find_matching_windows(ports(), session_, WindowSelector{std::nullopt, "Vor late window"}, 4000);
  ASSERT_TRUE(found) << found.error().display_chain();
  ASSERT_EQ(found->size(), 1u);
  EXPECT_EQ(found->front().process_id, child.id());
}

TEST_F(ObservationWin32, NoMatchIsAnEmptyListAfterTheTimeout) {
  // Real windows, but time passes only in the search's sleeps: on a loaded
  // machine a real pass may itself outlast the deadline, which is the
  // time-out outcome, not the one under test here.
  testing::FakeClock clock;
  auto windows = make_win32_window_sys();
  auto input = make_win32_input_sys();
  const DesktopPorts timed{*windows, *processes_, *input, clock};
  auto found = find_matching_windows(timed, session_, WindowSelector{std::nullopt, "No such window title"}, 1000);
  ASSERT_TRUE(found) << found.error().display_chain();
  EXPECT_TRUE(found->empty());
  EXPECT_GE(clock.elapsed(), std::chrono::milliseconds(1000));
}

TEST_F(ObservationWin32, ProcessFailuresCarryTheWin32Error) {
  const std::uint32_t no_such_process = 0x7FFFFFF0;
  auto session = process_session_id(*processes_, no_such_process);
  ASSERT_FALSE(session);
  EXPECT_EQ(session.error().outermost(), "DESKTOP_PROCESS_SESSION_UNAVAILABLE");
  EXPECT_TRUE(session.error().os_error());
  auto created = process_creation_time(*processes_, no_such_process);
  ASSERT_FALSE(created);
  EXPECT_EQ(created.error().outermost(), "DESKTOP_PROCESS_UNAVAILABLE");
  EXPECT_TRUE(created.error().os_error());
}

TEST_F(ObservationWin32, InputDesktopIsDefault) {
  auto s = check_input_desktop(*make_win32_window_sys());
  EXPECT_TRUE(s) << s.error().display_chain();
  auto tick = read_last_input_tick(*make_win32_input_sys());
  EXPECT_TRUE(tick);
}

TEST_F(ObservationWin32, Win32ResultConversionReadsTheLastError) {
  EXPECT_TRUE(check_win32(TRUE, "DESKTOP_X_FAILED"));
  auto s = check_win32(CloseHandle(reinterpret_cast<HANDLE>(0x4321)), "DESKTOP_X_FAILED");
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().outermost(), "DESKTOP_X_FAILED");
  EXPECT_EQ(s.error().os_error(), std::optional<std::uint32_t>(ERROR_INVALID_HANDLE));
}

TEST_F(ObservationWin32, OwnTopLevelWindowIsACaptureSource) {
  TestWindow w(L"Capture source", SW_SHOWNOACTIVATE);
  auto observed = snapshot(w);
  ASSERT_TRUE(observed) << observed.error().display_chain();
  const Request request{1, "cap-1", session_, CaptureWindow{*observed}};
  auto ready = []() -> Status { return {}; };
  auto fresh = check_window_capture_source(ports(), request, TargetPhase::kBeforeCapture, ready);
  ASSERT_TRUE(fresh) << fresh.error().display_chain();
  EXPECT_EQ(fresh->handle, w.handle());

  // A child window is not its own root.
  HWND child = CreateWindowExW(0, kClassName, L"child", WS_CHILD | WS_VISIBLE, 0, 0, 50, 50, w.hwnd(), nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(child, nullptr);
  auto child_snapshot = snapshot_window(ports(), from_hwnd(child), session_, false);
  ASSERT_TRUE(child_snapshot) << child_snapshot.error().display_chain();
  const Request child_request{1, "cap-2", session_, CaptureWindow{*child_snapshot}};
  auto refused = check_window_capture_source(ports(), child_request, TargetPhase::kBeforeCapture, ready);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().outermost(), "DESKTOP_CAPTURE_WINDOW_SOURCE_UNAVAILABLE");
}

// The child role: show one window after a delay and pump messages until killed.
int run_child(const wchar_t* title, int delay_ms) {
  Sleep(static_cast<DWORD>(delay_ms));
  TestWindow w(title, SW_SHOWNOACTIVATE);
  for (int i = 0; i < 3000; ++i) {
    pump_messages();
    Sleep(10);
  }
  return 0;
}

}  // namespace
}  // namespace vor::desktop

int main(int argc, char** argv) {
  // The child's title is ASCII, so the narrow arguments carry it unchanged.
  if (argc == 4 && std::strcmp(argv[1], "--child-window") == 0) {
    const std::string title = argv[2];
    return vor::desktop::run_child(std::wstring(title.begin(), title.end()).c_str(), std::atoi(argv[3]));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
