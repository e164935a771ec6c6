// Wine stand-in: Wine registers none of the graphics-capture classes, so the
// window's frames come from its own device context (GetWindowDC + BitBlt into
// a 32-bit DIB), with the window's size as item and content size and the
// frame stamped with the performance counter when it was read. GDI leaves
// the alpha byte of a window's pixels 0; a window surface is opaque, so the
// frames carry alpha 255. Wine's DWM has no frame bounds: the window rect
// stands for them. The display query is Wine's real DXGI.
#include <cstring>

#include "capture_wgc/window_capture.h"
#include "capture_wgc/window_capture_win32.h"

namespace vor::desktop {
namespace {

HWND to_hwnd(WindowHandle window) { return reinterpret_cast<HWND>(static_cast<std::uintptr_t>(window)); }

constexpr HResult kHrInvalidWindow = static_cast<HResult>(0x80070578);  // HRESULT_FROM_WIN32(ERROR_INVALID_WINDOW_HANDLE)

class WindowDcCapture final : public Win32CaptureBase {
 public:
  ~WindowDcCapture() override { release_objects(); }

  Hr<Rect> extended_frame_bounds(WindowHandle window) override {
    RECT r{};
    if (!::GetWindowRect(to_hwnd(window), &r)) return hr_error(HRESULT_FROM_WIN32(::GetLastError()));
    return Rect{r.left, r.top, r.right, r.bottom};
  }
  Hr<bool> capture_supported() override { return true; }
  Hr<void> open_item_factory() override { return {}; }
  Hr<bool> create_item(WindowHandle window) override {
    if (!::IsWindow(to_hwnd(window))) return hr_error(kHrInvalidWindow);
    window_ = to_hwnd(window);
    return true;
  }
  Hr<void> add_closed_handler(std::shared_ptr<ClosedFlag> flag) override {
    closed_ = std::move(flag);
    return {};
  }
  void remove_closed_handler() override { closed_.reset(); }
  Hr<CaptureSize> item_size() override { return window_size(); }
  Hr<bool> create_device() override { return true; }
  Hr<void> open_dxgi_device() override { return {}; }
  Hr<void> create_winrt_device() override { return {}; }
  Hr<void> open_winrt_device_interface() override { return {}; }
  Hr<void> create_frame_pool(CaptureSize) override { return {}; }
  Hr<void> create_session() override { return {}; }
  Hr<void> require_border() override { return {}; }
  Hr<bool> border_required() override { return true; }
  Hr<void> start_capture() override { return {}; }

  Hr<bool> next_frame() override {
    // A window that is gone raises the item's Closed event.
    if (!::IsWindow(window_)) {
      if (closed_) closed_->closed.store(true, std::memory_order_release);
      return false;
    }
    auto size = window_size();
    if (!size) return hr_error(size.error());
    if (auto s = read_window(*size); !s) return hr_error(s.error());
    auto now = qpc_now_100ns(*this);
    frame_time_ = now ? *now : 0;
    return true;
  }
  Hr<CaptureSize> frame_content_size() override { return frame_size_; }
  Hr<std::int64_t> frame_time() override { return frame_time_; }
  Hr<void> open_frame_surface() override { return {}; }
  Hr<void> open_surface_access() override { return {}; }
  Hr<SurfaceDescription> open_surface_texture() override {
    return SurfaceDescription{static_cast<std::uint32_t>(frame_size_.width),
                              static_cast<std::uint32_t>(frame_size_.height), kCapturePixelFormat, 1, 1, 1, 0};
  }
  Hr<bool> create_staging_texture(const SurfaceDescription&) override { return true; }
  void copy_to_staging() override {}
  Hr<MappedSurface> map_staging() override {
    return MappedSurface{bits_, static_cast<std::uint32_t>(frame_size_.width) * 4};
  }
  void unmap_staging() override {}
  void close_frame() override { free_frame(); }
  void close_session() override {}
  void close_pool() override {}
  void release_objects() override {
    free_frame();
    closed_.reset();
    window_ = nullptr;
  }

 private:
  Hr<CaptureSize> window_size() const {
    RECT r{};
    if (!::GetWindowRect(window_, &r)) return hr_error(HRESULT_FROM_WIN32(::GetLastError()));
    return CaptureSize{r.right - r.left, r.bottom - r.top};
  }

  // The window's pixels as a top-down 32-bit DIB, alpha set opaque.
  Hr<void> read_window(CaptureSize size) {
    free_frame();
    if (size.width <= 0 || size.height <= 0) return hr_error(E_INVALIDARG);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = size.width;
    info.bmiHeader.biHeight = -size.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    bitmap_ = ::CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (!bitmap_) return hr_error(E_OUTOFMEMORY);
    bits_ = static_cast<std::uint8_t*>(bits);
    frame_size_ = size;
    HDC source = ::GetWindowDC(window_);
    HDC memory = ::CreateCompatibleDC(source);
    HGDIOBJ old = ::SelectObject(memory, bitmap_);
    const BOOL copied = ::BitBlt(memory, 0, 0, size.width, size.height, source, 0, 0, SRCCOPY);
    const DWORD error = ::GetLastError();
    ::SelectObject(memory, old);
    ::DeleteDC(memory);
    ::ReleaseDC(window_, source);
    if (!copied) {
      free_frame();
      return hr_error(HRESULT_FROM_WIN32(error));
    }
    ::GdiFlush();
    const std::size_t bytes = std::size_t(size.width) * std::size_t(size.height) * 4;
    for (std::size_t i = 3; i < bytes; i += 4) bits_[i] = 0xFF;
    return {};
  }

  void free_frame() {
    if (bitmap_) ::DeleteObject(bitmap_);
    bitmap_ = nullptr;
    bits_ = nullptr;
  }

  HWND window_ = nullptr;
  std::shared_ptr<ClosedFlag> closed_;
  HBITMAP bitmap_ = nullptr;
  std::uint8_t* bits_ = nullptr;
  CaptureSize frame_size_{};
  std::int64_t frame_time_ = 0;
};

}  // namespace

std::unique_ptr<WindowCaptureSys> make_window_capture_sys() { return std::make_unique<WindowDcCapture>(); }

}  // namespace vor::desktop
