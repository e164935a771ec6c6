// user32 on classic controls behind `ControlSys`.
#include <windows.h>

#include <string>

#include "native/ports_win32.h"
#include "uia/automation_win32.h"

namespace vor::desktop::uia {

namespace {

class Win32ControlSys final : public ControlSys {
 public:
  bool is_child(WindowHandle parent, WindowHandle window) override {
    return ::IsChild(to_hwnd(parent), to_hwnd(window)) != FALSE;
  }
  bool is_enabled(WindowHandle window) override { return ::IsWindowEnabled(to_hwnd(window)) != FALSE; }
  bool is_visible(WindowHandle window) override { return ::IsWindowVisible(to_hwnd(window)) != FALSE; }
  WindowThread window_thread(WindowHandle window) override {
    DWORD process = 0;
    const DWORD thread = ::GetWindowThreadProcessId(to_hwnd(window), &process);
    return {thread, process};
  }
  std::u16string class_name(WindowHandle window, std::size_t capacity) override {
    std::wstring buffer(capacity, L'\0');
    const int copied = ::GetClassNameW(to_hwnd(window), buffer.data(), static_cast<int>(capacity));
    if (copied <= 0) return {};
    return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), static_cast<std::size_t>(copied));
  }
  bool is_unicode(WindowHandle window) override { return ::IsWindowUnicode(to_hwnd(window)) != FALSE; }
  std::uint32_t style(WindowHandle window) override {
    return static_cast<std::uint32_t>(::GetWindowLongPtrW(to_hwnd(window), GWL_STYLE));
  }
  WindowHandle parent(WindowHandle window) override { return from_hwnd(::GetParent(to_hwnd(window))); }
  Win32<std::uintptr_t> send_message(WindowHandle window, std::uint32_t message, std::uintptr_t wparam,
                                     std::intptr_t lparam, std::uint32_t flags, std::uint32_t timeout_ms) override {
    DWORD_PTR result = 0;
    ::SetLastError(0);
    if (!::SendMessageTimeoutW(to_hwnd(window), message, wparam, lparam, flags, timeout_ms, &result)) {
      return win32_error(::GetLastError());
    }
    return static_cast<std::uintptr_t>(result);
  }
  Win32<std::uintptr_t> send_text(WindowHandle window, std::uint32_t message, std::u16string_view text,
                                  std::uint32_t flags, std::uint32_t timeout_ms) override {
    const std::wstring terminated(reinterpret_cast<const wchar_t*>(text.data()), text.size());
    return send_message(window, message, 0, reinterpret_cast<std::intptr_t>(terminated.c_str()), flags, timeout_ms);
  }
};

}  // namespace

std::unique_ptr<ControlSys> make_win32_control_sys() { return std::make_unique<Win32ControlSys>(); }

}  // namespace vor::desktop::uia
