#include <dwmapi.h>
#include <dxgi1_6.h>
#include <oleauto.h>
#include <roapi.h>

#include "common/com_ref_win32.h"
#include "capture_wgc/system_functions_win32.h"
#include "capture_wgc/window_capture_win32.h"
#include "native/dwm_functions_win32.h"

namespace vor::desktop {
namespace {

HWND to_hwnd(WindowHandle window) { return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window)); }

class Win32Output final : public DisplayOutput {
 public:
  explicit Win32Output(ComRef<IDXGIOutput> output) : output_(std::move(output)) {}
  Hr<OutputDescription> description() override {
    DXGI_OUTPUT_DESC d{};
    if (HRESULT hr = output_->GetDesc(&d); FAILED(hr)) return hr_error(take_failure(hr));
    OutputDescription out;
    out.desktop_rect = {d.DesktopCoordinates.left, d.DesktopCoordinates.top, d.DesktopCoordinates.right,
                        d.DesktopCoordinates.bottom};
    out.attached_to_desktop = d.AttachedToDesktop != FALSE;
    out.monitor = reinterpret_cast<std::uintptr_t>(d.Monitor);
    return out;
  }
  Hr<bool> open_color_interface() override {
    if (HRESULT hr = output_.query(IID_IDXGIOutput6, output6_); FAILED(hr)) return hr_error(take_failure(hr));
    return static_cast<bool>(output6_);
  }
  Hr<std::int32_t> color_space() override {
    DXGI_OUTPUT_DESC1 d{};
    if (HRESULT hr = output6_->GetDesc1(&d); FAILED(hr)) return hr_error(take_failure(hr));
    return static_cast<std::int32_t>(d.ColorSpace);
  }

 private:
  ComRef<IDXGIOutput> output_;
  ComRef<IDXGIOutput6> output6_;
};

class Win32Adapter final : public DisplayAdapter {
 public:
  explicit Win32Adapter(ComRef<IDXGIAdapter1> adapter) : adapter_(std::move(adapter)) {}
  Hr<std::unique_ptr<DisplayOutput>> output(std::uint32_t index) override {
    ComRef<IDXGIOutput> output;
    if (HRESULT hr = adapter_->EnumOutputs(index, output.put()); FAILED(hr)) return hr_error(take_failure(hr));
    return std::make_unique<Win32Output>(std::move(output));
  }

 private:
  ComRef<IDXGIAdapter1> adapter_;
};

class Win32Factory final : public DisplayFactory {
 public:
  explicit Win32Factory(ComRef<IDXGIFactory1> factory) : factory_(std::move(factory)) {}
  Hr<std::unique_ptr<DisplayAdapter>> adapter(std::uint32_t index) override {
    ComRef<IDXGIAdapter1> adapter;
    if (HRESULT hr = factory_->EnumAdapters1(index, adapter.put()); FAILED(hr)) return hr_error(take_failure(hr));
    return std::make_unique<Win32Adapter>(std::move(adapter));
  }

 private:
  ComRef<IDXGIFactory1> factory_;
};

}  // namespace

HResult take_failure(HRESULT hr) {
  IErrorInfo* info = nullptr;
  if (auto get = get_error_info.get(); get && (*get)(0, &info) == S_OK && info) info->Release();
  return static_cast<HResult>(hr);
}

std::uint64_t Win32CaptureBase::monitor_from_window(WindowHandle window) {
  return reinterpret_cast<std::uintptr_t>(::MonitorFromWindow(to_hwnd(window), MONITOR_DEFAULTTONULL));
}

Hr<Rect> Win32CaptureBase::extended_frame_bounds(WindowHandle window) {
  RECT r{};
  auto get = dwm_get_window_attribute.get();
  if (!get) return hr_error(static_cast<HResult>(HRESULT_FROM_WIN32(get.error())));
  if (HRESULT hr = (*get)(to_hwnd(window), DWMWA_EXTENDED_FRAME_BOUNDS, &r, sizeof r); FAILED(hr)) {
    return hr_error(hr);
  }
  return Rect{r.left, r.top, r.right, r.bottom};
}

Hr<std::unique_ptr<DisplayFactory>> Win32CaptureBase::open_display_factory() {
  ComRef<IDXGIFactory1> factory;
  auto create = create_dxgi_factory1.get();
  if (!create) return hr_error(static_cast<HResult>(HRESULT_FROM_WIN32(create.error())));
  if (HRESULT hr = (*create)(IID_IDXGIFactory1, factory.put_void()); FAILED(hr)) {
    return hr_error(take_failure(hr));
  }
  return std::make_unique<Win32Factory>(std::move(factory));
}

std::optional<std::int64_t> Win32CaptureBase::performance_counter() {
  LARGE_INTEGER v{};
  if (!::QueryPerformanceCounter(&v)) return std::nullopt;
  return v.QuadPart;
}

std::optional<std::int64_t> Win32CaptureBase::performance_frequency() {
  LARGE_INTEGER v{};
  if (!::QueryPerformanceFrequency(&v)) return std::nullopt;
  return v.QuadPart;
}

HResult Win32CaptureBase::initialize_runtime() {
  auto initialize = ro_initialize.get();
  if (!initialize) return static_cast<HResult>(HRESULT_FROM_WIN32(initialize.error()));
  return (*initialize)(RO_INIT_MULTITHREADED);
}

// Only called after initialize_runtime succeeded, so the runtime is loaded.
void Win32CaptureBase::uninitialize_runtime() {
  if (auto uninitialize = ro_uninitialize.get()) (*uninitialize)();
}

}  // namespace vor::desktop
