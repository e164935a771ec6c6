// The notice port: the banner window, its stop hotkey, painting into it, the
// thread's message queue and the z-order facts of the occlusion walk.
//
// Each method is one Win32 call and returns its raw result; the notice rules
// (notice.h, occlusion.h) decide. The Win32 adapter is `make_win32_notice_sys`
// (notice_sys_win32.h); tests script `FakeNoticeSys`
// (desktop/tests/readiness/fake_notice_sys.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "native/ports.h"
#include "native/win32_result.h"
#include "protocol/observation.h"
#include "readiness/desktop_sys.h"

namespace vor::desktop {

using DeviceContext = std::uint64_t;  // HDC, 0 for none
using BrushHandle = std::uint64_t;    // HBRUSH, 0 for none

// What CreateWindowExW is given (no parent, no menu, this module's instance).
struct BannerWindowSpec {
  std::u16string class_name;
  std::u16string title;
  std::uint32_t style = 0;
  std::uint32_t ex_style = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool operator==(const BannerWindowSpec&) const = default;
};

// One MSG as PeekMessageW removed it.
struct QueuedMessage {
  WindowHandle window = 0;
  std::uint32_t message = 0;
  std::uint64_t wparam = 0;
  std::int64_t lparam = 0;
  std::uint32_t time = 0;
  std::int32_t x = 0;
  std::int32_t y = 0;
};

// What GetLayeredWindowAttributes wrote.
struct LayeredAttributes {
  std::uint32_t colour_key = 0;
  std::uint8_t alpha = 0;
  std::uint32_t flags = 0;
};

class NoticeSys {
 public:
  virtual ~NoticeSys() = default;

  // MonitorFromRect with MONITOR_DEFAULTTONEAREST; 0 when it gave none.
  virtual MonitorHandle monitor_from_rect(const Rect& rect) = 0;

  // RegisterHotKey / UnregisterHotKey with a null window (a thread hotkey).
  virtual Win32<void> register_hotkey(std::int32_t id, std::uint32_t modifiers, std::uint32_t virtual_key) = 0;
  virtual Win32<void> unregister_hotkey(std::int32_t id) = 0;

  virtual Win32<WindowHandle> create_window(const BannerWindowSpec& spec) = 0;  // CreateWindowExW
  // SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, flags).
  virtual Win32<void> set_window_pos_topmost(WindowHandle window, std::uint32_t flags) = 0;
  virtual Win32<void> destroy_window(WindowHandle window) = 0;  // DestroyWindow
  virtual bool update_window(WindowHandle window) = 0;          // UpdateWindow

  virtual DeviceContext get_dc(WindowHandle window) = 0;                 // GetDC
  virtual void release_dc(WindowHandle window, DeviceContext dc) = 0;    // ReleaseDC
  virtual BrushHandle create_solid_brush(std::uint32_t colorref) = 0;    // CreateSolidBrush
  virtual void delete_brush(BrushHandle brush) = 0;                      // DeleteObject
  // FillRect in the window's own coordinates; the error when it returned 0.
  virtual Win32<void> fill_rect(DeviceContext dc, const Rect& rect, BrushHandle brush) = 0;
  virtual Win32<void> gdi_flush() = 0;  // GdiFlush
  virtual std::int32_t dwm_flush() = 0;  // DwmFlush: its HRESULT

  // PeekMessageW(PM_REMOVE) of the calling thread's queue, any window,
  // messages `first` to `last` (0, 0 for all); nothing when it is empty.
  virtual std::optional<QueuedMessage> peek_message(std::uint32_t first, std::uint32_t last) = 0;
  virtual void translate_and_dispatch(const QueuedMessage& message) = 0;  // TranslateMessage, DispatchMessageW

  // GetWindow(GW_HWNDPREV): the window directly above in z-order, 0 for none.
  virtual WindowHandle window_above(WindowHandle window) = 0;
  // GetWindowLongPtrW(GWL_EXSTYLE); 0 when the call fails.
  virtual std::uint32_t extended_style(WindowHandle window) = 0;
  virtual Win32<LayeredAttributes> layered_attributes(WindowHandle window) = 0;  // GetLayeredWindowAttributes
};

}  // namespace vor::desktop
