// A scripted desktop behind the worker's ports, for tests.
//
// `FakeDesktop` holds top-level windows in z-order (first = top), the
// processes behind them, the foreground window, the last-input tick, held
// keys and the input desktop's name; its `FakeClock` (support/fake_clock.h)
// advances only when the code under test sleeps (or when a test advances it). Windows can be
// scheduled to appear at a later time, and each enumerated window can cost
// time, so search deadlines and retry slices are tested without real time.
//
//   FakeDesktop desk;
//   desk.add_process(100, {.session = 1, .created = 555});
//   WindowHandle w = desk.add_window({.process_id = 100, .title = u"Editor"});
//   auto found = find_matching_windows(desk.ports(), 1, selector, 1000);
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "native/ports.h"
#include "support/fake_clock.h"

namespace vor::desktop::testing {

struct FakeProcess {
  std::uint32_t session = 1;
  std::uint64_t created = 132'000'000'000'000'000ULL;
  std::optional<std::uint32_t> session_error;  // ProcessIdToSessionId fails
  std::optional<std::uint32_t> open_error;     // OpenProcess fails
  std::optional<std::uint32_t> times_error;    // GetProcessTimes fails
  bool exited = false;                         // the zero wait is signalled
  std::optional<std::uint32_t> wait_error;     // WaitForSingleObject fails
  std::u16string image = u"C:\\Apps\\app.exe";
  std::optional<std::uint32_t> image_error;    // QueryFullProcessImageNameW fails
  std::string user_sid = "S-1-5-21-1-2-3-1000";
  std::optional<Error> sid_error;              // the token's user cannot be read
};

struct FakeWindow {
  std::uint32_t process_id = 0;
  std::u16string title;
  Rect rect{0, 0, 640, 480};
  bool visible = true;
  bool minimized = false;
  std::optional<std::uint32_t> rect_error;  // GetWindowRect fails
  // DWMWA_CLOAKED value, or the failing HRESULT.
  std::expected<std::uint32_t, std::int32_t> cloaked = 0u;
  Win32<std::uint32_t> display_affinity = 0u;
  WindowHandle root = 0;  // GetAncestor(GA_ROOT); 0 = the window itself
  // Enumerated only once this much time passed on the clock.
  std::chrono::nanoseconds appears_after{0};
};

class FakeDesktop final : public WindowSys, public ProcSys, public InputSys {
 public:
  FakeDesktop();

  FakeClock clock;
  WindowHandle foreground = 0;
  Win32<std::uint32_t> last_input = 1000u;
  // The input desktop's name, or the Win32 error of opening it.
  Win32<std::u16string> desktop_name = std::u16string(u"Default");
  std::set<int> held_keys;
  // Clock time that each enumerated window costs.
  std::chrono::nanoseconds enumeration_cost{0};
  std::uint32_t self_process_id = 4242;
  // Whether SetForegroundWindow succeeds (and makes the window the foreground).
  bool foreground_allowed = true;

  void add_process(std::uint32_t process_id, FakeProcess process);
  FakeProcess& process(std::uint32_t process_id) { return processes_.at(process_id); }
  // Adds a window below all others in the z-order (the first added is the top).
  WindowHandle add_window(FakeWindow window);
  FakeWindow& window(WindowHandle handle) { return windows_.at(handle); }
  void remove_window(WindowHandle handle);
  // Moves a window to the top of the z-order.
  void raise(WindowHandle handle);

  int enumerations() const { return enumerations_; }
  DesktopPorts ports() { return {*this, *this, *this, clock}; }

  // WindowSys
  Win32<void> enum_windows(const std::function<bool(WindowHandle)>& visit) override;
  std::uint32_t window_process_id(WindowHandle window) override;
  bool is_visible(WindowHandle window) override;
  bool is_minimized(WindowHandle window) override;
  Win32<Rect> window_rect(WindowHandle window) override;
  std::u16string window_text(WindowHandle window, std::size_t capacity) override;
  WindowHandle foreground_window() override { return foreground; }
  WindowHandle root_ancestor(WindowHandle window) override;
  // The topmost visible, not minimized window whose rect holds the point
  // (right and bottom edges excluded).
  WindowHandle window_from_point(std::int32_t x, std::int32_t y) override;
  bool set_foreground(WindowHandle window) override;
  std::expected<std::uint32_t, std::int32_t> cloaked(WindowHandle window) override;
  Win32<std::uint32_t> display_affinity(WindowHandle window) override;
  Win32<std::u16string> input_desktop_name() override { return desktop_name; }

  // ProcSys
  Win32<std::uint32_t> process_session_id(std::uint32_t process_id) override;
  Win32<std::unique_ptr<Process>> open(std::uint32_t process_id, Access access) override;
  std::uint32_t current_process_id() override { return self_process_id; }
  int open_queries() const { return open_queries_; }  // processes not yet closed

  // InputSys
  Win32<std::uint32_t> last_input_tick() override { return last_input; }
  std::int16_t async_key_state(int virtual_key) override;
  VirtualScreen virtual_screen() override { return screen; }
  // Records the batch; inserts at most the next scripted limit (all when no
  // limit is left), and fails with ERROR_ACCESS_DENIED when that is 0.
  Win32<std::uint32_t> send_input(const std::vector<InputRecord>& records) override;

  VirtualScreen screen{0, 0, 1920, 1080};
  std::deque<std::uint32_t> send_limits;
  std::vector<std::vector<InputRecord>> sent_batches;  // each batch as given
  std::vector<InputRecord> inserted;                   // the records inserted, in order

 private:
  const FakeWindow* find(WindowHandle handle) const;

  std::map<std::uint32_t, FakeProcess> processes_;
  std::map<WindowHandle, FakeWindow> windows_;
  std::vector<WindowHandle> z_order_;
  WindowHandle next_handle_ = 0x10010;
  int enumerations_ = 0;
  int open_queries_ = 0;
};

// Win32 errors the fakes report.
inline constexpr std::uint32_t kFakeInvalidWindowHandle = 1400;  // ERROR_INVALID_WINDOW_HANDLE
inline constexpr std::uint32_t kFakeInvalidParameter = 87;       // ERROR_INVALID_PARAMETER
inline constexpr std::uint32_t kFakeAccessDenied = 5;            // ERROR_ACCESS_DENIED

}  // namespace vor::desktop::testing
