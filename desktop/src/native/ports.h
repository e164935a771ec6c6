// The worker's platform ports: the narrow interfaces through which every
// observation and input rule reaches the operating system.
//
// Each method is one Win32 call (or one fixed pair) and returns its raw facts:
// a value, or a `Win32<T>` with the number GetLastError gave. No method decides
// anything; the rules in observation.h and the modules above build on them.
// The program entry builds the Win32 adapters once (`Win32DesktopPorts`,
// ports_win32.h) and hands `DesktopPorts` down; tests script `FakeDesktop`
// (desktop/tests/support/fake_desktop.h).
//
//   DesktopPorts ports{windows, processes, input, clock};
//   auto fresh = snapshot_window(ports, observed.handle, session, /*minimized_allowed=*/false);
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "native/clock.h"
#include "native/input_records.h"
#include "native/win32_result.h"
#include "protocol/observation.h"

namespace vor::desktop {

// A window handle as the documents carry it (HWND as an unsigned number).
using WindowHandle = std::uint64_t;

// Top-level windows, their attributes and the input desktop (user32, dwmapi).
class WindowSys {
 public:
  virtual ~WindowSys() = default;
  // EnumWindows: calls `visit` for each top-level window in z-order until it
  // returns false. The result is EnumWindows' own (false when stopped early).
  virtual Win32<void> enum_windows(const std::function<bool(WindowHandle)>& visit) = 0;
  // GetWindowThreadProcessId: the owner's process id, 0 when unknown.
  virtual std::uint32_t window_process_id(WindowHandle window) = 0;
  virtual bool is_visible(WindowHandle window) = 0;    // IsWindowVisible
  virtual bool is_minimized(WindowHandle window) = 0;  // IsIconic
  virtual Win32<Rect> window_rect(WindowHandle window) = 0;  // GetWindowRect
  // GetWindowTextW into a buffer of `capacity` UTF-16 units (at most
  // capacity - 1 characters); the units copied.
  virtual std::u16string window_text(WindowHandle window, std::size_t capacity) = 0;
  virtual WindowHandle foreground_window() = 0;              // GetForegroundWindow, 0 for none
  virtual WindowHandle root_ancestor(WindowHandle window) = 0;  // GetAncestor(GA_ROOT)
  // WindowFromPoint at a screen point, 0 for none.
  virtual WindowHandle window_from_point(std::int32_t x, std::int32_t y) = 0;
  virtual bool set_foreground(WindowHandle window) = 0;  // SetForegroundWindow
  // DwmGetWindowAttribute(DWMWA_CLOAKED, 4 bytes): the value, or the HRESULT.
  virtual std::expected<std::uint32_t, std::int32_t> cloaked(WindowHandle window) = 0;
  virtual Win32<std::uint32_t> display_affinity(WindowHandle window) = 0;  // GetWindowDisplayAffinity
  // OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS) then
  // GetUserObjectInformationW(UOI_NAME) into 128 UTF-16 units, the text up to
  // the first NUL; the error of whichever call failed. The desktop is closed.
  virtual Win32<std::u16string> input_desktop_name() = 0;
};

// Processes by id (kernel32, advapi32): the one port for process facts.
class ProcSys {
 public:
  // The rights a process is opened with (never inheritable).
  enum class Access {
    kQuery,         // PROCESS_QUERY_LIMITED_INFORMATION
    kQueryAndWait,  // PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, for has_exited
  };

  // An open process; the destructor closes the handle.
  class Process {
   public:
    virtual ~Process() = default;
    // GetProcessTimes: the creation FILETIME as 100 ns since 1601-01-01 UTC.
    virtual Win32<std::uint64_t> creation_time() = 0;
    // WaitForSingleObject with a zero wait: true when signalled (the process
    // ended), false when the wait timed out. Needs Access::kQueryAndWait.
    virtual Win32<bool> has_exited() = 0;
    // QueryFullProcessImageNameW (Win32 form), the UTF-16 units as given.
    virtual Win32<std::u16string> image_path() = 0;
    // OpenProcessToken(TOKEN_QUERY) and the token's user SID as text:
    // "DESKTOP_TOKEN_UNAVAILABLE" or "DESKTOP_SID_UNAVAILABLE" over the OS error.
    virtual Result<std::string> user_sid() = 0;
  };

  virtual ~ProcSys() = default;
  virtual Win32<std::uint32_t> process_session_id(std::uint32_t process_id) = 0;  // ProcessIdToSessionId
  virtual Win32<std::unique_ptr<Process>> open(std::uint32_t process_id, Access access) = 0;  // OpenProcess
  virtual std::uint32_t current_process_id() = 0;  // GetCurrentProcessId
};

// The keyboard and the session's input state (user32).
class InputSys {
 public:
  virtual ~InputSys() = default;
  // GetLastInputInfo (structure size 8): the tick in milliseconds since start-up.
  virtual Win32<std::uint32_t> last_input_tick() = 0;
  virtual std::int16_t async_key_state(int virtual_key) = 0;  // GetAsyncKeyState
  // GetSystemMetrics of SM_XVIRTUALSCREEN, SM_YVIRTUALSCREEN,
  // SM_CXVIRTUALSCREEN and SM_CYVIRTUALSCREEN.
  virtual VirtualScreen virtual_screen() = 0;
  // SendInput of the records in order (each copied into an INPUT, the size
  // passed is sizeof(INPUT)): the number of records inserted, which is less
  // than the count when input was blocked part way; the Win32 error when
  // none was inserted.
  virtual Win32<std::uint32_t> send_input(const std::vector<InputRecord>& records) = 0;
};

// The set of ports one operation uses, owned by the composition root.
struct DesktopPorts {
  WindowSys& windows;
  ProcSys& processes;
  InputSys& input;
  Clock& clock;
};

}  // namespace vor::desktop
