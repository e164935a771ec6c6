// Single-window capture (the capture_window action): the pixels of one
// top-level window's own surface, also where other windows cover it, taken
// through the graphics capture API with the capture border required for the
// whole capture. The executor calls `capture_window_wgc`; every step runs on
// the calling thread over the window-capture port (window_capture_port.h),
// polling a free-threaded frame pool until a fresh frame arrives or 1.8 s
// have passed, and re-checking the target at every wait.
//
//   WindowCaptureContext context{ports, capture_sys, [&] { return check_session_ready(...); }};
//   Result<WindowCaptureResult> shot = capture_window_wgc(context, request);
//   if (!shot) if (auto* f = shot.error().find<WindowCaptureFailure>()) response.window_capture_failure = *f;
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "capture_dxgi/capture.h"
#include "capture_dxgi/preview.h"
#include "capture_wgc/window_capture_port.h"
#include "common/error.h"
#include "native/ports.h"
#include "protocol/diagnostics.h"
#include "protocol/request.h"

namespace vor::desktop {

// Plain codes of the capture (the codes it shares with the desktop
// duplication capture are those of capture_dxgi/capture.h).
inline constexpr std::string_view kCaptureWgcUnsupported = "DESKTOP_CAPTURE_WGC_UNSUPPORTED";
inline constexpr std::string_view kCaptureBorderUnavailable = "DESKTOP_CAPTURE_BORDER_UNAVAILABLE";
// Codes of a failed Windows call, carried with a `WindowCaptureFailure`.
inline constexpr std::string_view kCaptureWgcUnavailable = "DESKTOP_CAPTURE_WGC_UNAVAILABLE";

inline constexpr std::string_view kWindowCaptureMethod = "windows_graphics_capture";
inline constexpr std::string_view kWindowCoordinateSpace = "window_source_pixels_not_input_coordinates";

// HRESULTs the rules tell apart.
inline constexpr HResult kHrAccessDenied = static_cast<HResult>(0x80070005);        // E_ACCESSDENIED
inline constexpr HResult kHrPointer = static_cast<HResult>(0x80004003);             // E_POINTER
inline constexpr HResult kHrDxgiNotFound = static_cast<HResult>(0x887A0002);        // DXGI_ERROR_NOT_FOUND
inline constexpr HResult kHrDeviceRemoved = static_cast<HResult>(0x887A0005);       // DXGI_ERROR_DEVICE_REMOVED
inline constexpr HResult kHrDeviceReset = static_cast<HResult>(0x887A0007);         // DXGI_ERROR_DEVICE_RESET
inline constexpr HResult kHrWasStillDrawing = static_cast<HResult>(0x887A000A);     // DXGI_ERROR_WAS_STILL_DRAWING

// B8G8R8A8 normalized, the same number in DXGI and in the capture API.
inline constexpr std::int32_t kCapturePixelFormat = 87;
// DXGI_COLOR_SPACE_RGB_FULL_G22_NONE_P709: standard dynamic range, full-range sRGB.
inline constexpr std::int32_t kStandardColorSpace = 0;

// The whole capture ends 1.8 s after it began; a frame older than that is stale.
inline constexpr std::chrono::milliseconds kWindowCaptureBudget{1800};
inline constexpr std::int64_t kFrameMaxAge100ns = 18'000'000;
inline constexpr std::chrono::milliseconds kFramePollInterval{10};
inline constexpr std::chrono::milliseconds kMapPollInterval{3};

// An item: each side 1 to kMaxWindowSide, at most 16,777,216 pixels.
inline constexpr std::int64_t kCaptureItemMaxPixels = 16'777'216;
// A mapped buffer may hold at most height x 4096 + 64 MiB bytes.
inline constexpr std::uint64_t kMappedRowAllowance = 4096;
inline constexpr std::uint32_t kDisplayMaxAdapters = 16;
inline constexpr std::uint32_t kDisplayMaxOutputs = 32;

// The error of a failed Windows call: the code (E_ACCESSDENIED: access
// denied; device removed or reset: mode changed; anything else: capture
// unavailable) as the outermost message, carrying {phase, hresult} as its
// `WindowCaptureFailure`. The COM error object of the call is taken and
// released by the adapter that made it.
Error map_wgc_error(std::string_view phase, HResult hr);
// The code alone, for a plain error.
std::string_view wgc_error_code(HResult hr);

// The performance counter in 100 ns units, computed without overflow;
// "DESKTOP_CAPTURE_FRAME_NOT_FRESH" when a query fails, gives a non-positive
// value, or the result does not fit in 63 bits.
Result<std::int64_t> qpc_to_100ns(std::optional<std::int64_t> counter, std::optional<std::int64_t> frequency);
Result<std::int64_t> qpc_now_100ns(WindowCaptureSys& capture);

// The window must lie on exactly one attached output whose monitor is the
// window's own, within its desktop rectangle, in the standard colour space.
Status find_window_display(WindowCaptureSys& capture, WindowHandle window);

// The capture preview with straight alpha: `to_rgba_preview` of the
// premultiplied source, then each preview pixel takes the alpha of the source
// pixel it was sampled from and each colour c becomes min(255, c x 255 / a)
// (0 when a is 0); "DESKTOP_CAPTURE_BLACK_FRAME" unless some pixel has alpha
// and colour above 0.
Result<RgbaPreview> unpremultiply_preview(std::span<const std::uint8_t> source, std::uint32_t row_pitch,
                                          std::uint32_t width, std::uint32_t height);

// Item and frame sizes: each side 1 to 8192 and at most 16,777,216 pixels,
// else "DESKTOP_CAPTURE_REGION_TOO_LARGE".
Status check_capture_size(CaptureSize size);

struct WindowCaptureContext {
  const DesktopPorts& ports;
  WindowCaptureSys& capture;
  // The session readiness check of the window-source check.
  std::function<Status()> check_session_ready;
};

// At every wait: "DESKTOP_WINDOW_UNAVAILABLE" once the window closed, then
// the window-source check in the phase during_capture.
Status wgc_guard(const ClosedFlag& closed, const WindowCaptureContext& context, const Request& request);

struct WindowCaptureResult {
  std::vector<std::uint8_t> png;
  std::uint32_t width = 0;  // of the preview
  std::uint32_t height = 0;
  WindowCaptureDiagnostic diagnostic;
};

// The whole capture of the request's window (`request` is capture_window).
Result<WindowCaptureResult> capture_window_wgc(const WindowCaptureContext& context, const Request& request);

}  // namespace vor::desktop
