// A scripted UI Automation tree and classic controls behind the automation
// port, for tests.
//
// `FakeAutomation` holds elements (nodes) under root windows. Every
// cross-process call (building an element, a current property, a pattern,
// a comparison) costs `call_cost` on the fake clock, or the node's own
// cost; cached properties are the node's values when the element was built,
// current ones are read live. Calls can be made to fail by name, changes can
// be scheduled at a clock time, and every call is logged in order.
// `FakeControls` holds child windows for the classic-control path and falls
// back to the `FakeDesktop` for top-level windows.
//
//   FakeAutomation uia(desk.clock);
//   int root = uia.add_root(window_handle, {.control_type = 50032});
//   int ok = uia.add_child(root, {.name = u"OK", .invoke = true});
//   uia.fail("GetFirstChildElementBuildCache", E_FAIL);
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/fake_desktop.h"
#include "uia/automation_port.h"

namespace vor::desktop::uia::testing {

using vor::desktop::testing::FakeClock;
using vor::desktop::testing::FakeDesktop;

inline constexpr HResult kFakeFailure = static_cast<HResult>(0x80004005);           // E_FAIL
inline constexpr HResult kFakeChangedMode = static_cast<HResult>(0x80010106);       // RPC_E_CHANGED_MODE
inline constexpr HResult kFakeClassNotRegistered = static_cast<HResult>(0x80040154);  // REGDB_E_CLASSNOTREG
inline constexpr HResult kFakeTimeout = static_cast<HResult>(0x80131505);           // UIA_E_TIMEOUT
inline constexpr HResult kFakeNotAvailable = static_cast<HResult>(0x80040201);      // UIA_E_ELEMENTNOTAVAILABLE
inline constexpr HResult kFakeAlreadyInitialized = 1;                                // S_FALSE

struct FakeNode {
  std::int32_t process_id = 100;
  Rect rect{10, 10, 110, 40};
  bool password = false;
  WindowHandle native = 0;
  std::u16string automation_id;
  std::u16string name;
  std::u16string class_name;
  std::int32_t control_type = kButtonControlType;
  bool enabled = true;
  bool offscreen = false;
  bool invoke = false;  // supports the Invoke pattern
  bool value = false;   // supports the Value pattern
  std::u16string current_value;
  bool read_only = false;
  // Clock cost of each cross-process call on this node, instead of `call_cost`.
  std::optional<std::chrono::nanoseconds> cost;
  bool gone = false;  // every call fails with UIA_E_ELEMENTNOTAVAILABLE
  std::vector<int> children;
};

class FakeAutomation final : public ComSys {
 public:
  explicit FakeAutomation(FakeClock& clock) : clock_(clock) {}

  int add_root(WindowHandle window, FakeNode node);
  int add_child(int parent, FakeNode node);
  // A new node with the same children in place of `id` under its parent (an
  // element that was re-created: equal properties, not the same element).
  int replace(int id);
  FakeNode& node(int id) { return nodes_.at(static_cast<std::size_t>(id)); }

  // The next `times` calls named `call` (on `node`, or on any) fail with `hr`.
  void fail(std::string call, HResult hr, int times = 1, int node = -1);
  // Runs `change` before the first call made at or after `elapsed` on the clock.
  void at(std::chrono::nanoseconds elapsed, std::function<void(FakeAutomation&)> change);

  std::chrono::nanoseconds call_cost{0};
  HResult init_result = 0;
  bool automation_null = false;
  // Called after a successful Invoke / SetValue with the node.
  std::function<void(int)> on_invoke;
  std::function<void(int, const std::u16string&)> on_set_value;

  // Every call in order, with its argument where it has one.
  std::vector<std::string> log;
  int count(const std::string& entry) const;
  // Calls that read anything of the node (properties, children, patterns).
  int touches(int node) const;
  int invokes = 0;
  int set_values = 0;
  int open_references() const { return references_; }

  // ComSys
  HResult initialize_multithreaded() override;
  void uninitialize() override;
  Com<std::unique_ptr<Automation>> create_automation() override;
  void discard_error_info() override;

  // Used by the fake objects.
  std::optional<HResult> call(const std::string& name, int node = -1, const std::string& argument = {});
  void charge(int node);
  FakeClock& clock() { return clock_; }
  std::optional<int> root_of(WindowHandle window) const;
  int parent_of(int node) const;
  void reference(int delta) { references_ += delta; }

 private:
  struct Injection {
    std::string call;
    HResult hr;
    int times;
    int node;
  };
  struct Scheduled {
    std::chrono::nanoseconds at;
    std::function<void(FakeAutomation&)> change;
    bool done = false;
  };

  FakeClock& clock_;
  std::vector<FakeNode> nodes_;
  std::map<WindowHandle, int> roots_;
  std::vector<Injection> injections_;
  std::vector<Scheduled> scheduled_;
  std::map<int, int> touches_;
  int references_ = 0;
};

struct FakeControl {
  std::uint32_t process_id = 100;
  std::uint32_t thread_id = 7;
  WindowHandle parent = 0;
  std::u16string class_name = u"Button";
  std::uint32_t style = 0x50000000;  // WS_CHILD | WS_VISIBLE, BS_PUSHBUTTON
  bool unicode = true;
  bool enabled = true;
  bool visible = true;
  std::uintptr_t password_char = 0;
  std::uintptr_t limit = 30000;
  std::u16string text;
  bool hung = false;  // sends time out after their whole time-out
};

struct SentMessage {
  WindowHandle window = 0;
  std::uint32_t message = 0;
  std::uint32_t flags = 0;
  std::uint32_t timeout_ms = 0;
  std::u16string text;
};

class FakeControls final : public ControlSys {
 public:
  explicit FakeControls(FakeDesktop& desk) : desk_(desk) {}

  WindowHandle add(FakeControl control);
  FakeControl& control(WindowHandle handle) { return controls_.at(handle); }

  std::vector<SentMessage> sent;
  // Called for each message that a control answers.
  std::function<void(const SentMessage&)> on_message;

  bool is_child(WindowHandle parent, WindowHandle window) override;
  bool is_enabled(WindowHandle window) override;
  bool is_visible(WindowHandle window) override;
  WindowThread window_thread(WindowHandle window) override;
  std::u16string class_name(WindowHandle window, std::size_t capacity) override;
  bool is_unicode(WindowHandle window) override;
  std::uint32_t style(WindowHandle window) override;
  WindowHandle parent(WindowHandle window) override;
  Win32<std::uintptr_t> send_message(WindowHandle window, std::uint32_t message, std::uintptr_t wparam,
                                     std::intptr_t lparam, std::uint32_t flags, std::uint32_t timeout_ms) override;
  Win32<std::uintptr_t> send_text(WindowHandle window, std::uint32_t message, std::u16string_view text,
                                  std::uint32_t flags, std::uint32_t timeout_ms) override;

 private:
  Win32<std::uintptr_t> answer(SentMessage message);

  FakeDesktop& desk_;
  std::map<WindowHandle, FakeControl> controls_;
  WindowHandle next_handle_ = 0x80010;
};

inline constexpr std::uint32_t kFakeSendTimeout = 1460;  // ERROR_TIMEOUT

}  // namespace vor::desktop::uia::testing
