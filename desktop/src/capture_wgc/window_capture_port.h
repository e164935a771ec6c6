// The window-capture port: every Windows call that a single-window capture
// makes, one method per call (or one fixed pair), each returning its raw
// facts: a value, or the HRESULT of the call that failed. Nothing here
// decides; the steps, their order and their limits are in window_capture.h.
//
// One capture's objects (item, device, frame pool, session, frame, staging
// texture) are held by the adapter between calls; the capture closes the
// frame, the session and the pool, removes the `Closed` handler and then
// releases every object, through the methods below, on every path.
//
// The display query (monitor, frame bounds, adapters and outputs with their
// desktop rectangles, monitor handles and colour spaces) is the small part of
// the graphics enumeration that the display match needs.
//
// Adapters: `make_window_capture_sys` (window_capture_win32.h); tests script
// `FakeWindowCapture` (desktop/tests/capture_wgc/fake_window_capture.h).
#pragma once

#include <atomic>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>

#include "native/ports.h"
#include "protocol/observation.h"

namespace vor::desktop {

// An HRESULT as a signed 32-bit number.
using HResult = std::int32_t;

// A value, or the HRESULT of the call that failed.
template <class T>
using Hr = std::expected<T, HResult>;

inline std::unexpected<HResult> hr_error(HResult hr) { return std::unexpected<HResult>(hr); }

// Set by the capture item's `Closed` event, possibly on a thread the runtime
// owns; read by the capture between its steps. Shared, so that a late event
// after the capture ended still finds it alive.
struct ClosedFlag {
  std::atomic<bool> closed{false};
};

// Windows.Graphics.SizeInt32.
struct CaptureSize {
  std::int32_t width = 0;
  std::int32_t height = 0;
  bool operator==(const CaptureSize&) const = default;
};

// The parts of a D3D11_TEXTURE2D_DESC the capture checks.
struct SurfaceDescription {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::int32_t format = 0;
  std::uint32_t mip_levels = 0;
  std::uint32_t array_size = 0;
  std::uint32_t sample_count = 0;
  std::uint32_t sample_quality = 0;
};

// A mapped staging texture: its first byte and the distance between rows.
struct MappedSurface {
  const std::uint8_t* data = nullptr;
  std::uint32_t row_pitch = 0;
};

// DXGI_OUTPUT_DESC: where an output lies on the desktop and its monitor.
struct OutputDescription {
  Rect desktop_rect;
  bool attached_to_desktop = false;
  std::uint64_t monitor = 0;  // HMONITOR
};

// One display output (IDXGIOutput), released by the destructor.
class DisplayOutput {
 public:
  virtual ~DisplayOutput() = default;
  virtual Hr<OutputDescription> description() = 0;  // GetDesc
  // QueryInterface for IDXGIOutput6: whether an object came back.
  virtual Hr<bool> open_color_interface() = 0;
  // IDXGIOutput6::GetDesc1: the DXGI_COLOR_SPACE_TYPE.
  virtual Hr<std::int32_t> color_space() = 0;
};

// One graphics adapter (IDXGIAdapter1), released by the destructor.
class DisplayAdapter {
 public:
  virtual ~DisplayAdapter() = default;
  // EnumOutputs(index); past the last output the call's DXGI_ERROR_NOT_FOUND.
  virtual Hr<std::unique_ptr<DisplayOutput>> output(std::uint32_t index) = 0;
};

// A DXGI factory (CreateDXGIFactory1), released by the destructor.
class DisplayFactory {
 public:
  virtual ~DisplayFactory() = default;
  // EnumAdapters1(index); past the last adapter DXGI_ERROR_NOT_FOUND.
  virtual Hr<std::unique_ptr<DisplayAdapter>> adapter(std::uint32_t index) = 0;
};

class WindowCaptureSys {
 public:
  virtual ~WindowCaptureSys() = default;

  // --- the display query ---
  // MonitorFromWindow(MONITOR_DEFAULTTONULL): 0 when the window is on no monitor.
  virtual std::uint64_t monitor_from_window(WindowHandle window) = 0;
  // DwmGetWindowAttribute(DWMWA_EXTENDED_FRAME_BOUNDS, 16 bytes).
  virtual Hr<Rect> extended_frame_bounds(WindowHandle window) = 0;
  virtual Hr<std::unique_ptr<DisplayFactory>> open_display_factory() = 0;  // CreateDXGIFactory1

  // --- the performance counter; nullopt when the query fails ---
  virtual std::optional<std::int64_t> performance_counter() = 0;    // QueryPerformanceCounter
  virtual std::optional<std::int64_t> performance_frequency() = 0;  // QueryPerformanceFrequency

  // --- the runtime ---
  virtual HResult initialize_runtime() = 0;  // RoInitialize(RO_INIT_MULTITHREADED): its HRESULT
  virtual void uninitialize_runtime() = 0;   // RoUninitialize
  // The GraphicsCaptureSession activation factory and its IsSupported.
  virtual Hr<bool> capture_supported() = 0;

  // --- one capture's objects ---
  // The GraphicsCaptureItem activation factory as IGraphicsCaptureItemInterop.
  virtual Hr<void> open_item_factory() = 0;
  // CreateForWindow: whether an item came back.
  virtual Hr<bool> create_item(WindowHandle window) = 0;
  // add_Closed with a handler that sets `flag`; remove_closed_handler removes it.
  virtual Hr<void> add_closed_handler(std::shared_ptr<ClosedFlag> flag) = 0;
  virtual void remove_closed_handler() = 0;
  virtual Hr<CaptureSize> item_size() = 0;  // IGraphicsCaptureItem::get_Size
  // D3D11CreateDevice (no adapter, hardware driver, BGRA support, default
  // feature levels): whether both the device and its context came back.
  virtual Hr<bool> create_device() = 0;
  virtual Hr<void> open_dxgi_device() = 0;             // the device as IDXGIDevice
  virtual Hr<void> create_winrt_device() = 0;          // CreateDirect3D11DeviceFromDXGIDevice
  virtual Hr<void> open_winrt_device_interface() = 0;  // that as IDirect3DDevice
  // Direct3D11CaptureFramePool.CreateFreeThreaded(device, B8G8R8A8, 1 buffer, size).
  virtual Hr<void> create_frame_pool(CaptureSize size) = 0;
  virtual Hr<void> create_session() = 0;          // CreateCaptureSession for the item
  virtual Hr<void> require_border() = 0;          // the session as Session3, put_IsBorderRequired(true)
  virtual Hr<bool> border_required() = 0;         // get_IsBorderRequired
  virtual Hr<void> start_capture() = 0;           // StartCapture
  // TryGetNextFrame: whether a frame came back (it is then the current frame).
  virtual Hr<bool> next_frame() = 0;
  virtual Hr<CaptureSize> frame_content_size() = 0;  // get_ContentSize
  virtual Hr<std::int64_t> frame_time() = 0;          // get_SystemRelativeTime, 100 ns
  virtual Hr<void> open_frame_surface() = 0;          // get_Surface
  virtual Hr<void> open_surface_access() = 0;         // as IDirect3DDxgiInterfaceAccess
  // GetInterface(ID3D11Texture2D), then its GetDesc.
  virtual Hr<SurfaceDescription> open_surface_texture() = 0;
  // CreateTexture2D of a staging texture with CPU read access, 1 mip, array
  // size 1, sample count 1 quality 0: whether a texture came back.
  virtual Hr<bool> create_staging_texture(const SurfaceDescription& description) = 0;
  virtual void copy_to_staging() = 0;  // CopyResource from the surface texture, then Flush
  // Map(D3D11_MAP_READ, D3D11_MAP_FLAG_DO_NOT_WAIT) of the staging texture.
  virtual Hr<MappedSurface> map_staging() = 0;
  virtual void unmap_staging() = 0;
  // Close (IClosable) and release the current frame and what was opened from it.
  virtual void close_frame() = 0;
  virtual void close_session() = 0;  // IClosable::Close of the session
  virtual void close_pool() = 0;     // IClosable::Close of the frame pool
  // Releases every object this capture holds (an empty call when none).
  virtual void release_objects() = 0;
};

}  // namespace vor::desktop
