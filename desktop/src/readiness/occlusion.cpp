#include "readiness/occlusion.h"

namespace vor::desktop {
namespace {

Error plain(std::string_view code) { return Error(std::string(code)); }

Error visibility_failure(std::string_view code) {
  return Error::with(std::string(code), VisibilityFailure{std::string(code)});
}

bool overlaps(const Rect& a, const Rect& b) {
  return a.left < b.right && b.left < a.right && a.top < b.bottom && b.top < a.bottom;
}

bool cloaked_known(std::uint32_t value) { return value >= 1 && value <= kMaxKnownCloakValue; }

// What one window above decides: nothing (ignored), or the error that ends the walk.
Status examine(WindowSys& windows, NoticeSys& notice, WindowHandle above, const Rect& rect) {
  if (!windows.is_visible(above) || windows.is_minimized(above)) return {};
  const auto r = windows.window_rect(above);
  if (!r) return fail(plain(kCaptureOcclusionUnknown));
  if (!overlaps(*r, rect)) return {};

  const auto cloak = windows.cloaked(above);
  const bool layered = (notice.extended_style(above) & kWsExLayered) != 0;
  if (!cloak) return fail(visibility_failure(kCaptureOcclusionUnknown));
  if (cloaked_known(*cloak)) return {};
  if (*cloak != 0) return fail(visibility_failure(kCaptureOcclusionUnknown));
  if (!layered) return fail(plain(kTargetOccluded));

  // A layered window that is not cloaked covers the rectangle unless it is
  // known to be fully transparent.
  const auto attributes = notice.layered_attributes(above);
  if (!attributes || (attributes->flags & kLwaAlpha) == 0) {
    return fail(visibility_failure(kCaptureLayeredVisibilityUnconfirmed));
  }
  if (attributes->alpha > 0) return fail(plain(kTargetOccluded));
  return {};
}

}  // namespace

Status check_occlusion(WindowSys& windows, NoticeSys& notice, WindowHandle window, const Rect& rect) {
  std::uint32_t examined = 0;
  for (WindowHandle above = notice.window_above(window); above != 0; above = notice.window_above(above)) {
    if (auto decided = examine(windows, notice, above, rect); !decided) return decided;
    // Every window stepped over counts toward the limit, hidden and
    // minimized ones too: a desktop with that many windows above is refused
    // rather than walked further.
    if (++examined >= kOcclusionWalkLimit) return fail(plain(kCaptureOcclusionUnknown));
  }
  return {};
}

}  // namespace vor::desktop
