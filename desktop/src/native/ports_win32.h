// The Win32 adapters of the worker's ports, built once by the composition
// root. Each method is the Win32 call its port names; nothing is decided here.
//
//   Win32DesktopPorts win32;
//   execute_desktop_operation(win32.ports(), request, ...);
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>

#include "common/error.h"
#include "native/ports.h"
#include "native/process_sys_win32.h"

namespace vor::desktop {

std::unique_ptr<WindowSys> make_win32_window_sys();
std::unique_ptr<InputSys> make_win32_input_sys();

class Win32DesktopPorts {
 public:
  Win32DesktopPorts();
  DesktopPorts ports() { return {*windows_, *processes_, *input_, system_clock()}; }

 private:
  std::unique_ptr<WindowSys> windows_;
  std::unique_ptr<ProcSys> processes_;
  std::unique_ptr<InputSys> input_;
};

inline HWND to_hwnd(WindowHandle window) { return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window)); }
inline WindowHandle from_hwnd(HWND window) { return reinterpret_cast<std::uintptr_t>(window); }

// DwmGetWindowAttribute(DWMWA_CLOAKED): the value or the HRESULT. The Wine
// stand-in build answers 0 (Wine's DWM does not implement the attribute).
std::expected<std::uint32_t, std::int32_t> dwm_cloaked(HWND window);

// SetForegroundWindow. The Wine stand-in build also waits (at most 200 ms)
// while Wine activates another thread's window: Wine answers TRUE at once
// but reports no foreground window until the target thread has processed
// the activation.
bool set_foreground_window(HWND window);

}  // namespace vor::desktop
