// The notice banner as the element action needs it (`uia::NoticeGate`),
// over the banner module's `show_notice`, `prove_notice_on_screen` and the
// banner's own teardown. The gate owns the shown banner, so a banner that an
// early return leaves behind is destroyed, and its hotkey unregistered, when
// the gate is dropped.
//
//   BannerGate gate(notice_ports);
//   auto outcome = uia::element_action(target, gate, ...);
#pragma once

#include <optional>

#include "readiness/notice.h"
#include "uia/notice_gate.h"

namespace vor::desktop {

class BannerGate final : public uia::NoticeGate {
 public:
  explicit BannerGate(NoticePorts ports) : ports_(ports) {}

  Result<WindowHandle> show(const Rect& target) override;
  Status prove(WindowHandle banner, std::uint32_t expected_last_input_tick) override;
  void tear_down(WindowHandle banner) override;
  bool take_queued_stop() override;

 private:
  NoticePorts ports_;
  std::optional<NoticeBanner> banner_;
};

}  // namespace vor::desktop
