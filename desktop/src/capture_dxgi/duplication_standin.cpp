// Wine stand-in for desktop duplication: Wine answers DuplicateOutput with
// E_NOTIMPL. Each acquired frame is composed here instead: the screen's own
// pixels of the output as the background, then every visible, not minimized
// top-level window's own window DC copied at its rectangle, from the bottom
// of the z-order to the top (Wine's screen DC does not show layered windows,
// and a window DC is black where another window covers it, so the windows
// above paint over those parts). The frame is a texture on the real device,
// so the staging copy and the map that follow are Wine's real Direct3D.
#include <windows.h>

#include <vector>

#include "common/com_ref_win32.h"
#include "capture_dxgi/duplication_win32.h"

namespace vor::desktop {
namespace {

constexpr HRESULT kInvalidCall = static_cast<HRESULT>(0x887A0001u);  // DXGI_ERROR_INVALID_CALL

BOOL CALLBACK collect_window(HWND window, LPARAM context) {
  reinterpret_cast<std::vector<HWND>*>(context)->push_back(window);
  return TRUE;
}

// The output's pixels as top-down BGRA rows, alpha opaque.
std::vector<std::uint8_t> compose_output(const RECT& output) {
  const int width = output.right - output.left;
  const int height = output.bottom - output.top;
  std::vector<std::uint8_t> pixels;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  HDC screen = ::GetDC(nullptr);
  HDC memory = ::CreateCompatibleDC(screen);
  void* bits = nullptr;
  HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (memory && bitmap && bits) {
    HGDIOBJ previous = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, output.left, output.top, SRCCOPY);
    std::vector<HWND> windows;  // top of the z-order first
    ::EnumWindows(collect_window, reinterpret_cast<LPARAM>(&windows));
    for (auto it = windows.rbegin(); it != windows.rend(); ++it) {
      RECT r{};
      if (!::IsWindowVisible(*it) || ::IsIconic(*it) || !::GetWindowRect(*it, &r)) continue;
      HDC window_dc = ::GetWindowDC(*it);
      if (!window_dc) continue;
      ::BitBlt(memory, r.left - output.left, r.top - output.top, r.right - r.left, r.bottom - r.top, window_dc, 0, 0,
               SRCCOPY);
      ::ReleaseDC(*it, window_dc);
    }
    ::GdiFlush();
    const auto* start = static_cast<const std::uint8_t*>(bits);
    pixels.assign(start, start + std::size_t(width) * height * 4);
    for (std::size_t i = 3; i < pixels.size(); i += 4) pixels[i] = 0xFF;
    ::SelectObject(memory, previous);
  }
  if (bitmap) ::DeleteObject(bitmap);
  if (memory) ::DeleteDC(memory);
  ::ReleaseDC(nullptr, screen);
  return pixels;
}

class ComposedDuplication final : public OutputDuplication {
 public:
  ComposedDuplication(ID3D11Device* device, RECT output) : device_(device), output_(output) { device->AddRef(); }

  Hresult<AcquiredFrame> acquire_next_frame(std::uint32_t) override {
    if (held_) return std::unexpected(static_cast<std::int32_t>(kInvalidCall));
    const std::vector<std::uint8_t> pixels = compose_output(output_);
    const UINT width = static_cast<UINT>(output_.right - output_.left);
    const UINT height = static_cast<UINT>(output_.bottom - output_.top);
    if (pixels.size() != std::size_t(width) * height * 4) return std::unexpected(static_cast<std::int32_t>(E_FAIL));

    D3D11_TEXTURE2D_DESC desc{};
    desc.Width = width;
    desc.Height = height;
    desc.MipLevels = 1;
    desc.ArraySize = 1;
    desc.Format = DXGI_FORMAT_B8G8R8A8_UNORM;
    desc.SampleDesc.Count = 1;
    desc.Usage = D3D11_USAGE_DEFAULT;
    desc.BindFlags = D3D11_BIND_RENDER_TARGET | D3D11_BIND_SHADER_RESOURCE;
    const D3D11_SUBRESOURCE_DATA data{pixels.data(), width * 4, 0};
    ComRef<ID3D11Texture2D> texture;
    HRESULT hr = device_->CreateTexture2D(&desc, &data, texture.put());
    if (FAILED(hr)) return std::unexpected(static_cast<std::int32_t>(hr));
    ComRef<IDXGIResource> resource;
    hr = texture->QueryInterface(IID_IDXGIResource, resource.put_void());
    if (FAILED(hr)) return std::unexpected(static_cast<std::int32_t>(hr));

    LARGE_INTEGER now{};
    ::QueryPerformanceCounter(&now);
    AcquiredFrame frame;
    frame.info = {now.QuadPart, 0, 1, false, 0};
    frame.resource = wrap_resource(resource.release());
    held_ = true;
    return frame;
  }
  std::int32_t release_frame() override {
    if (!held_) return static_cast<std::int32_t>(kInvalidCall);
    held_ = false;
    return S_OK;
  }

 private:
  ComRef<ID3D11Device> device_;
  RECT output_;
  bool held_ = false;
};

}  // namespace

Hresult<std::unique_ptr<OutputDuplication>> duplicate_output(IDXGIOutput* output, ID3D11Device* device) {
  DXGI_OUTPUT_DESC desc{};
  const HRESULT hr = output->GetDesc(&desc);
  if (FAILED(hr)) return std::unexpected(static_cast<std::int32_t>(hr));
  return std::unique_ptr<OutputDuplication>(new ComposedDuplication(device, desc.DesktopCoordinates));
}

}  // namespace vor::desktop
