// The plain codes of a failed capture, shared by the desktop duplication and
// the single-window capture.
#pragma once

#include <string_view>

namespace vor::desktop {

inline constexpr std::string_view kCaptureRegionTooLarge = "DESKTOP_CAPTURE_REGION_TOO_LARGE";
inline constexpr std::string_view kCaptureGpuUnavailable = "DESKTOP_CAPTURE_GPU_UNAVAILABLE";
inline constexpr std::string_view kCaptureOutputAmbiguous = "DESKTOP_CAPTURE_OUTPUT_AMBIGUOUS";
inline constexpr std::string_view kCaptureRotationUnsupported = "DESKTOP_CAPTURE_ROTATION_UNSUPPORTED";
inline constexpr std::string_view kCaptureRegionUnsupported = "DESKTOP_CAPTURE_REGION_UNSUPPORTED";
inline constexpr std::string_view kCaptureFrameNotFresh = "DESKTOP_CAPTURE_FRAME_NOT_FRESH";
inline constexpr std::string_view kCaptureFrameTimeout = "DESKTOP_CAPTURE_FRAME_TIMEOUT";
inline constexpr std::string_view kCaptureFormatUnsupported = "DESKTOP_CAPTURE_FORMAT_UNSUPPORTED";
inline constexpr std::string_view kCaptureModeChanged = "DESKTOP_CAPTURE_MODE_CHANGED";
inline constexpr std::string_view kCaptureBusy = "DESKTOP_CAPTURE_BUSY";
inline constexpr std::string_view kCaptureSessionDisconnected = "DESKTOP_CAPTURE_SESSION_DISCONNECTED";
inline constexpr std::string_view kCaptureAccessDenied = "DESKTOP_CAPTURE_ACCESS_DENIED";
// kCaptureProtectedContent: native/observation.h.

}  // namespace vor::desktop
