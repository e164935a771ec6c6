// The system's UI Automation client behind the automation port, and the
// apartment calls. Each wrapper owns one COM reference.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <string>
#include <utility>

#include "common/com_ref_win32.h"
#include "common/system_library_win32.h"
#include "uia/automation_win32.h"
#include "uia/uia_com_win32.h"

namespace vor::desktop::uia {

namespace {

// COM and its strings are loaded by the first command that uses UI
// Automation, not by every start (common/system_library_win32.h).
constinit SystemFunction<decltype(::CoInitializeEx)> co_initialize_ex(L"ole32.dll", "CoInitializeEx");
constinit SystemFunction<decltype(::CoUninitialize)> co_uninitialize(L"ole32.dll", "CoUninitialize");
constinit SystemFunction<decltype(::CoCreateInstance)> co_create_instance(L"ole32.dll", "CoCreateInstance");
constinit SystemFunction<decltype(::GetErrorInfo)> get_error_info(L"oleaut32.dll", "GetErrorInfo");
constinit SystemFunction<decltype(::SysStringLen)> sys_string_len(L"oleaut32.dll", "SysStringLen");
constinit SystemFunction<decltype(::SysFreeString)> sys_free_string(L"oleaut32.dll", "SysFreeString");
constinit SystemFunction<decltype(::SysAllocStringLen)> sys_alloc_string_len(L"oleaut32.dll", "SysAllocStringLen");

// The text of a BSTR the callee allocated, freed here. The callee allocated
// it through oleaut32, so that DLL is loaded and its functions bind.
std::u16string take_bstr(BSTR text) {
  std::u16string out;
  auto length = sys_string_len.get();
  auto free_string = sys_free_string.get();
  if (text && length && free_string) {
    out.assign(reinterpret_cast<const char16_t*>(text), (*length)(text));
    (*free_string)(text);
  }
  return out;
}

class ComInvokePattern final : public InvokePattern {
 public:
  explicit ComInvokePattern(com::InvokePattern* p) : ref_(p) {}
  HResult invoke() override { return ref_.get()->lpVtbl->Invoke(ref_.get()); }

 private:
  ComRef<com::InvokePattern> ref_;
};

class ComValuePattern final : public ValuePattern {
 public:
  explicit ComValuePattern(com::ValuePattern* p) : ref_(p) {}
  HResult set_value(std::u16string_view text) override {
    auto allocate = sys_alloc_string_len.get();
    if (!allocate) return HRESULT_FROM_WIN32(allocate.error());
    auto free_string = sys_free_string.get();
    if (!free_string) return HRESULT_FROM_WIN32(free_string.error());
    BSTR value = (*allocate)(reinterpret_cast<const OLECHAR*>(text.data()), static_cast<UINT>(text.size()));
    if (!value) return E_OUTOFMEMORY;
    const HRESULT hr = ref_.get()->lpVtbl->SetValue(ref_.get(), value);
    (*free_string)(value);
    return hr;
  }
  Com<std::u16string> current_value() override {
    BSTR value = nullptr;
    const HRESULT hr = ref_.get()->lpVtbl->get_CurrentValue(ref_.get(), &value);
    if (FAILED(hr)) return com_error(hr);
    return take_bstr(value);
  }
  Com<bool> current_is_read_only() override {
    BOOL value = FALSE;
    const HRESULT hr = ref_.get()->lpVtbl->get_CurrentIsReadOnly(ref_.get(), &value);
    if (FAILED(hr)) return com_error(hr);
    return value != FALSE;
  }

 private:
  ComRef<com::ValuePattern> ref_;
};

class ComElement final : public AutomationElement {
 public:
  explicit ComElement(com::Element* p) : ref_(p) {}
  com::Element* get() const { return ref_.get(); }

  Com<std::int32_t> process_id(PropertySource s) override {
    return read<int>(s, vtbl()->get_CachedProcessId, vtbl()->get_CurrentProcessId);
  }
  Com<Rect> bounding_rectangle(PropertySource s) override {
    auto r = read<RECT>(s, vtbl()->get_CachedBoundingRectangle, vtbl()->get_CurrentBoundingRectangle);
    if (!r) return com_error(r.error());
    return Rect{r->left, r->top, r->right, r->bottom};
  }
  Com<bool> is_password(PropertySource s) override {
    return flag(s, vtbl()->get_CachedIsPassword, vtbl()->get_CurrentIsPassword);
  }
  Com<WindowHandle> native_window_handle(PropertySource s) override {
    auto h = read<void*>(s, vtbl()->get_CachedNativeWindowHandle, vtbl()->get_CurrentNativeWindowHandle);
    if (!h) return com_error(h.error());
    return static_cast<WindowHandle>(reinterpret_cast<std::uintptr_t>(*h));
  }
  Com<std::u16string> automation_id(PropertySource s) override {
    return text(s, vtbl()->get_CachedAutomationId, vtbl()->get_CurrentAutomationId);
  }
  Com<std::u16string> name(PropertySource s) override { return text(s, vtbl()->get_CachedName, vtbl()->get_CurrentName); }
  Com<std::u16string> class_name(PropertySource s) override {
    return text(s, vtbl()->get_CachedClassName, vtbl()->get_CurrentClassName);
  }
  Com<std::int32_t> control_type(PropertySource s) override {
    return read<int>(s, vtbl()->get_CachedControlType, vtbl()->get_CurrentControlType);
  }
  Com<bool> is_enabled(PropertySource s) override {
    return flag(s, vtbl()->get_CachedIsEnabled, vtbl()->get_CurrentIsEnabled);
  }
  Com<bool> is_offscreen(PropertySource s) override {
    return flag(s, vtbl()->get_CachedIsOffscreen, vtbl()->get_CurrentIsOffscreen);
  }
  Com<std::unique_ptr<InvokePattern>> invoke_pattern() override {
    void* p = nullptr;
    const HRESULT hr = vtbl()->GetCurrentPatternAs(get(), kInvokePatternId, com::kIidIUIAutomationInvokePattern, &p);
    if (FAILED(hr)) return com_error(hr);
    if (!p) return std::unique_ptr<InvokePattern>();
    return std::unique_ptr<InvokePattern>(new ComInvokePattern(static_cast<com::InvokePattern*>(p)));
  }
  Com<std::unique_ptr<ValuePattern>> value_pattern() override {
    void* p = nullptr;
    const HRESULT hr = vtbl()->GetCurrentPatternAs(get(), kValuePatternId, com::kIidIUIAutomationValuePattern, &p);
    if (FAILED(hr)) return com_error(hr);
    if (!p) return std::unique_ptr<ValuePattern>();
    return std::unique_ptr<ValuePattern>(new ComValuePattern(static_cast<com::ValuePattern*>(p)));
  }

 private:
  const com::ElementVtbl* vtbl() const { return ref_.get()->lpVtbl; }

  template <class T, class Getter>
  Com<T> read(PropertySource s, Getter cached, Getter current) {
    T value{};
    const HRESULT hr = (s == PropertySource::kCached ? cached : current)(get(), &value);
    if (FAILED(hr)) return com_error(hr);
    return value;
  }
  template <class Getter>
  Com<bool> flag(PropertySource s, Getter cached, Getter current) {
    auto v = read<BOOL>(s, cached, current);
    if (!v) return com_error(v.error());
    return *v != FALSE;
  }
  template <class Getter>
  Com<std::u16string> text(PropertySource s, Getter cached, Getter current) {
    BSTR value = nullptr;
    const HRESULT hr = (s == PropertySource::kCached ? cached : current)(get(), &value);
    if (FAILED(hr)) return com_error(hr);
    return take_bstr(value);
  }

  ComRef<com::Element> ref_;
};

Com<std::unique_ptr<AutomationElement>> element_result(HRESULT hr, com::Element* p) {
  if (FAILED(hr)) {
    if (p) p->lpVtbl->Release(p);
    return com_error(hr);
  }
  if (!p) return std::unique_ptr<AutomationElement>();
  return std::unique_ptr<AutomationElement>(new ComElement(p));
}

class ComCacheRequest final : public CacheRequest {
 public:
  explicit ComCacheRequest(com::CacheRequest* p) : ref_(p) {}
  com::CacheRequest* get() const { return ref_.get(); }
  HResult set_tree_scope_element() override { return get()->lpVtbl->put_TreeScope(get(), com::kTreeScopeElement); }
  HResult add_property(PropertyId property) override {
    return get()->lpVtbl->AddProperty(get(), static_cast<int>(property));
  }

 private:
  ComRef<com::CacheRequest> ref_;
};

com::Element* raw(AutomationElement& e) { return static_cast<ComElement&>(e).get(); }
com::CacheRequest* raw(CacheRequest& c) { return static_cast<ComCacheRequest&>(c).get(); }

class ComTreeWalker final : public TreeWalker {
 public:
  explicit ComTreeWalker(com::TreeWalker* p) : ref_(p) {}
  Com<std::unique_ptr<AutomationElement>> first_child(AutomationElement& parent, CacheRequest& cache) override {
    com::Element* child = nullptr;
    const HRESULT hr = ref_.get()->lpVtbl->GetFirstChildElementBuildCache(ref_.get(), raw(parent), raw(cache), &child);
    return element_result(hr, child);
  }
  Com<std::unique_ptr<AutomationElement>> next_sibling(AutomationElement& element, CacheRequest& cache) override {
    com::Element* next = nullptr;
    const HRESULT hr = ref_.get()->lpVtbl->GetNextSiblingElementBuildCache(ref_.get(), raw(element), raw(cache), &next);
    return element_result(hr, next);
  }

 private:
  ComRef<com::TreeWalker> ref_;
};

// The IUIAutomation2 view of the automation object (its own reference).
class ComSettings final : public AutomationSettings {
 public:
  explicit ComSettings(com::Automation* p) : ref_(p) {}
  HResult put_auto_set_focus(bool on) override { return ref_.get()->lpVtbl->put_AutoSetFocus(ref_.get(), on ? TRUE : FALSE); }
  HResult put_connection_timeout(std::uint32_t ms) override {
    return ref_.get()->lpVtbl->put_ConnectionTimeout(ref_.get(), ms);
  }
  HResult put_transaction_timeout(std::uint32_t ms) override {
    return ref_.get()->lpVtbl->put_TransactionTimeout(ref_.get(), ms);
  }

 private:
  ComRef<com::Automation> ref_;
};

class ComAutomation final : public Automation {
 public:
  explicit ComAutomation(com::Automation* p) : ref_(p) {}

  Com<std::unique_ptr<AutomationSettings>> query_settings() override {
    void* p = nullptr;
    const HRESULT hr = ref_.get()->lpVtbl->QueryInterface(ref_.get(), com::kIidIUIAutomation2, &p);
    if (FAILED(hr)) return com_error(hr);
    if (!p) return std::unique_ptr<AutomationSettings>();
    return std::unique_ptr<AutomationSettings>(new ComSettings(static_cast<com::Automation*>(p)));
  }
  Com<std::unique_ptr<CacheRequest>> create_cache_request() override {
    com::CacheRequest* p = nullptr;
    const HRESULT hr = ref_.get()->lpVtbl->CreateCacheRequest(ref_.get(), &p);
    if (FAILED(hr)) return com_error(hr);
    if (!p) return std::unique_ptr<CacheRequest>();
    return std::unique_ptr<CacheRequest>(new ComCacheRequest(p));
  }
  Com<std::unique_ptr<AutomationElement>> element_from_handle_build_cache(WindowHandle window,
                                                                           CacheRequest& cache) override {
    com::Element* p = nullptr;
    const HRESULT hr = ref_.get()->lpVtbl->ElementFromHandleBuildCache(
        ref_.get(), reinterpret_cast<void*>(static_cast<std::uintptr_t>(window)), raw(cache), &p);
    return element_result(hr, p);
  }
  Com<std::unique_ptr<TreeWalker>> control_view_walker() override {
    com::TreeWalker* p = nullptr;
    const HRESULT hr = ref_.get()->lpVtbl->get_ControlViewWalker(ref_.get(), &p);
    if (FAILED(hr)) return com_error(hr);
    if (!p) return std::unique_ptr<TreeWalker>();
    return std::unique_ptr<TreeWalker>(new ComTreeWalker(p));
  }
  Com<bool> compare_elements(AutomationElement& first, AutomationElement& second) override {
    BOOL same = FALSE;
    const HRESULT hr = ref_.get()->lpVtbl->CompareElements(ref_.get(), raw(first), raw(second), &same);
    if (FAILED(hr)) return com_error(hr);
    return same != FALSE;
  }

 private:
  ComRef<com::Automation> ref_;
};

class Win32ComSys final : public ComSys {
 public:
  explicit Win32ComSys(Com<std::unique_ptr<Automation>> (*create)()) : create_(create) {}
  HResult initialize_multithreaded() override {
    auto initialize = co_initialize_ex.get();
    if (!initialize) return HRESULT_FROM_WIN32(initialize.error());
    return (*initialize)(nullptr, COINIT_MULTITHREADED);
  }
  // Only called after the apartment was entered, so COM is loaded.
  void uninitialize() override {
    if (auto uninitialize = co_uninitialize.get()) (*uninitialize)();
  }
  Com<std::unique_ptr<Automation>> create_automation() override { return create_(); }
  void discard_error_info() override {
    IErrorInfo* info = nullptr;
    if (auto get = get_error_info.get(); get && (*get)(0, &info) == S_OK && info) info->Release();
  }

 private:
  Com<std::unique_ptr<Automation>> (*create_)();
};

}  // namespace

Com<std::unique_ptr<Automation>> create_com_client_automation() {
  void* p = nullptr;
  auto create = co_create_instance.get();
  if (!create) return com_error(HRESULT_FROM_WIN32(create.error()));
  const HRESULT hr = (*create)(com::kClsidCUIAutomation8, nullptr, CLSCTX_INPROC_SERVER, com::kIidIUIAutomation, &p);
  if (FAILED(hr)) return com_error(hr);
  if (!p) return std::unique_ptr<Automation>();
  return std::unique_ptr<Automation>(new ComAutomation(static_cast<com::Automation*>(p)));
}

std::unique_ptr<ComSys> make_win32_com_sys() { return std::make_unique<Win32ComSys>(&create_build_automation); }
std::unique_ptr<ComSys> make_com_client_sys() { return std::make_unique<Win32ComSys>(&create_com_client_automation); }

}  // namespace vor::desktop::uia
