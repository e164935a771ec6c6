// The Windows adapters of the window-capture port, and the pieces of them
// the Windows tests reach directly.
//
//   std::unique_ptr<WindowCaptureSys> capture = make_window_capture_sys();
//
// `make_window_capture_sys` is the graphics-capture adapter in the release
// build and, in the Wine stand-in build, the adapter that reads frames from
// the window's own device context (Wine registers no capture class).
#pragma once

#include <windows.h>

#include <memory>

#include "capture_wgc/wgc_interfaces_win32.h"
#include "capture_wgc/window_capture_port.h"

namespace vor::desktop {

std::unique_ptr<WindowCaptureSys> make_window_capture_sys();

// The graphics-capture (WinRT) adapter itself, in both Windows builds.
std::unique_ptr<WindowCaptureSys> make_winrt_window_capture();

// The handler of the item's Closed event: an agile, reference-counted object
// (one reference, the caller's) whose Invoke, from any thread, sets `flag`.
wgc::IClosedHandler* make_closed_handler(std::shared_ptr<ClosedFlag> flag);

// The HRESULT of a failed call, after taking and releasing the calling
// thread's COM error object of that call.
HResult take_failure(HRESULT hr);

// The display queries, performance counter and runtime calls that both
// adapters share.
class Win32CaptureBase : public WindowCaptureSys {
 public:
  std::uint64_t monitor_from_window(WindowHandle window) override;
  Hr<Rect> extended_frame_bounds(WindowHandle window) override;
  Hr<std::unique_ptr<DisplayFactory>> open_display_factory() override;
  std::optional<std::int64_t> performance_counter() override;
  std::optional<std::int64_t> performance_frequency() override;
  HResult initialize_runtime() override;
  void uninitialize_runtime() override;
};

}  // namespace vor::desktop
