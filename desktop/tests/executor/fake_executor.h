// The executor's test ground: a scripted input-owner port, and a ready fake
// desktop with every port the executor takes (the notice drawing onto the
// fake screen, a duplication that reads that screen back, the window capture,
// the automation tree and classic controls), one target window of process
// 100 in session 1 in the foreground, and its observation.
//
//   ExecutorFixture f;
//   f.proof_frames();                       // the banner can be proven
//   auto response = f.run(click_request(f.observed, 10, 10));
//   f.expect_all_released();
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "desktop/tests/capture_dxgi/fake_duplication.h"
#include "desktop/tests/capture_wgc/fake_window_capture.h"
#include "desktop/tests/readiness/fake_notice_sys.h"
#include "executor/executor.h"
#include "native/observation.h"
#include "support/fake_desktop.h"
#include "support/fake_desktop_sys.h"
#include "uia/fake_automation.h"

namespace vor::desktop::testing {

// Every call by name; the mutex handles it gave out count while open.
class FakeInputOwnerSys final : public InputOwnerSys {
 public:
  std::optional<std::uint32_t> create_error;
  std::uint32_t wait_result = 0;  // WAIT_OBJECT_0
  bool dpi_result = true;

  std::vector<std::string> calls;
  std::vector<std::u16string> names;
  int open_handles = 0;
  bool owned = false;

  class FakeMutex final : public Mutex {
   public:
    explicit FakeMutex(FakeInputOwnerSys& sys) : sys_(sys) { ++sys_.open_handles; }
    ~FakeMutex() override {
      sys_.calls.push_back("CloseHandle");
      --sys_.open_handles;
    }
    std::uint32_t wait_now() override {
      sys_.calls.push_back("WaitForSingleObject");
      if (sys_.wait_result == 0 || sys_.wait_result == 0x80) sys_.owned = true;
      return sys_.wait_result;
    }
    Win32<void> release() override {
      sys_.calls.push_back("ReleaseMutex");
      if (!sys_.owned) return win32_error(288);  // ERROR_NOT_OWNER
      sys_.owned = false;
      return {};
    }

   private:
    FakeInputOwnerSys& sys_;
  };

  Win32<std::unique_ptr<Mutex>> create_mutex(const std::u16string& name) override {
    calls.push_back("CreateMutexW");
    names.push_back(name);
    if (create_error) return win32_error(*create_error);
    return std::unique_ptr<Mutex>(std::make_unique<FakeMutex>(*this));
  }
  bool set_dpi_awareness_context(std::intptr_t context) override {
    calls.push_back("SetProcessDpiAwarenessContext " + std::to_string(context));
    return dpi_result;
  }
};

// The input port of the fake desktop with a hook after each SendInput.
class HookedInput final : public InputSys {
 public:
  explicit HookedInput(FakeDesktop& desk) : desk_(desk) {}
  std::function<void()> after_send;

  Win32<std::uint32_t> last_input_tick() override { return desk_.last_input_tick(); }
  std::int16_t async_key_state(int key) override { return desk_.async_key_state(key); }
  VirtualScreen virtual_screen() override { return desk_.virtual_screen(); }
  Win32<std::uint32_t> send_input(const std::vector<InputRecord>& records) override {
    auto sent = desk_.send_input(records);
    if (after_send) after_send();
    return sent;
  }

 private:
  FakeDesktop& desk_;
};

// The window port of the fake desktop whose foreground answers can be
// rewritten call by call.
class HookedWindows final : public WindowSys {
 public:
  explicit HookedWindows(FakeDesktop& desk) : desk_(desk) {}
  // Given the fake's answer, returns the one the caller sees.
  std::function<WindowHandle(WindowHandle)> foreground_hook;
  // Runs after each SetForegroundWindow.
  std::function<void()> after_set_foreground;

  Win32<void> enum_windows(const std::function<bool(WindowHandle)>& visit) override {
    return desk_.enum_windows(visit);
  }
  std::uint32_t window_process_id(WindowHandle w) override { return desk_.window_process_id(w); }
  bool is_visible(WindowHandle w) override { return desk_.is_visible(w); }
  bool is_minimized(WindowHandle w) override { return desk_.is_minimized(w); }
  Win32<Rect> window_rect(WindowHandle w) override { return desk_.window_rect(w); }
  std::u16string window_text(WindowHandle w, std::size_t capacity) override { return desk_.window_text(w, capacity); }
  WindowHandle foreground_window() override {
    const WindowHandle real = desk_.foreground_window();
    return foreground_hook ? foreground_hook(real) : real;
  }
  WindowHandle root_ancestor(WindowHandle w) override { return desk_.root_ancestor(w); }
  WindowHandle window_from_point(std::int32_t x, std::int32_t y) override { return desk_.window_from_point(x, y); }
  bool set_foreground(WindowHandle w) override {
    const bool set = desk_.set_foreground(w);
    if (after_set_foreground) after_set_foreground();
    return set;
  }
  std::expected<std::uint32_t, std::int32_t> cloaked(WindowHandle w) override { return desk_.cloaked(w); }
  Win32<std::uint32_t> display_affinity(WindowHandle w) override { return desk_.display_affinity(w); }
  Win32<std::u16string> input_desktop_name() override { return desk_.input_desktop_name(); }

 private:
  FakeDesktop& desk_;
};

inline constexpr Rect kExecTargetRect{100, 300, 900, 700};
inline constexpr std::uint32_t kExecProcess = 100;

struct ExecutorFixture {
  FakeDesktop desk;
  HookedInput input{desk};
  HookedWindows windows{desk};
  FakeDesktopSys readiness;
  FakeNoticeSys notice{desk};
  FakeDuplication dup{desk.clock};
  FakeWindowCapture wgc{desk.clock};
  uia::testing::FakeAutomation uia{desk.clock};
  uia::testing::FakeControls controls{desk};
  FakeInputOwnerSys owner;
  WindowHandle target = 0;
  Window observed;
  bool dispatched = false;

  ExecutorFixture() {
    desk.add_process(desk.self_process_id, {.session = 1});
    desk.add_process(kExecProcess, {.session = 1});
    desk.add_process(0, {.session = 0});
    target = desk.add_window({.process_id = kExecProcess, .title = u"Editor", .rect = kExecTargetRect});
    desk.foreground = target;
    observed = observe();
  }

  DesktopPorts desktop_ports() { return {windows, desk, input, desk.clock}; }
  ExecutorPorts ports() { return {desktop_ports(), readiness, notice, dup, wgc, uia, controls, owner}; }

  Window observe() {
    auto w = snapshot_window(desktop_ports(), target, 1, false);
    EXPECT_TRUE(w) << w.error().display_chain();
    return w ? *w : Window{};
  }

  // Screen frames for a banner proof (presented at 100, 200, ...).
  void proof_frames(int count = 2) {
    for (int i = 0; i < count; ++i) dup.frames.push_back(notice.screen_frame(100 + 100 * i));
  }

  // Runs `action` once the banner window is destroyed, at the teardown's
  // last call (the hotkey's unregistration), so a message it posts is still
  // queued after the proof's last drain.
  void after_banner(std::function<void()> action) {
    notice.when([this] { return !notice.created.empty() && notice.windows.empty(); }, std::move(action));
  }
  // Runs `action` at the first notice call after the whole teardown: the
  // banner destroyed and the hotkey unregistered.
  void after_teardown(std::function<void()> action) {
    notice.when([this] { return !notice.created.empty() && notice.windows.empty() && notice.hotkeys.empty(); },
                std::move(action));
  }

  Result<Response> run(const Request& request, std::optional<ArmedInputPolicy> policy = std::nullopt) {
    return execute_desktop_operation(ports(), request, policy, dispatched);
  }

  // Nothing taken is left: the mutex released and closed, no banner or
  // hotkey, no device context or brush, every duplication object released,
  // the automation apartment left and every automation reference released.
  void expect_all_released() const {
    EXPECT_EQ(owner.open_handles, 0);
    EXPECT_FALSE(owner.owned);
    EXPECT_TRUE(notice.nothing_left());
    EXPECT_TRUE(dup.all_released());
    // A refused apartment is not left.
    EXPECT_EQ(uia.init_result < 0 ? 0 : uia.count("CoInitializeEx"), uia.count("CoUninitialize"));
    EXPECT_EQ(uia.open_references(), 0);
  }
};

inline Request request_of(Action action) {
  Request r;
  r.protocol = 1;
  r.operation_id = "op-1";
  r.session_id = 1;
  r.action = std::move(action);
  return r;
}

}  // namespace vor::desktop::testing
