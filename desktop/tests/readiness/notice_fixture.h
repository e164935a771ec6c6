// A ready fake desktop for the notice tests: the worker's own process in
// session 1, a target window in the foreground, the readiness answers of a
// ready session, the notice port drawing onto a 1920 x 1080 screen, and a
// duplication of that one output.
#pragma once

#include <gtest/gtest.h>

#include "desktop/tests/capture_dxgi/fake_duplication.h"
#include "desktop/tests/readiness/fake_notice_sys.h"
#include "readiness/notice.h"
#include "support/fake_desktop.h"
#include "support/fake_desktop_sys.h"

namespace vor::desktop::testing {

inline constexpr Rect kTargetRect{100, 300, 900, 700};
inline constexpr Rect kBannerRect{100, 236, 860, 300};  // where the banner of kTargetRect goes

struct NoticeFixture {
  FakeDesktop desk;
  FakeDesktopSys readiness;
  FakeNoticeSys notice{desk};
  FakeDuplication dup{desk.clock};
  NoticePorts ports{desk.ports(), readiness, notice, dup};
  WindowHandle target = 0;

  NoticeFixture() {
    desk.add_process(desk.self_process_id, {.session = 1});
    desk.add_process(100, {.session = 1});
    target = desk.add_window({.process_id = 100, .title = u"Editor", .rect = kTargetRect});
    desk.foreground = target;
  }

  // The banner of kTargetRect, shown; the test keeps the owner.
  NoticeBanner shown() {
    auto banner = show_notice(ports, kTargetRect);
    EXPECT_TRUE(banner) << banner.error().display_chain();
    return std::move(*banner);
  }

  // Frames that show the screen, presented at 100, 200, ...
  void script_screen_frames(int count, std::int64_t first = 100) {
    for (int i = 0; i < count; ++i) dup.frames.push_back(notice.screen_frame(first + 100 * i));
  }

  // True from the moment the frame loop has let go of every duplication
  // object after acquiring a frame: the hold has begun.
  bool holding() const { return dup.acquired > 0 && dup.live == 0; }

  // Nothing of the notice is left: no window, no hotkey, no context or
  // brush, and every duplication object released.
  void expect_all_released() const {
    EXPECT_TRUE(notice.hotkeys.empty());
    EXPECT_TRUE(notice.windows.empty());
    EXPECT_EQ(notice.live_dcs, 0);
    EXPECT_EQ(notice.live_brushes, 0);
    EXPECT_TRUE(dup.all_released()) << "live " << dup.live << ", acquired " << dup.acquired << ", released "
                                    << dup.released << ", maps " << dup.maps << ", unmaps " << dup.unmaps;
  }
};

// The reason of a `ProofFailure`, or "" when the error is not one.
inline std::string proof_reason(const Error& error) {
  const ProofFailure* f = error.find<ProofFailure>();
  return f ? f->reason_code : std::string();
}

}  // namespace vor::desktop::testing
