// The banner window and its stop hotkey: placement, creation, teardown.
#include <algorithm>

#include "common/text.h"
#include "native/observation.h"
#include "readiness/notice.h"
#include "readiness/readiness.h"

namespace vor::desktop {
namespace {

Error plain(std::string_view code) { return Error(std::string(code)); }

}  // namespace

Result<BannerPlacement> place_banner(const Rect& monitor, const Rect& target) {
  const std::int64_t width = std::int64_t{monitor.right} - monitor.left;
  const std::int64_t height = std::int64_t{monitor.bottom} - monitor.top;
  if (width < 1 || width > kMaxWindowSide || height < 1 || height > kMaxWindowSide) {
    return fail(plain(kWindowBoundsInvalid));
  }
  if (width < kNoticeMinMonitorWidth || height < kNoticeMinMonitorHeight) return fail(plain(kNoticeProofUnavailable));

  // In 64 bits nothing here overflows; the clamp to the monitor makes the
  // result the same as with the banner's top saturated at the smallest
  // 32-bit value.
  const std::int64_t w = std::min<std::int64_t>(kBannerMaxWidth, width);
  const std::int64_t x = std::clamp<std::int64_t>(target.left, monitor.left, monitor.right - w);
  const std::int64_t y =
      std::clamp<std::int64_t>(std::int64_t{target.top} - kBannerHeight, monitor.top, monitor.bottom - kBannerHeight);
  return BannerPlacement{static_cast<std::int32_t>(x), static_cast<std::int32_t>(y), static_cast<std::int32_t>(w),
                         kBannerHeight};
}

void NoticeBanner::close() {
  if (window_ != 0) notice_->destroy_window(std::exchange(window_, 0));
  if (hotkey_) {
    notice_->unregister_hotkey(kStopHotkeyId);
    hotkey_ = false;
  }
}

Result<NoticeBanner> show_notice(NoticePorts& ports, const Rect& target) {
  if (auto ready = check_session_ready(ports.desktop, ports.readiness); !ready) return fail(std::move(ready.error()));

  const MonitorHandle monitor = ports.notice.monitor_from_rect(target);
  const auto monitor_rect = ports.readiness.monitor_rect(monitor);
  if (!monitor_rect) return fail(win32_failure(monitor_rect.error(), kNoticeProofUnavailable));
  auto placement = place_banner(*monitor_rect, target);
  if (!placement) return fail(std::move(placement.error()));

  if (!ports.notice.register_hotkey(kStopHotkeyId, kStopHotkeyModifiers, kStopHotkeyKey)) {
    return fail(plain(kStopHotkeyUnavailable));
  }
  NoticeBanner banner(ports.notice, /*hotkey=*/true);

  BannerWindowSpec spec;
  spec.class_name = std::u16string(kBannerClass);
  spec.title = *utf8_to_utf16(kBannerTitle);
  spec.style = kBannerStyle;
  spec.ex_style = kBannerExStyle;
  spec.x = placement->x;
  spec.y = placement->y;
  spec.width = placement->width;
  spec.height = placement->height;
  auto window = ports.notice.create_window(spec);
  if (!window || *window == 0) return fail(plain(kNoticeUnavailable));  // the hotkey goes with `banner`
  banner.window_ = *window;

  if (auto shown = ports.notice.set_window_pos_topmost(*window, kBannerShowFlags); !shown) {
    return fail(win32_failure(shown.error(), kNoticeUnavailable));  // window, then hotkey, go with `banner`
  }
  return banner;
}

}  // namespace vor::desktop
