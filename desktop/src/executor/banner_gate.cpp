#include "executor/banner_gate.h"

namespace vor::desktop {

Result<WindowHandle> BannerGate::show(const Rect& target) {
  banner_.reset();
  auto shown = show_notice(ports_, target);
  if (!shown) return fail(std::move(shown.error()));
  banner_.emplace(std::move(*shown));
  return banner_->window();
}

Status BannerGate::prove(WindowHandle banner, std::uint32_t expected_last_input_tick) {
  return prove_notice_on_screen(ports_, banner, expected_last_input_tick);
}

void BannerGate::tear_down(WindowHandle) { banner_.reset(); }

bool BannerGate::take_queued_stop() { return ports_.notice.peek_message(kWmHotkey, kWmHotkey).has_value(); }

}  // namespace vor::desktop
