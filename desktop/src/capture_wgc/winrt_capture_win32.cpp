// The graphics-capture adapter: each method is the WinRT, Direct3D or DXGI
// call its port names, holding the objects of one capture between calls.
#include <roapi.h>
#include <winstring.h>

#include <atomic>
#include <iterator>

#include "common/com_ref_win32.h"
#include "capture_wgc/system_functions_win32.h"
#include "capture_wgc/window_capture_win32.h"

namespace vor::desktop {
namespace {

using namespace wgc;

HWND to_hwnd(WindowHandle window) { return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window)); }

std::unexpected<HResult> failed(HRESULT hr) { return hr_error(take_failure(hr)); }

// The activation factory of a runtime class as the interface `iid`.
template <class T, std::size_t N>
HRESULT activation_factory(const wchar_t (&class_name)[N], REFIID iid, ComRef<T>& out) {
  HSTRING_HEADER header{};
  HSTRING name = nullptr;
  auto reference = windows_create_string_reference.get();
  if (!reference) return HRESULT_FROM_WIN32(reference.error());
  auto factory = ro_get_activation_factory.get();
  if (!factory) return HRESULT_FROM_WIN32(factory.error());
  if (HRESULT hr = (*reference)(class_name, N - 1, &header, &name); FAILED(hr)) return hr;
  return (*factory)(name, iid, out.put_void());
}

struct ClosedHandler final : IClosedHandler {
  explicit ClosedHandler(std::shared_ptr<ClosedFlag> f) : IClosedHandler{&kVtbl}, flag(std::move(f)) {}

  static HRESULT STDMETHODCALLTYPE query_interface(IClosedHandler* self, REFIID iid, void** out) {
    if (!out) return E_POINTER;
    if (IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, kIidClosedHandler) || IsEqualGUID(iid, IID_IAgileObject)) {
      add_ref(self);
      *out = self;
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  static ULONG STDMETHODCALLTYPE add_ref(IClosedHandler* self) {
    return static_cast<ClosedHandler*>(self)->refs.fetch_add(1, std::memory_order_relaxed) + 1;
  }
  static ULONG STDMETHODCALLTYPE release(IClosedHandler* self) {
    auto* h = static_cast<ClosedHandler*>(self);
    const ULONG left = h->refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete h;
    return left;
  }
  // May run on any thread, also after the capture ended: it touches only
  // this object and the flag it shares.
  static HRESULT STDMETHODCALLTYPE invoke(IClosedHandler* self, IGraphicsCaptureItem*, IInspectable*) {
    static_cast<ClosedHandler*>(self)->flag->closed.store(true, std::memory_order_release);
    return S_OK;
  }

  static constexpr IClosedHandlerVtbl kVtbl{query_interface, add_ref, release, invoke};
  std::atomic<ULONG> refs{1};
  std::shared_ptr<ClosedFlag> flag;
};

// Close through IClosable, when the object offers it.
template <class T>
void close_object(const ComRef<T>& object) {
  if (!object) return;
  ComRef<IClosable> closable;
  if (SUCCEEDED(object.query(kIidClosable, closable)) && closable) closable->vtbl->Close(closable.get());
}

class WinRtWindowCapture final : public Win32CaptureBase {
 public:
  ~WinRtWindowCapture() override { release_objects(); }

  Hr<bool> capture_supported() override {
    ComRef<IGraphicsCaptureSessionStatics> statics;
    if (HRESULT hr = activation_factory(kSessionClass, kIidGraphicsCaptureSessionStatics, statics); FAILED(hr)) {
      return failed(hr);
    }
    boolean supported = 0;
    if (HRESULT hr = statics->vtbl->IsSupported(statics.get(), &supported); FAILED(hr)) return failed(hr);
    return supported != 0;
  }

  Hr<void> open_item_factory() override {
    if (HRESULT hr = activation_factory(kItemClass, kIidGraphicsCaptureItemInterop, interop_); FAILED(hr)) {
      return failed(hr);
    }
    return {};
  }
  Hr<bool> create_item(WindowHandle window) override {
    HRESULT hr = interop_->vtbl->CreateForWindow(interop_.get(), to_hwnd(window), kIidGraphicsCaptureItem,
                                                 item_.put_void());
    if (FAILED(hr)) return failed(hr);
    return static_cast<bool>(item_);
  }
  Hr<void> add_closed_handler(std::shared_ptr<ClosedFlag> flag) override {
    ComRef<IClosedHandler> handler(make_closed_handler(std::move(flag)));
    if (HRESULT hr = item_->vtbl->add_Closed(item_.get(), handler.get(), &token_); FAILED(hr)) return failed(hr);
    return {};
  }
  void remove_closed_handler() override { item_->vtbl->remove_Closed(item_.get(), token_); }
  Hr<CaptureSize> item_size() override {
    SizeInt32 s{};
    if (HRESULT hr = item_->vtbl->get_Size(item_.get(), &s); FAILED(hr)) return failed(hr);
    return CaptureSize{s.Width, s.Height};
  }

  Hr<bool> create_device() override {
    auto create = d3d11_create_device.get();
    if (!create) return failed(HRESULT_FROM_WIN32(create.error()));
    HRESULT hr = (*create)(nullptr, D3D_DRIVER_TYPE_HARDWARE, nullptr, D3D11_CREATE_DEVICE_BGRA_SUPPORT,
                                     nullptr, 0, D3D11_SDK_VERSION, device_.put(), nullptr, context_.put());
    if (FAILED(hr)) return failed(hr);
    return device_ && context_;
  }
  Hr<void> open_dxgi_device() override {
    if (HRESULT hr = device_.query(IID_IDXGIDevice, dxgi_device_); FAILED(hr)) return failed(hr);
    return {};
  }
  Hr<void> create_winrt_device() override {
    // Looked up at run time: Wine's d3d11.dll has no such export, and a
    // static import of it would keep the program from loading there.
    const HMODULE d3d11 = ::GetModuleHandleW(L"d3d11.dll");
    const auto create = d3d11 ? reinterpret_cast<CreateDirect3D11DeviceFromDXGIDeviceFn>(
                                    reinterpret_cast<void*>(::GetProcAddress(d3d11, "CreateDirect3D11DeviceFromDXGIDevice")))
                              : nullptr;
    if (!create) return hr_error(HRESULT_FROM_WIN32(::GetLastError()));
    if (HRESULT hr = create(dxgi_device_.get(), inspectable_device_.put()); FAILED(hr)) return failed(hr);
    return {};
  }
  Hr<void> open_winrt_device_interface() override {
    if (HRESULT hr = inspectable_device_.query(kIidDirect3DDevice, winrt_device_); FAILED(hr)) return failed(hr);
    return {};
  }

  Hr<void> create_frame_pool(CaptureSize size) override {
    ComRef<IDirect3D11CaptureFramePoolStatics2> statics;
    if (HRESULT hr = activation_factory(kFramePoolClass, kIidDirect3D11CaptureFramePoolStatics2, statics);
        FAILED(hr)) {
      return failed(hr);
    }
    constexpr INT32 kB8G8R8A8UIntNormalized = 87;
    HRESULT hr = statics->vtbl->CreateFreeThreaded(statics.get(), winrt_device_.get(), kB8G8R8A8UIntNormalized, 1,
                                                   SizeInt32{size.width, size.height}, pool_.put());
    if (FAILED(hr)) return failed(hr);
    return {};
  }
  Hr<void> create_session() override {
    if (HRESULT hr = pool_->vtbl->CreateCaptureSession(pool_.get(), item_.get(), session_.put()); FAILED(hr)) {
      return failed(hr);
    }
    return {};
  }
  Hr<void> require_border() override {
    if (HRESULT hr = session_.query(kIidGraphicsCaptureSession3, session3_); FAILED(hr)) return failed(hr);
    if (HRESULT hr = session3_->vtbl->put_IsBorderRequired(session3_.get(), 1); FAILED(hr)) return failed(hr);
    return {};
  }
  Hr<bool> border_required() override {
    boolean required = 0;
    if (HRESULT hr = session3_->vtbl->get_IsBorderRequired(session3_.get(), &required); FAILED(hr)) return failed(hr);
    return required != 0;
  }
  Hr<void> start_capture() override {
    if (HRESULT hr = session_->vtbl->StartCapture(session_.get()); FAILED(hr)) return failed(hr);
    return {};
  }

  Hr<bool> next_frame() override {
    if (HRESULT hr = pool_->vtbl->TryGetNextFrame(pool_.get(), frame_.put()); FAILED(hr)) return failed(hr);
    return static_cast<bool>(frame_);
  }
  Hr<CaptureSize> frame_content_size() override {
    SizeInt32 s{};
    if (HRESULT hr = frame_->vtbl->get_ContentSize(frame_.get(), &s); FAILED(hr)) return failed(hr);
    return CaptureSize{s.Width, s.Height};
  }
  Hr<std::int64_t> frame_time() override {
    TimeSpan t{};
    if (HRESULT hr = frame_->vtbl->get_SystemRelativeTime(frame_.get(), &t); FAILED(hr)) return failed(hr);
    return t.Duration;
  }
  Hr<void> open_frame_surface() override {
    if (HRESULT hr = frame_->vtbl->get_Surface(frame_.get(), surface_.put()); FAILED(hr)) return failed(hr);
    return {};
  }
  Hr<void> open_surface_access() override {
    if (HRESULT hr = surface_.query(kIidDirect3DDxgiInterfaceAccess, access_); FAILED(hr)) return failed(hr);
    return {};
  }
  Hr<SurfaceDescription> open_surface_texture() override {
    if (HRESULT hr = access_->vtbl->GetInterface(access_.get(), IID_ID3D11Texture2D, texture_.put_void());
        FAILED(hr)) {
      return failed(hr);
    }
    D3D11_TEXTURE2D_DESC d{};
    texture_->GetDesc(&d);
    return SurfaceDescription{d.Width,          d.Height,          static_cast<std::int32_t>(d.Format), d.MipLevels,
                              d.ArraySize,      d.SampleDesc.Count, d.SampleDesc.Quality};
  }
  Hr<bool> create_staging_texture(const SurfaceDescription& s) override {
    D3D11_TEXTURE2D_DESC d{};
    d.Width = s.width;
    d.Height = s.height;
    d.MipLevels = 1;
    d.ArraySize = 1;
    d.Format = static_cast<DXGI_FORMAT>(s.format);
    d.SampleDesc.Count = 1;
    d.SampleDesc.Quality = 0;
    d.Usage = D3D11_USAGE_STAGING;
    d.CPUAccessFlags = D3D11_CPU_ACCESS_READ;
    if (HRESULT hr = device_->CreateTexture2D(&d, nullptr, staging_.put()); FAILED(hr)) return failed(hr);
    return static_cast<bool>(staging_);
  }
  void copy_to_staging() override {
    context_->CopyResource(staging_.get(), texture_.get());
    context_->Flush();
  }
  Hr<MappedSurface> map_staging() override {
    D3D11_MAPPED_SUBRESOURCE m{};
    if (HRESULT hr = context_->Map(staging_.get(), 0, D3D11_MAP_READ, D3D11_MAP_FLAG_DO_NOT_WAIT, &m); FAILED(hr)) {
      return failed(hr);
    }
    return MappedSurface{static_cast<const std::uint8_t*>(m.pData), m.RowPitch};
  }
  void unmap_staging() override { context_->Unmap(staging_.get(), 0); }

  void close_frame() override {
    texture_.reset();
    access_.reset();
    surface_.reset();
    close_object(frame_);
    frame_.reset();
  }
  void close_session() override { close_object(session_); }
  void close_pool() override { close_object(pool_); }

  void release_objects() override {
    staging_.reset();
    texture_.reset();
    access_.reset();
    surface_.reset();
    frame_.reset();
    session3_.reset();
    session_.reset();
    pool_.reset();
    winrt_device_.reset();
    inspectable_device_.reset();
    dxgi_device_.reset();
    context_.reset();
    device_.reset();
    item_.reset();
    interop_.reset();
  }

 private:
  ComRef<IGraphicsCaptureItemInterop> interop_;
  ComRef<IGraphicsCaptureItem> item_;
  EventRegistrationToken token_{};
  ComRef<ID3D11Device> device_;
  ComRef<ID3D11DeviceContext> context_;
  ComRef<IDXGIDevice> dxgi_device_;
  ComRef<IInspectable> inspectable_device_;
  ComRef<IDirect3DDevice> winrt_device_;
  ComRef<IDirect3D11CaptureFramePool> pool_;
  ComRef<IGraphicsCaptureSession> session_;
  ComRef<IGraphicsCaptureSession3> session3_;
  ComRef<IDirect3D11CaptureFrame> frame_;
  ComRef<IDirect3DSurface> surface_;
  ComRef<IDirect3DDxgiInterfaceAccess> access_;
  ComRef<ID3D11Texture2D> texture_;
  ComRef<ID3D11Texture2D> staging_;
};

}  // namespace

IClosedHandler* make_closed_handler(std::shared_ptr<ClosedFlag> flag) { return new ClosedHandler(std::move(flag)); }

std::unique_ptr<WindowCaptureSys> make_winrt_window_capture() { return std::make_unique<WinRtWindowCapture>(); }

}  // namespace vor::desktop
