#include "readiness/notice_sys_win32.h"

#include <windows.h>
#include <dwmapi.h>

#include <string>

#include "native/dwm_functions_win32.h"
#include "native/ports_win32.h"
#include "native/win32_result_win32.h"

namespace vor::desktop {
namespace {

HDC to_hdc(DeviceContext dc) { return reinterpret_cast<HDC>(static_cast<std::uintptr_t>(dc)); }
HBRUSH to_hbrush(BrushHandle brush) { return reinterpret_cast<HBRUSH>(static_cast<std::uintptr_t>(brush)); }
std::uint64_t from_pointer(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }

std::wstring wide(const std::u16string& text) { return std::wstring(text.begin(), text.end()); }

class Win32NoticeSys final : public NoticeSys {
 public:
  MonitorHandle monitor_from_rect(const Rect& rect) override {
    const RECT r{rect.left, rect.top, rect.right, rect.bottom};
    return from_pointer(::MonitorFromRect(&r, MONITOR_DEFAULTTONEAREST));
  }
  Win32<void> register_hotkey(std::int32_t id, std::uint32_t modifiers, std::uint32_t virtual_key) override {
    return win32_bool(::RegisterHotKey(nullptr, id, modifiers, virtual_key));
  }
  Win32<void> unregister_hotkey(std::int32_t id) override { return win32_bool(::UnregisterHotKey(nullptr, id)); }
  Win32<WindowHandle> create_window(const BannerWindowSpec& spec) override {
    const std::wstring class_name = wide(spec.class_name);
    const std::wstring title = wide(spec.title);
    HWND window = ::CreateWindowExW(spec.ex_style, class_name.c_str(), title.c_str(), spec.style, spec.x, spec.y,
                                    spec.width, spec.height, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    if (window == nullptr) return win32_error(::GetLastError());
    return from_hwnd(window);
  }
  Win32<void> set_window_pos_topmost(WindowHandle window, std::uint32_t flags) override {
    return win32_bool(::SetWindowPos(to_hwnd(window), HWND_TOPMOST, 0, 0, 0, 0, flags));
  }
  Win32<void> destroy_window(WindowHandle window) override { return win32_bool(::DestroyWindow(to_hwnd(window))); }
  bool update_window(WindowHandle window) override { return ::UpdateWindow(to_hwnd(window)) != FALSE; }
  DeviceContext get_dc(WindowHandle window) override { return from_pointer(::GetDC(to_hwnd(window))); }
  void release_dc(WindowHandle window, DeviceContext dc) override { ::ReleaseDC(to_hwnd(window), to_hdc(dc)); }
  BrushHandle create_solid_brush(std::uint32_t colorref) override {
    return from_pointer(::CreateSolidBrush(static_cast<COLORREF>(colorref)));
  }
  void delete_brush(BrushHandle brush) override { ::DeleteObject(to_hbrush(brush)); }
  Win32<void> fill_rect(DeviceContext dc, const Rect& rect, BrushHandle brush) override {
    const RECT r{rect.left, rect.top, rect.right, rect.bottom};
    return win32_bool(::FillRect(to_hdc(dc), &r, to_hbrush(brush)));
  }
  Win32<void> gdi_flush() override { return win32_bool(::GdiFlush()); }
  std::int32_t dwm_flush() override {
    auto flush = dwm_flush_fn.get();
    if (!flush) return static_cast<std::int32_t>(HRESULT_FROM_WIN32(flush.error()));
    return static_cast<std::int32_t>((*flush)());
  }
  std::optional<QueuedMessage> peek_message(std::uint32_t first, std::uint32_t last) override {
    MSG msg{};
    if (!::PeekMessageW(&msg, nullptr, first, last, PM_REMOVE)) return std::nullopt;
    QueuedMessage m;
    m.window = from_hwnd(msg.hwnd);
    m.message = msg.message;
    m.wparam = msg.wParam;
    m.lparam = msg.lParam;
    m.time = msg.time;
    m.x = msg.pt.x;
    m.y = msg.pt.y;
    return m;
  }
  void translate_and_dispatch(const QueuedMessage& m) override {
    MSG msg{};
    msg.hwnd = to_hwnd(m.window);
    msg.message = m.message;
    msg.wParam = static_cast<WPARAM>(m.wparam);
    msg.lParam = static_cast<LPARAM>(m.lparam);
    msg.time = m.time;
    msg.pt = POINT{m.x, m.y};
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  WindowHandle window_above(WindowHandle window) override {
    return from_hwnd(::GetWindow(to_hwnd(window), GW_HWNDPREV));
  }
  std::uint32_t extended_style(WindowHandle window) override {
    return static_cast<std::uint32_t>(::GetWindowLongPtrW(to_hwnd(window), GWL_EXSTYLE));
  }
  Win32<LayeredAttributes> layered_attributes(WindowHandle window) override {
    COLORREF key = 0;
    BYTE alpha = 0;
    DWORD flags = 0;
    if (auto ok = win32_bool(::GetLayeredWindowAttributes(to_hwnd(window), &key, &alpha, &flags)); !ok) {
      return win32_error(ok.error());
    }
    return LayeredAttributes{key, alpha, flags};
  }
};

}  // namespace

std::unique_ptr<NoticeSys> make_win32_notice_sys() { return std::make_unique<Win32NoticeSys>(); }

}  // namespace vor::desktop
