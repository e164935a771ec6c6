// The executor against Wine's real desktop. The input-owner mutex is held by
// a second process (this program started as "hold-mutex"); the end-to-end
// cases run every request through a real worker process (this program
// started as "worker") against the project's classic-controls test
// application, and read what arrived from the application's log.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "broker/worker_readiness.h"
#include "common/base64.h"
#include "common/handle_win32.h"
#include "common/text.h"
#include "desktop/tests/capture_dxgi/png_read.h"
#include "executor/executor.h"
#include "executor/input_owner.h"
#include "native/ports_win32.h"
#include "native/process_sys_win32.h"
#include "protocol/response.h"
#include "standalone_main/entry_services_win32.h"
#include "support/test_controls_launch.h"
#include "windows/worker_launch_win32.h"

namespace vor::desktop {
namespace {

const wchar_t* kTestDir = L"C:\\vor-executor-tests";

std::uint32_t own_session() {
  DWORD session = 0;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  return session;
}

std::filesystem::path self_path() {
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  return std::filesystem::path(self);
}

bool wait_for_text(const std::wstring& path, const std::string& text) {
  for (int i = 0; i < 500; ++i) {
    if (read_text_file(path).find(text) != std::string::npos) return true;
    ::Sleep(10);
  }
  return false;
}

struct Child {
  UniqueHandle process;
  DWORD id = 0;
};

std::optional<Child> start_self(const std::wstring& arguments) {
  const std::wstring exe = self_path().wstring();
  std::wstring command = L"\"" + exe + L"\" " + arguments;
  STARTUPINFOW si{sizeof(si)};
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    return std::nullopt;
  }
  ::CloseHandle(pi.hThread);
  Child c;
  c.process.reset(pi.hProcess);
  c.id = pi.dwProcessId;
  return c;
}

Request request_of(Action action) {
  Request r;
  r.protocol = 1;
  r.operation_id = "op-exec";
  r.session_id = own_session();
  r.action = std::move(action);
  return r;
}

// --- the input-owner mutex across processes ---

int hold_mutex(const std::wstring& ready_file) {
  const std::u16string name = input_owner_mutex_name(own_session());
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, std::wstring(name.begin(), name.end()).c_str());
  if (mutex == nullptr || ::WaitForSingleObject(mutex, 0) != WAIT_OBJECT_0) return 2;
  std::ofstream(std::filesystem::path(ready_file)) << "held";
  ::Sleep(60000);
  return 0;
}

TEST(ExecutorMutexWin32, HeldByAnotherProcessIsAConflictAndAcquiredOnceItsHolderIsKilled) {
  ::CreateDirectoryW(kTestDir, nullptr);
  const std::wstring ready = std::wstring(kTestDir) + L"\\holder-" + std::to_wstring(::GetCurrentProcessId());
  ::DeleteFileW(ready.c_str());
  auto holder = start_self(L"hold-mutex " + ready);
  ASSERT_TRUE(holder);
  ASSERT_TRUE(wait_for_text(ready, "held"));

  Win32Adapters adapters;
  bool dispatched = false;
  auto held = execute_desktop_operation(adapters.executor_ports(), request_of(Inspect{}), std::nullopt, dispatched);
  ASSERT_FALSE(held);
  EXPECT_EQ(held.error().outermost(), "DESKTOP_OWNER_CONFLICT");

  ::TerminateProcess(holder->process.get(), 1);
  ASSERT_EQ(::WaitForSingleObject(holder->process.get(), 5000), WAIT_OBJECT_0);
  auto acquired = execute_desktop_operation(adapters.executor_ports(), request_of(Inspect{}), std::nullopt, dispatched);
  ASSERT_TRUE(acquired) << acquired.error().display_chain();
  EXPECT_EQ(acquired->code, "DESKTOP_OBSERVED");
  // Released again: a third call acquires it too.
  EXPECT_TRUE(execute_desktop_operation(adapters.executor_ports(), request_of(Inspect{}), std::nullopt, dispatched));
  ::DeleteFileW(ready.c_str());
}

// --- end to end through a real worker against the test application ---

TestControlsApp* g_app = nullptr;

const char* kAppTitle = "Vor executor target";

class ExecutorEndToEnd : public ::testing::Test {
 public:
  static void SetUpTestSuite() {
    g_app = start_test_controls(kTestDir, L" --title \"Vor executor target\"").release();
  }
  static void TearDownTestSuite() {
    close_test_controls(*g_app);
    delete g_app;
    g_app = nullptr;
  }

 protected:
  void SetUp() override { ASSERT_NE(g_app->window, 0u) << "the test application did not start"; }

  // One request through a freshly started worker.
  Result<Response> run(const Action& action) {
    asio::io_context io;
    const std::uint32_t session = own_session();
    const std::unique_ptr<ProcSys> processes = make_win32_proc_sys();
    auto worker = start_worker(make_win32_worker_launch(io), *processes, session);
    if (!worker) return fail(std::move(worker.error()));
    auto pipe = await_worker_ready(*worker, *processes, system_clock(), session, true, std::nullopt);
    if (!pipe) return fail(std::move(pipe.error()));
    if (auto s = (*pipe)->write_frame(encode_request(request_of(action)), kRequestMaxBytes, std::chrono::seconds(3));
        !s) {
      return fail(std::move(s.error()));
    }
    auto body = (*pipe)->read_frame(kResponseMaxBytes, std::chrono::seconds(14));
    if (!body) return fail(std::move(body.error()));
    return decode_response(*body);
  }

  // The application's window as an inspect answers it.
  Window observe() {
    auto r = run(Inspect{});
    EXPECT_TRUE(r) << r.error().display_chain();
    if (r) {
      for (const Window& w : r->windows) {
        if (w.handle == g_app->window) return w;
      }
    }
    ADD_FAILURE() << "the application is not among the inspected windows";
    return Window{};
  }

  // The application in the foreground, observed afterwards.
  Window forward() {
    Window w = observe();
    if (!w.foreground) {
      auto focused = run(Focus{w});
      EXPECT_TRUE(focused) << focused.error().display_chain();
      if (focused) {
        EXPECT_EQ(focused->code, "DESKTOP_FOCUS_ACCEPTED");
      }
      w = observe();
    }
    EXPECT_TRUE(w.foreground);
    return w;
  }

  // A point of a control, in the window's own coordinates (from its top-left corner).
  static POINT window_point(int control_id, int dx, int dy) {
    HWND control = ::GetDlgItem(to_hwnd(g_app->window), control_id);
    RECT c{};
    ::GetWindowRect(control, &c);
    RECT w{};
    ::GetWindowRect(to_hwnd(g_app->window), &w);
    return POINT{c.left - w.left + dx, c.top - w.top + dy};
  }

  static std::string log() { return read_text_file(g_app->log); }
  static bool wait_for_log(const std::string& line) { return wait_for_text(g_app->log, line + "\r\n"); }
};

std::string code_of(const Result<Response>& r) { return r ? r->code : r.error().display_chain(); }

TEST_F(ExecutorEndToEnd, InspectAndFindWindowsListTheApplication) {
  const Window w = observe();
  EXPECT_EQ(w.title, kAppTitle);
  EXPECT_EQ(w.process_id, g_app->process_id);

  FindWindows find;
  find.selector.title = kAppTitle;
  find.timeout_ms = 500;
  auto found = run(find);
  ASSERT_TRUE(found) << found.error().display_chain();
  EXPECT_EQ(found->code, "DESKTOP_WINDOWS_FOUND");
  ASSERT_EQ(found->windows.size(), 1u);
  EXPECT_EQ(found->windows[0].handle, g_app->window);
  EXPECT_TRUE(found->execution);
  EXPECT_FALSE(found->input_diagnostic);
}

TEST_F(ExecutorEndToEnd, FocusBringsTheApplicationForward) {
  // A window of this test process takes the foreground first.
  HWND other = ::CreateWindowExW(0, L"STATIC", L"other", WS_POPUP | WS_VISIBLE, 900, 700, 100, 100, nullptr, nullptr,
                                 nullptr, nullptr);
  ASSERT_NE(other, nullptr);
  ::SetForegroundWindow(other);
  ASSERT_EQ(::GetForegroundWindow(), other);
  const Window w = observe();
  EXPECT_FALSE(w.foreground);
  auto focused = run(Focus{w});
  ASSERT_TRUE(focused) << focused.error().display_chain();
  EXPECT_EQ(focused->code, "DESKTOP_FOCUS_ACCEPTED");
  EXPECT_EQ(::GetForegroundWindow(), to_hwnd(g_app->window));
  ::DestroyWindow(other);
}

TEST_F(ExecutorEndToEnd, CaptureReturnsTheApplicationsPixels) {
  const Window w = forward();
  auto shot = run(Capture{w});
  ASSERT_TRUE(shot) << shot.error().display_chain();
  EXPECT_EQ(shot->code, "DESKTOP_OBSERVED");
  ASSERT_TRUE(shot->png_base64);
  auto bytes = base64_decode(*shot->png_base64);
  ASSERT_TRUE(bytes);
  auto png = testing::read_png(*bytes);
  ASSERT_TRUE(png);
  ASSERT_EQ(png->width, static_cast<std::uint32_t>(w.rect.right - w.rect.left));
  ASSERT_EQ(png->height, static_cast<std::uint32_t>(w.rect.bottom - w.rect.top));
  // The read-only edit's pixels as the application painted them.
  HDC dc = ::GetDC(to_hwnd(g_app->window));
  int compared = 0;
  for (int dy = 2; dy < 20; dy += 6) {
    const POINT p = window_point(105, 30, dy);
    POINT client = {p.x + w.rect.left, p.y + w.rect.top};
    ::ScreenToClient(to_hwnd(g_app->window), &client);
    const COLORREF painted = ::GetPixel(dc, client.x, client.y);
    const std::uint8_t* got = png->at(static_cast<std::uint32_t>(p.x), static_cast<std::uint32_t>(p.y));
    EXPECT_EQ(got[0], GetRValue(painted));
    EXPECT_EQ(got[1], GetGValue(painted));
    EXPECT_EQ(got[2], GetBValue(painted));
    ++compared;
  }
  ::ReleaseDC(to_hwnd(g_app->window), dc);
  EXPECT_EQ(compared, 3);
  ASSERT_EQ(shot->windows.size(), 1u);
  EXPECT_EQ(shot->windows[0].handle, g_app->window);
}

TEST_F(ExecutorEndToEnd, CaptureWindowReturnsTheWindowsOwnPixels) {
  const Window w = observe();
  auto shot = run(CaptureWindow{w});
  ASSERT_TRUE(shot) << shot.error().display_chain();
  EXPECT_EQ(shot->code, "DESKTOP_OBSERVED");
  ASSERT_TRUE(shot->png_base64);
  ASSERT_TRUE(shot->window_capture_diagnostic);
  auto bytes = base64_decode(*shot->png_base64);
  ASSERT_TRUE(bytes);
  auto png = testing::read_png(*bytes);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->width, shot->image_width);
  EXPECT_EQ(png->height, shot->image_height);
  ASSERT_EQ(shot->windows.size(), 1u);
  EXPECT_EQ(shot->windows[0].handle, g_app->window);
}

TEST_F(ExecutorEndToEnd, LaunchIsValidatedAfterTheBannerIsProvenAndGetsNoEvidence) {
  auto validated = run(Launch{"C:\\windows\\notepad.exe", {"C:\\vor-executor-tests\\note.txt"}});
  ASSERT_TRUE(validated) << validated.error().display_chain();
  EXPECT_EQ(validated->code, "DESKTOP_LAUNCH_VALIDATED");
  EXPECT_EQ(validated->next_safe_action, "The broker may launch the authorized application in this user session.");
  EXPECT_FALSE(validated->execution);
  EXPECT_FALSE(validated->input_diagnostic);
  EXPECT_TRUE(validated->notice_context);
}

TEST_F(ExecutorEndToEnd, ClickLandsAtTheRequestedPoint) {
  const Window w = forward();
  const POINT p = window_point(102, 8, 15);  // inside the check box
  auto clicked = run(Click{w, p.x, p.y});
  ASSERT_TRUE(clicked) << clicked.error().display_chain();
  EXPECT_EQ(clicked->code, "DESKTOP_INPUT_ACCEPTED");
  ASSERT_TRUE(clicked->input_diagnostic);
  EXPECT_TRUE(clicked->input_diagnostic->input_dispatched);
  EXPECT_TRUE(wait_for_log("check 1"));
}

TEST_F(ExecutorEndToEnd, TypeAndKeyPressesArriveInTheEdit) {
  Window w = forward();
  const POINT p = window_point(103, 20, 10);
  auto clicked = run(Click{w, p.x, p.y});  // focuses the single-line edit
  ASSERT_TRUE(clicked) << clicked.error().display_chain();
  w = observe();
  const std::string text = "h\xC3\xA9\xF0\x9F\x98\x80z";  // U+00E9 and U+1F600 (two UTF-16 units)
  auto typed = run(Type{w, text});
  ASSERT_TRUE(typed) << typed.error().display_chain();
  EXPECT_EQ(typed->code, "DESKTOP_INPUT_ACCEPTED");
  EXPECT_TRUE(wait_for_log("single: " + text)) << log();

  w = observe();
  auto pressed = run(Key{w, KeyName::kBackspace});
  ASSERT_TRUE(pressed) << pressed.error().display_chain();
  EXPECT_EQ(pressed->code, "DESKTOP_INPUT_ACCEPTED");
  EXPECT_TRUE(wait_for_log("single: h\xC3\xA9\xF0\x9F\x98\x80")) << log();
}

ElementSelector by_id(int id) {
  ElementSelector s;
  s.automation_id = std::to_string(id);
  return s;
}

TEST_F(ExecutorEndToEnd, TheElementKindsFindWaitForAndActOnTheControls) {
  Window w = forward();
  auto found = run(FindElements{w, by_id(101), 1000});
  ASSERT_TRUE(found) << found.error().display_chain();
  EXPECT_EQ(found->code, "DESKTOP_ELEMENTS_FOUND");
  ASSERT_TRUE(found->automation);
  ASSERT_EQ(found->automation->elements.size(), 1u);
  EXPECT_EQ(found->automation->elements[0].name, "Push");

  auto ready = run(WaitElement{w, Check{by_id(105), ValueEquals{"fixed"}}, 1000});
  ASSERT_TRUE(ready) << ready.error().display_chain();
  EXPECT_EQ(ready->code, "DESKTOP_ELEMENT_CONDITION_VERIFIED");

  w = observe();
  auto set = run(ElementAction{w, by_id(103), SetValue{"from the executor"},
                               Check{by_id(103), ValueEquals{"from the executor"}}, 3000});
  ASSERT_TRUE(set) << set.error().display_chain();
  EXPECT_EQ(set->code, "DESKTOP_ELEMENT_ACTION_VERIFIED");
  EXPECT_TRUE(wait_for_log("single: from the executor")) << log();
}

TEST_F(ExecutorEndToEnd, ACoveringWindowGivesTargetOccluded) {
  const Window w = forward();
  const POINT p = window_point(101, 10, 10);
  // A topmost window of this process over the push button, shown without
  // taking the foreground.
  HWND cover = ::CreateWindowExW(WS_EX_TOPMOST | WS_EX_NOACTIVATE | WS_EX_TOOLWINDOW, L"STATIC", L"cover", WS_POPUP,
                                 w.rect.left + p.x - 5, w.rect.top + p.y - 5, 40, 30, nullptr, nullptr, nullptr,
                                 nullptr);
  ASSERT_NE(cover, nullptr);
  ::SetWindowPos(cover, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE | SWP_SHOWWINDOW);
  const Window now = observe();
  auto clicked = run(Click{now, p.x, p.y});
  EXPECT_EQ(code_of(clicked), "DESKTOP_TARGET_OCCLUDED");
  if (clicked) {
    ASSERT_TRUE(clicked->input_diagnostic);
    EXPECT_FALSE(clicked->input_diagnostic->input_dispatched);
  }
  EXPECT_EQ(log().find("push 1"), std::string::npos);
  ::DestroyWindow(cover);
}

TEST_F(ExecutorEndToEnd, TheStopHotkeyDuringTheProofStopsTheKeyPress) {
  const Window w = forward();
  // Once a banner of another process is shown, its thread gets the stop
  // hotkey's message.
  bool posted = false;
  std::thread stopper([&] {
    for (int i = 0; i < 800 && !posted; ++i) {
      HWND banner = ::FindWindowW(L"STATIC", nullptr);
      while (banner != nullptr) {
        DWORD owner = 0;
        const DWORD thread = ::GetWindowThreadProcessId(banner, &owner);
        if (owner != ::GetCurrentProcessId() && owner != g_app->process_id && ::IsWindowVisible(banner)) {
          posted = ::PostThreadMessageW(thread, WM_HOTKEY, 1, MAKELPARAM(MOD_CONTROL | MOD_ALT, VK_F12)) != FALSE;
          break;
        }
        banner = ::FindWindowExW(nullptr, banner, L"STATIC", nullptr);
      }
      ::Sleep(5);
    }
  });
  auto pressed = run(Key{w, KeyName::kSpace});
  stopper.join();
  ASSERT_TRUE(posted);
  EXPECT_EQ(code_of(pressed), "DESKTOP_STOP_REQUESTED");
  if (pressed) {
    ASSERT_TRUE(pressed->input_diagnostic);
    EXPECT_FALSE(pressed->input_diagnostic->input_dispatched);
  }
}

TEST_F(ExecutorEndToEnd, InputFromAnotherProcessAfterTheObservationGivesHumanInputChanged) {
  const Window w = forward();
  ::Sleep(20);
  INPUT shift[2] = {};
  shift[0].type = INPUT_KEYBOARD;
  shift[0].ki.wVk = VK_SHIFT;
  shift[1] = shift[0];
  shift[1].ki.dwFlags = KEYEVENTF_KEYUP;
  ASSERT_EQ(::SendInput(2, shift, sizeof(INPUT)), 2u);
  const POINT p = window_point(101, 10, 10);
  auto clicked = run(Click{w, p.x, p.y});
  EXPECT_EQ(code_of(clicked), "DESKTOP_HUMAN_INPUT_CHANGED");
  EXPECT_EQ(log().find("push 1"), std::string::npos);
}

}  // namespace
}  // namespace vor::desktop

int main(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide != nullptr && count >= 2 && std::wstring_view(wide[1]) == L"worker") {
    std::vector<std::optional<std::string>> args;
    for (int i = 2; i < count; ++i) args.push_back(vor::from_wide(wide[i]));
    ::LocalFree(wide);
    // Worker mode exactly as the program's composition root runs it.
    vor::desktop::Win32Adapters adapters;
    const vor::desktop::EntryServices services = vor::desktop::make_win32_entry_services(adapters);
    return services.run_worker(args) ? 0 : 64;
  }
  if (wide != nullptr && count >= 3 && std::wstring_view(wide[1]) == L"hold-mutex") {
    const std::wstring ready = wide[2];
    ::LocalFree(wide);
    return vor::desktop::hold_mutex(ready);
  }
  if (wide != nullptr) ::LocalFree(wide);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
