// The occlusion walk: whether any window above a given one may cover a
// rectangle. The notice banner's guards and the executor's screen capture
// call it before they trust what is on screen.
//
//   if (auto free = check_occlusion(ports.windows, notice, handle, rect); !free) return free;
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "native/ports.h"
#include "readiness/notice_sys.h"

namespace vor::desktop {

inline constexpr std::string_view kTargetOccluded = "DESKTOP_TARGET_OCCLUDED";
inline constexpr std::string_view kCaptureOcclusionUnknown = "DESKTOP_CAPTURE_OCCLUSION_UNKNOWN";
inline constexpr std::string_view kCaptureLayeredVisibilityUnconfirmed =
    "DESKTOP_CAPTURE_LAYERED_VISIBILITY_UNCONFIRMED";

// The walk gives up once it has stepped over this many windows.
inline constexpr std::uint32_t kOcclusionWalkLimit = 256;

inline constexpr std::uint32_t kWsExLayered = 0x00080000;  // WS_EX_LAYERED
inline constexpr std::uint32_t kLwaAlpha = 0x2;            // LWA_ALPHA
// DWMWA_CLOAKED values that mean "cloaked" (app, shell, inherited, and their
// combinations); a larger value is not understood.
inline constexpr std::uint32_t kMaxKnownCloakValue = 7;

// The typed error of a window whose visibility cannot be decided: its
// display text is `code` ("DESKTOP_CAPTURE_OCCLUSION_UNKNOWN" or
// "DESKTOP_CAPTURE_LAYERED_VISIBILITY_UNCONFIRMED"), found with
// `find<VisibilityFailure>()`.
struct VisibilityFailure {
  std::string code;
};

// Walks up the z-order from the window directly above `window`. A visible,
// not minimized window whose rectangle overlaps `rect` (strictly, on both
// axes) and that is neither cloaked nor fully transparent covers it:
// "DESKTOP_TARGET_OCCLUDED". A cloak value or layered state that cannot be
// read or understood is a `VisibilityFailure`; a rectangle that cannot be
// read, or 256 windows stepped over, is a plain
// "DESKTOP_CAPTURE_OCCLUSION_UNKNOWN".
Status check_occlusion(WindowSys& windows, NoticeSys& notice, WindowHandle window, const Rect& rect);

}  // namespace vor::desktop
