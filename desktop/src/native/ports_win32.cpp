#include "native/ports_win32.h"

#include <algorithm>
#include <string>
#include <variant>
#include <vector>

#include "common/handle_win32.h"
#include "native/process_sys_win32.h"
#include "native/win32_result_win32.h"

namespace vor::desktop {
namespace {

BOOL CALLBACK visit_window(HWND window, LPARAM context) {
  const auto& visit = *reinterpret_cast<const std::function<bool(WindowHandle)>*>(context);
  return visit(from_hwnd(window)) ? TRUE : FALSE;
}

class Win32WindowSys final : public WindowSys {
 public:
  Win32<void> enum_windows(const std::function<bool(WindowHandle)>& visit) override {
    return win32_bool(::EnumWindows(visit_window, reinterpret_cast<LPARAM>(&visit)));
  }
  std::uint32_t window_process_id(WindowHandle window) override {
    DWORD process_id = 0;
    ::GetWindowThreadProcessId(to_hwnd(window), &process_id);
    return process_id;
  }
  bool is_visible(WindowHandle window) override { return ::IsWindowVisible(to_hwnd(window)) != FALSE; }
  bool is_minimized(WindowHandle window) override { return ::IsIconic(to_hwnd(window)) != FALSE; }
  Win32<Rect> window_rect(WindowHandle window) override {
    RECT r{};
    if (auto ok = win32_bool(::GetWindowRect(to_hwnd(window), &r)); !ok) return win32_error(ok.error());
    Rect rect;
    rect.left = r.left;
    rect.top = r.top;
    rect.right = r.right;
    rect.bottom = r.bottom;
    return rect;
  }
  std::u16string window_text(WindowHandle window, std::size_t capacity) override {
    std::wstring buffer(capacity, L'\0');
    const int n = ::GetWindowTextW(to_hwnd(window), buffer.data(), static_cast<int>(capacity));
    const std::size_t length = n > 0 ? static_cast<std::size_t>(n) : 0;
    return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), std::min(length, capacity));
  }
  WindowHandle foreground_window() override { return from_hwnd(::GetForegroundWindow()); }
  WindowHandle root_ancestor(WindowHandle window) override {
    return from_hwnd(::GetAncestor(to_hwnd(window), GA_ROOT));
  }
  WindowHandle window_from_point(std::int32_t x, std::int32_t y) override {
    return from_hwnd(::WindowFromPoint(POINT{x, y}));
  }
  bool set_foreground(WindowHandle window) override { return set_foreground_window(to_hwnd(window)); }
  std::expected<std::uint32_t, std::int32_t> cloaked(WindowHandle window) override {
    return dwm_cloaked(to_hwnd(window));
  }
  Win32<std::uint32_t> display_affinity(WindowHandle window) override {
    DWORD affinity = 0;
    if (auto ok = win32_bool(::GetWindowDisplayAffinity(to_hwnd(window), &affinity)); !ok) {
      return win32_error(ok.error());
    }
    return affinity;
  }
  Win32<std::u16string> input_desktop_name() override {
    UniqueDesktop desktop(::OpenInputDesktop(0, FALSE, DESKTOP_READOBJECTS));
    if (!desktop) return win32_error(::GetLastError());
    wchar_t name[128] = {};
    DWORD needed = 0;
    // The owner keeps the last error across its CloseDesktop.
    if (auto ok = win32_bool(::GetUserObjectInformationW(desktop.get(), UOI_NAME, name, sizeof name, &needed)); !ok) {
      return win32_error(ok.error());
    }
    std::size_t length = 0;
    while (length < 128 && name[length] != L'\0') ++length;
    return std::u16string(reinterpret_cast<const char16_t*>(name), length);
  }
};

static_assert(sizeof(void*) != 8 || sizeof(INPUT) == 40, "SendInput takes 40-byte records on x86-64");

// The input flags and virtual keys the portable records use must be the SDK's.
static_assert(kKeyEventExtendedKey == KEYEVENTF_EXTENDEDKEY && kKeyEventKeyUp == KEYEVENTF_KEYUP);
static_assert(kKeyEventUnicode == KEYEVENTF_UNICODE && kMouseEventMove == MOUSEEVENTF_MOVE);
static_assert(kMouseEventLeftDown == MOUSEEVENTF_LEFTDOWN && kMouseEventLeftUp == MOUSEEVENTF_LEFTUP);
static_assert(kMouseEventVirtualDesk == MOUSEEVENTF_VIRTUALDESK && kMouseEventAbsolute == MOUSEEVENTF_ABSOLUTE);
static_assert(kVkBack == VK_BACK && kVkTab == VK_TAB && kVkReturn == VK_RETURN && kVkMenu == VK_MENU);
static_assert(kVkEscape == VK_ESCAPE && kVkSpace == VK_SPACE && kVkLeft == VK_LEFT && kVkUp == VK_UP);
static_assert(kVkRight == VK_RIGHT && kVkDown == VK_DOWN && kVkD == 'D' && kVkLeftWin == VK_LWIN);

INPUT to_input(const InputRecord& record) {
  INPUT input{};
  if (const auto* m = std::get_if<MouseInput>(&record)) {
    input.type = INPUT_MOUSE;
    input.mi.dx = m->dx;
    input.mi.dy = m->dy;
    input.mi.mouseData = m->mouse_data;
    input.mi.dwFlags = m->flags;
    input.mi.time = m->time;
    input.mi.dwExtraInfo = static_cast<ULONG_PTR>(m->extra_info);
  } else {
    const auto& k = std::get<KeyboardInput>(record);
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = k.virtual_key;
    input.ki.wScan = k.scan;
    input.ki.dwFlags = k.flags;
    input.ki.time = k.time;
    input.ki.dwExtraInfo = static_cast<ULONG_PTR>(k.extra_info);
  }
  return input;
}

class Win32InputSys final : public InputSys {
 public:
  Win32<std::uint32_t> last_input_tick() override {
    LASTINPUTINFO info{};
    info.cbSize = sizeof info;
    if (auto ok = win32_bool(::GetLastInputInfo(&info)); !ok) return win32_error(ok.error());
    return info.dwTime;
  }
  std::int16_t async_key_state(int virtual_key) override { return ::GetAsyncKeyState(virtual_key); }
  VirtualScreen virtual_screen() override {
    return {::GetSystemMetrics(SM_XVIRTUALSCREEN), ::GetSystemMetrics(SM_YVIRTUALSCREEN),
            ::GetSystemMetrics(SM_CXVIRTUALSCREEN), ::GetSystemMetrics(SM_CYVIRTUALSCREEN)};
  }
  Win32<std::uint32_t> send_input(const std::vector<InputRecord>& records) override {
    std::vector<INPUT> inputs;
    inputs.reserve(records.size());
    for (const auto& record : records) inputs.push_back(to_input(record));
    if (inputs.empty()) return 0u;
    const UINT inserted = ::SendInput(static_cast<UINT>(inputs.size()), inputs.data(), sizeof(INPUT));
    if (inserted == 0) return win32_error(::GetLastError());
    return static_cast<std::uint32_t>(inserted);
  }
};

}  // namespace

std::unique_ptr<WindowSys> make_win32_window_sys() { return std::make_unique<Win32WindowSys>(); }
std::unique_ptr<InputSys> make_win32_input_sys() { return std::make_unique<Win32InputSys>(); }

Win32DesktopPorts::Win32DesktopPorts()
    : windows_(make_win32_window_sys()), processes_(make_win32_proc_sys()), input_(make_win32_input_sys()) {}

}  // namespace vor::desktop
