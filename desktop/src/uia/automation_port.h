// The UI Automation port: the COM calls of the automation client and the
// user32 calls on classic controls, each returning its raw outcome.
//
// The interfaces mirror the COM objects one to one (`Automation` is
// IUIAutomation, `AutomationElement` is IUIAutomationElement, ...); each
// object owns one reference and releases it when destroyed. A failed COM
// call answers its HRESULT; a successful call that yields no object answers
// a null pointer (the tree walker at the end of the siblings, an element
// without the pattern). Nothing here decides anything: the rules live in
// session.h and element_search.h. Adapters: automation_com_win32.cpp (the
// real client), automation_standin.cpp (Wine), controls_win32.cpp.
//
//   auto automation = com.create_automation();   // CoCreateInstance
//   if (!automation || !*automation) ...          // HRESULT or null
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>

#include "native/ports.h"
#include "native/win32_result.h"
#include "protocol/observation.h"

namespace vor::desktop::uia {

using HResult = std::int32_t;

// The value of a successful COM call, or its failing HRESULT.
template <class T>
using Com = std::expected<T, HResult>;

inline std::unexpected<HResult> com_error(HResult hr) { return std::unexpected<HResult>(hr); }
inline bool com_failed(HResult hr) { return hr < 0; }

// The ten properties of the cache request, in the order they are added.
enum class PropertyId : std::int32_t {
  kProcessId = 30002,
  kBoundingRectangle = 30001,
  kIsPassword = 30019,
  kNativeWindowHandle = 30020,
  kAutomationId = 30011,
  kName = 30005,
  kClassName = 30012,
  kControlType = 30003,
  kIsEnabled = 30010,
  kIsOffscreen = 30022,
};
inline constexpr PropertyId kCachedProperties[] = {
    PropertyId::kProcessId,  PropertyId::kBoundingRectangle, PropertyId::kIsPassword, PropertyId::kNativeWindowHandle,
    PropertyId::kAutomationId, PropertyId::kName,            PropertyId::kClassName,  PropertyId::kControlType,
    PropertyId::kIsEnabled,  PropertyId::kIsOffscreen};

inline constexpr std::int32_t kInvokePatternId = 10000;
inline constexpr std::int32_t kValuePatternId = 10002;
inline constexpr std::int32_t kButtonControlType = 50000;
inline constexpr std::int32_t kEditControlType = 50004;

// Which value a property read returns: the one cached when the element was
// built (get_CachedX) or the provider's current one (get_CurrentX).
enum class PropertySource { kCached, kCurrent };

class InvokePattern {  // IUIAutomationInvokePattern
 public:
  virtual ~InvokePattern() = default;
  virtual HResult invoke() = 0;
};

class ValuePattern {  // IUIAutomationValuePattern
 public:
  virtual ~ValuePattern() = default;
  virtual HResult set_value(std::u16string_view text) = 0;  // SetValue with the text as a BSTR
  virtual Com<std::u16string> current_value() = 0;
  virtual Com<bool> current_is_read_only() = 0;
};

class AutomationElement {  // IUIAutomationElement
 public:
  virtual ~AutomationElement() = default;
  virtual Com<std::int32_t> process_id(PropertySource source) = 0;
  virtual Com<Rect> bounding_rectangle(PropertySource source) = 0;
  virtual Com<bool> is_password(PropertySource source) = 0;
  virtual Com<WindowHandle> native_window_handle(PropertySource source) = 0;  // 0 for none
  virtual Com<std::u16string> automation_id(PropertySource source) = 0;
  virtual Com<std::u16string> name(PropertySource source) = 0;
  virtual Com<std::u16string> class_name(PropertySource source) = 0;
  virtual Com<std::int32_t> control_type(PropertySource source) = 0;
  virtual Com<bool> is_enabled(PropertySource source) = 0;
  virtual Com<bool> is_offscreen(PropertySource source) = 0;
  // GetCurrentPatternAs: null when the element does not support the pattern.
  virtual Com<std::unique_ptr<InvokePattern>> invoke_pattern() = 0;
  virtual Com<std::unique_ptr<ValuePattern>> value_pattern() = 0;
};

class CacheRequest {  // IUIAutomationCacheRequest
 public:
  virtual ~CacheRequest() = default;
  virtual HResult set_tree_scope_element() = 0;  // put_TreeScope(TreeScope_Element)
  virtual HResult add_property(PropertyId property) = 0;
};

class TreeWalker {  // IUIAutomationTreeWalker
 public:
  virtual ~TreeWalker() = default;
  // GetFirstChildElementBuildCache / GetNextSiblingElementBuildCache: null
  // when there is none.
  virtual Com<std::unique_ptr<AutomationElement>> first_child(AutomationElement& parent, CacheRequest& cache) = 0;
  virtual Com<std::unique_ptr<AutomationElement>> next_sibling(AutomationElement& element, CacheRequest& cache) = 0;
};

// IUIAutomation2: the automation object's settings.
class AutomationSettings {
 public:
  virtual ~AutomationSettings() = default;
  virtual HResult put_auto_set_focus(bool on) = 0;
  virtual HResult put_connection_timeout(std::uint32_t milliseconds) = 0;
  virtual HResult put_transaction_timeout(std::uint32_t milliseconds) = 0;
};

class Automation {  // IUIAutomation
 public:
  virtual ~Automation() = default;
  // QueryInterface for IUIAutomation2 {34723AFF-0C9D-49D0-9896-7AB52DF8CD8A}.
  virtual Com<std::unique_ptr<AutomationSettings>> query_settings() = 0;
  virtual Com<std::unique_ptr<CacheRequest>> create_cache_request() = 0;
  virtual Com<std::unique_ptr<AutomationElement>> element_from_handle_build_cache(WindowHandle window,
                                                                                   CacheRequest& cache) = 0;
  virtual Com<std::unique_ptr<TreeWalker>> control_view_walker() = 0;  // get_ControlViewWalker
  virtual Com<bool> compare_elements(AutomationElement& first, AutomationElement& second) = 0;
};

// The thread's COM apartment and the automation class (ole32, oleaut32).
class ComSys {
 public:
  virtual ~ComSys() = default;
  virtual HResult initialize_multithreaded() = 0;  // CoInitializeEx(COINIT_MULTITHREADED)
  virtual void uninitialize() = 0;                 // CoUninitialize
  // CoCreateInstance of CUIAutomation8 {E22AD333-B25F-460C-83D0-0581107395C9},
  // in-process server, interface IUIAutomation.
  virtual Com<std::unique_ptr<Automation>> create_automation() = 0;
  // GetErrorInfo, and the error object released unread.
  virtual void discard_error_info() = 0;
};

// The two process facts of GetWindowThreadProcessId.
struct WindowThread {
  std::uint32_t thread_id = 0;  // 0 when the call failed
  std::uint32_t process_id = 0;
};

// Classic controls: user32 on child windows (and the target window).
class ControlSys {
 public:
  virtual ~ControlSys() = default;
  virtual bool is_child(WindowHandle parent, WindowHandle window) = 0;  // IsChild
  virtual bool is_enabled(WindowHandle window) = 0;                     // IsWindowEnabled
  virtual bool is_visible(WindowHandle window) = 0;                     // IsWindowVisible
  virtual WindowThread window_thread(WindowHandle window) = 0;          // GetWindowThreadProcessId
  // GetClassNameW into a buffer of `capacity` units: the units copied.
  virtual std::u16string class_name(WindowHandle window, std::size_t capacity) = 0;
  virtual bool is_unicode(WindowHandle window) = 0;        // IsWindowUnicode
  virtual std::uint32_t style(WindowHandle window) = 0;    // GetWindowLongPtrW(GWL_STYLE), low 32 bits
  virtual WindowHandle parent(WindowHandle window) = 0;    // GetParent, 0 for none
  // SendMessageTimeoutW: the message result, or GetLastError when the call
  // failed or timed out.
  virtual Win32<std::uintptr_t> send_message(WindowHandle window, std::uint32_t message, std::uintptr_t wparam,
                                             std::intptr_t lparam, std::uint32_t flags,
                                             std::uint32_t timeout_ms) = 0;
  // The same with lparam pointing at `text` followed by a NUL (WM_SETTEXT).
  virtual Win32<std::uintptr_t> send_text(WindowHandle window, std::uint32_t message, std::u16string_view text,
                                          std::uint32_t flags, std::uint32_t timeout_ms) = 0;
};

}  // namespace vor::desktop::uia
