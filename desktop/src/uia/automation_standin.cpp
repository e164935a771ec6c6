// The Wine stand-in of the automation object: Wine 8.0 registers no
// CUIAutomation8, so elements are built from the real windows under the
// target, as the system's window proxies do for classic controls.
//
// An element is one window. Its properties come from user32 (process,
// rectangle, text, class, style, enabled, visible); the cached values are
// read when the element is built, the current ones at each call. The
// control view lists a window's child windows in z-order. Button windows
// offer the Invoke pattern (a posted BM_CLICK, answering at once as the
// system's proxy does) and Edit windows the Value pattern (WM_GETTEXT and
// WM_SETTEXT bounded like a provider call).
#include <windows.h>

#include <optional>
#include <string>

#include "native/ports_win32.h"
#include "uia/automation_win32.h"
#include "uia/session.h"

namespace vor::desktop::uia {

namespace {

constexpr HRESULT kElementNotAvailable = static_cast<HRESULT>(0x80040201);  // UIA_E_ELEMENTNOTAVAILABLE
constexpr HRESULT kTimeout = static_cast<HRESULT>(0x80131505);              // UIA_E_TIMEOUT
constexpr UINT kProviderSendFlags = SMTO_ABORTIFHUNG | SMTO_BLOCK;

// Control types of the classic window classes.
constexpr std::int32_t kCheckBoxControlType = 50002;
constexpr std::int32_t kRadioButtonControlType = 50013;
constexpr std::int32_t kGroupControlType = 50026;
constexpr std::int32_t kTextControlType = 50020;
constexpr std::int32_t kWindowControlType = 50032;
constexpr std::int32_t kPaneControlType = 50033;

std::u16string class_of(HWND window) {
  wchar_t buffer[256] = {};
  const int copied = ::GetClassNameW(window, buffer, 256);
  return std::u16string(reinterpret_cast<const char16_t*>(buffer), copied > 0 ? static_cast<std::size_t>(copied) : 0);
}

bool class_is(const std::u16string& name, std::u16string_view expected) {
  if (name.size() != expected.size()) return false;
  for (std::size_t i = 0; i < name.size(); ++i) {
    char16_t a = name[i];
    char16_t b = expected[i];
    if (a >= u'A' && a <= u'Z') a += u'a' - u'A';
    if (b >= u'A' && b <= u'Z') b += u'a' - u'A';
    if (a != b) return false;
  }
  return true;
}

// Everything a window proxy reports, read at one moment.
struct WindowFacts {
  std::int32_t process_id = 0;
  Rect rect;
  bool password = false;
  std::u16string automation_id;
  std::u16string name;
  std::u16string class_name;
  std::int32_t control_type = kPaneControlType;
  bool enabled = false;
  bool offscreen = true;
};

std::optional<WindowFacts> read_facts(HWND window) {
  RECT r{};
  if (!::IsWindow(window) || !::GetWindowRect(window, &r)) return std::nullopt;
  WindowFacts facts;
  DWORD process = 0;
  ::GetWindowThreadProcessId(window, &process);
  facts.process_id = static_cast<std::int32_t>(process);
  facts.rect = {r.left, r.top, r.right, r.bottom};
  facts.class_name = class_of(window);
  const auto style = static_cast<std::uint32_t>(::GetWindowLongPtrW(window, GWL_STYLE));
  const bool child = (style & WS_CHILD) != 0;
  if (class_is(facts.class_name, u"Edit")) {
    facts.control_type = 50004;
    facts.password = (style & ES_PASSWORD) != 0;
  } else if (class_is(facts.class_name, u"Button")) {
    switch (style & 0xF) {
      case BS_CHECKBOX: case BS_AUTOCHECKBOX: case BS_3STATE: case BS_AUTO3STATE:
        facts.control_type = kCheckBoxControlType;
        break;
      case BS_RADIOBUTTON: case BS_AUTORADIOBUTTON:
        facts.control_type = kRadioButtonControlType;
        break;
      case BS_GROUPBOX:
        facts.control_type = kGroupControlType;
        break;
      default:
        facts.control_type = 50000;
    }
  } else if (class_is(facts.class_name, u"Static")) {
    facts.control_type = kTextControlType;
  } else if (!child) {
    facts.control_type = kWindowControlType;
  }
  if (child) facts.automation_id = reinterpret_cast<const char16_t*>(std::to_wstring(::GetDlgCtrlID(window)).c_str());
  // Another process's text is read from the window manager, never by a
  // message that a hung window would not answer.
  if (!facts.password) {
    wchar_t text[1024] = {};
    const int copied = ::InternalGetWindowText(window, text, 1024);
    facts.name.assign(reinterpret_cast<const char16_t*>(text), copied > 0 ? static_cast<std::size_t>(copied) : 0);
  }
  facts.enabled = ::IsWindowEnabled(window) != FALSE;
  facts.offscreen = ::IsWindowVisible(window) == FALSE;
  return facts;
}

class StandinInvoke final : public InvokePattern {
 public:
  explicit StandinInvoke(HWND window) : window_(window) {}
  HResult invoke() override {
    if (!::PostMessageW(window_, BM_CLICK, 0, 0)) return HRESULT_FROM_WIN32(::GetLastError());
    return S_OK;
  }

 private:
  HWND window_;
};

class StandinValue final : public ValuePattern {
 public:
  explicit StandinValue(HWND window) : window_(window) {}
  HResult set_value(std::u16string_view text) override {
    const std::wstring terminated(reinterpret_cast<const wchar_t*>(text.data()), text.size());
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(window_, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(terminated.c_str()),
                               kProviderSendFlags, kAutomationTimeoutMs, &result)) {
      return kTimeout;
    }
    return result ? S_OK : E_FAIL;
  }
  Com<std::u16string> current_value() override {
    DWORD_PTR length = 0;
    if (!::SendMessageTimeoutW(window_, WM_GETTEXTLENGTH, 0, 0, kProviderSendFlags, kAutomationTimeoutMs, &length)) {
      return com_error(kTimeout);
    }
    std::wstring buffer(length + 1, L'\0');
    DWORD_PTR copied = 0;
    if (!::SendMessageTimeoutW(window_, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()),
                               kProviderSendFlags, kAutomationTimeoutMs, &copied)) {
      return com_error(kTimeout);
    }
    return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), std::min<std::size_t>(copied, length));
  }
  Com<bool> current_is_read_only() override {
    if (!::IsWindow(window_)) return com_error(kElementNotAvailable);
    return (::GetWindowLongPtrW(window_, GWL_STYLE) & ES_READONLY) != 0;
  }

 private:
  HWND window_;
};

class StandinElement final : public AutomationElement {
 public:
  StandinElement(HWND window, WindowFacts cached) : window_(window), cached_(std::move(cached)) {}
  HWND window() const { return window_; }

  Com<std::int32_t> process_id(PropertySource s) override { return get(s, &WindowFacts::process_id); }
  Com<Rect> bounding_rectangle(PropertySource s) override { return get(s, &WindowFacts::rect); }
  Com<bool> is_password(PropertySource s) override { return get(s, &WindowFacts::password); }
  Com<WindowHandle> native_window_handle(PropertySource s) override {
    if (s == PropertySource::kCurrent && !::IsWindow(window_)) return com_error(kElementNotAvailable);
    return from_hwnd(window_);
  }
  Com<std::u16string> automation_id(PropertySource s) override { return get(s, &WindowFacts::automation_id); }
  Com<std::u16string> name(PropertySource s) override { return get(s, &WindowFacts::name); }
  Com<std::u16string> class_name(PropertySource s) override { return get(s, &WindowFacts::class_name); }
  Com<std::int32_t> control_type(PropertySource s) override { return get(s, &WindowFacts::control_type); }
  Com<bool> is_enabled(PropertySource s) override { return get(s, &WindowFacts::enabled); }
  Com<bool> is_offscreen(PropertySource s) override { return get(s, &WindowFacts::offscreen); }
  Com<std::unique_ptr<InvokePattern>> invoke_pattern() override {
    if (!::IsWindow(window_)) return com_error(kElementNotAvailable);
    if (!class_is(class_of(window_), u"Button")) return std::unique_ptr<InvokePattern>();
    return std::unique_ptr<InvokePattern>(new StandinInvoke(window_));
  }
  Com<std::unique_ptr<ValuePattern>> value_pattern() override {
    if (!::IsWindow(window_)) return com_error(kElementNotAvailable);
    if (!class_is(class_of(window_), u"Edit")) return std::unique_ptr<ValuePattern>();
    return std::unique_ptr<ValuePattern>(new StandinValue(window_));
  }

 private:
  template <class T>
  Com<T> get(PropertySource s, T WindowFacts::*member) {
    if (s == PropertySource::kCached) return cached_.*member;
    auto now = read_facts(window_);
    if (!now) return com_error(kElementNotAvailable);
    return (*now).*member;
  }

  HWND window_;
  WindowFacts cached_;
};

Com<std::unique_ptr<AutomationElement>> element_of(HWND window) {
  if (!window) return std::unique_ptr<AutomationElement>();
  auto facts = read_facts(window);
  if (!facts) return com_error(kElementNotAvailable);
  return std::unique_ptr<AutomationElement>(new StandinElement(window, std::move(*facts)));
}

HWND window_of(AutomationElement& element) { return static_cast<StandinElement&>(element).window(); }

class StandinCacheRequest final : public CacheRequest {
 public:
  HResult set_tree_scope_element() override { return S_OK; }
  HResult add_property(PropertyId) override { return S_OK; }
};

class StandinWalker final : public TreeWalker {
 public:
  Com<std::unique_ptr<AutomationElement>> first_child(AutomationElement& parent, CacheRequest&) override {
    return element_of(::GetWindow(window_of(parent), GW_CHILD));
  }
  Com<std::unique_ptr<AutomationElement>> next_sibling(AutomationElement& element, CacheRequest&) override {
    return element_of(::GetWindow(window_of(element), GW_HWNDNEXT));
  }
};

class StandinSettings final : public AutomationSettings {
 public:
  HResult put_auto_set_focus(bool) override { return S_OK; }
  HResult put_connection_timeout(std::uint32_t) override { return S_OK; }
  HResult put_transaction_timeout(std::uint32_t) override { return S_OK; }
};

class StandinAutomation final : public Automation {
 public:
  Com<std::unique_ptr<AutomationSettings>> query_settings() override {
    return std::unique_ptr<AutomationSettings>(new StandinSettings);
  }
  Com<std::unique_ptr<CacheRequest>> create_cache_request() override {
    return std::unique_ptr<CacheRequest>(new StandinCacheRequest);
  }
  Com<std::unique_ptr<AutomationElement>> element_from_handle_build_cache(WindowHandle window,
                                                                           CacheRequest&) override {
    return element_of(to_hwnd(window));
  }
  Com<std::unique_ptr<TreeWalker>> control_view_walker() override {
    return std::unique_ptr<TreeWalker>(new StandinWalker);
  }
  Com<bool> compare_elements(AutomationElement& first, AutomationElement& second) override {
    return window_of(first) == window_of(second);
  }
};

}  // namespace

Com<std::unique_ptr<Automation>> create_build_automation() {
  return std::unique_ptr<Automation>(new StandinAutomation);
}

}  // namespace vor::desktop::uia
