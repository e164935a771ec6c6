// The whole pixel proof over the fakes: the banner paints onto the fake
// screen, the fake duplication's frames read that screen back at scripted
// present times, and the gate tears everything down on every path.
#include <gtest/gtest.h>

#include "capture_dxgi/capture.h"
#include "desktop/tests/readiness/notice_fixture.h"
#include "readiness/occlusion.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;
using testing::FakeFrame;
using testing::kBannerRect;
using testing::kTargetRect;
using testing::NoticeFixture;
using testing::proof_reason;

constexpr std::uint32_t kTick = 1000;  // the fake desktop's last-input tick

QueuedMessage hotkey_message() { return QueuedMessage{0, kWmHotkey, 1, 0x7B0003, 0, 0, 0}; }

TEST(ProveNotice, PhaseZeroThenALaterFrameInTheNewColoursThenTheHold) {
  NoticeFixture f;
  f.script_screen_frames(2);
  Clock::Monotonic hold_start{};
  f.notice.when([&] { return f.holding(); }, [&] { hold_start = f.desk.clock.monotonic_now(); });
  ScreenNoticeGate gate(f.ports);
  auto proven = gate.show_and_prove(kTargetRect, kTick);
  ASSERT_TRUE(proven) << proven.error().display_chain();
  EXPECT_EQ(f.dup.acquired, 2);
  EXPECT_EQ(f.notice.fills, 32);  // the pattern and its repaint in the other colours
  // The duplication objects were all gone before the hold, which lasted a second.
  ASSERT_NE(hold_start, Clock::Monotonic{});
  EXPECT_GE(f.desk.clock.monotonic_now() - hold_start, 1s);
  EXPECT_LT(f.desk.clock.monotonic_now() - hold_start, 1s + 50ms);
  // The frame loop waited at most 50 ms per frame.
  for (std::uint32_t wait : f.dup.waits) EXPECT_LE(wait, 50u);
  f.expect_all_released();
}

TEST(ProveNotice, AFrameWithTheSamePresentTimeDoesNotProveALaterOneDoes) {
  NoticeFixture f;
  f.dup.frames.push_back(f.notice.screen_frame(100));
  f.dup.frames.push_back(f.notice.screen_frame(100));  // shows the new colours, but not a new presentation
  f.dup.frames.push_back(f.notice.screen_frame(101));
  ScreenNoticeGate gate(f.ports);
  auto proven = gate.show_and_prove(kTargetRect, kTick);
  ASSERT_TRUE(proven) << proven.error().display_chain();
  EXPECT_EQ(f.dup.acquired, 3);
  f.expect_all_released();
}

TEST(ProveNotice, ALaterFrameStillShowingTheFirstColoursDoesNotProve) {
  NoticeFixture f;
  NoticeBanner banner = f.shown();
  f.dup.frames.push_back(f.notice.screen_frame(100));
  // A cached image: the screen as it was before the repaint.
  FakeFrame cached = f.notice.screen_frame(200);
  std::vector<testing::Bgra> before;
  f.notice.when([&] { return f.notice.fills == 16; },
                [&] {
                  for (int y = 0; y < 64; ++y) {
                    for (int x = 0; x < 760; ++x) before.push_back(f.notice.pixel(kBannerRect.left + x, kBannerRect.top + y));
                  }
                });
  cached.paint = [&](std::uint32_t x, std::uint32_t y) {
    const int bx = int(x) - kBannerRect.left;
    const int by = int(y) - kBannerRect.top;
    return before.at(std::size_t(by) * 760 + bx);
  };
  for (int i = 0; i < 30; ++i) f.dup.frames.push_back(cached);
  auto proven = prove_notice_on_screen(f.ports, banner.window(), kTick);
  ASSERT_FALSE(proven);
  EXPECT_EQ(proof_reason(proven.error()), "DESKTOP_CAPTURE_FRAME_NOT_FRESH");
}

TEST(ProveNotice, FortyNonMatchingFramesEndAtAttemptThirtyThree) {
  NoticeFixture f;
  for (int i = 0; i < 40; ++i) {
    FakeFrame frame;  // the fake's own surface colour, not the screen
    frame.info = {100 + i, 0, 1, false, 0};
    f.dup.frames.push_back(frame);
  }
  ScreenNoticeGate gate(f.ports);
  auto proven = gate.show_and_prove(kTargetRect, kTick);
  ASSERT_FALSE(proven);
  EXPECT_EQ(proven.error().display_chain(), "DESKTOP_NOTICE_PROOF_UNAVAILABLE");
  EXPECT_EQ(proof_reason(proven.error()), "DESKTOP_CAPTURE_FRAME_NOT_FRESH");
  EXPECT_EQ(f.dup.acquired, 32);
  EXPECT_EQ(f.dup.frames.size(), 8u);
  EXPECT_LT(f.desk.clock.elapsed(), 1800ms);  // the attempt limit, not the deadline
  f.expect_all_released();
}

TEST(ProveNotice, StaleAndPointerOnlyFramesUntilTheDeadline) {
  NoticeFixture f;
  for (int i = 0; i < 40; ++i) {
    FakeFrame frame = f.notice.screen_frame(i % 2 == 0 ? 100 + i : 0, 0);  // no accumulated frames
    frame.takes = 60ms;
    f.dup.frames.push_back(frame);
  }
  ScreenNoticeGate gate(f.ports);
  auto proven = gate.show_and_prove(kTargetRect, kTick);
  ASSERT_FALSE(proven);
  EXPECT_EQ(proof_reason(proven.error()), "DESKTOP_CAPTURE_FRAME_NOT_FRESH");
  EXPECT_LT(f.dup.acquired, 32);  // the deadline, not the attempt limit
  EXPECT_GE(f.desk.clock.elapsed(), 1800ms);
  EXPECT_EQ(f.dup.maps, 0);  // no frame was read
  f.expect_all_released();
}

TEST(ProveNotice, AnImageTooNarrowIsNeverCompared) {
  NoticeFixture f;
  NoticeBanner banner = f.shown();
  // The banner's window is 199 pixels wide when the proof looks at it.
  f.desk.window(banner.window()).rect = Rect{kBannerRect.left, kBannerRect.top, kBannerRect.left + 199, kBannerRect.bottom};
  f.script_screen_frames(40);
  auto proven = prove_notice_on_screen(f.ports, banner.window(), kTick);
  ASSERT_FALSE(proven);
  EXPECT_EQ(proof_reason(proven.error()), "DESKTOP_CAPTURE_FRAME_NOT_FRESH");
  EXPECT_EQ(f.notice.fills, 16);  // never a second phase
  EXPECT_EQ(f.dup.staging_descs.at(0).width, 199u);
}

struct ProofFailureCase {
  const char* name;
  std::function<void(NoticeFixture&)> script;
  std::string code;    // the display text
  std::string reason;  // the ProofFailure's reason, "" when not mapped
};
void PrintTo(const ProofFailureCase& c, std::ostream* os) { *os << c.name; }

class ProveNoticeFailureTest : public ::testing::TestWithParam<ProofFailureCase> {};

TEST_P(ProveNoticeFailureTest, EndsWithItsCodeAndReleasesEverything) {
  const ProofFailureCase& c = GetParam();
  NoticeFixture f;
  f.script_screen_frames(3);
  c.script(f);
  ScreenNoticeGate gate(f.ports);
  auto proven = gate.show_and_prove(kTargetRect, kTick);
  ASSERT_FALSE(proven);
  EXPECT_EQ(proven.error().outermost(), c.code) << proven.error().display_chain();
  EXPECT_EQ(proof_reason(proven.error()), c.reason);
  if (!c.reason.empty()) {
    EXPECT_EQ(proven.error().links().size(), 1u);  // the replaced chain is dropped
  }
  f.expect_all_released();
}

void after_proof(NoticeFixture& f, std::function<void()> action) {
  f.notice.when([&f] { return f.holding(); }, std::move(action));
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ProveNoticeFailureTest,
    ::testing::Values(
        // Before the capture: returned as they are.
        ProofFailureCase{"FirstPaintFails", [](NoticeFixture& f) { f.notice.fill_fails_at = 3; },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", ""},
        ProofFailureCase{"HotkeyTaken", [](NoticeFixture& f) { f.notice.hotkey_error = testing::kFakeHotkeyTaken; },
                         "DESKTOP_STOP_HOTKEY_UNAVAILABLE", ""},
        // The capture.
        ProofFailureCase{"RepaintFails", [](NoticeFixture& f) { f.notice.brush_fails_at = 20; },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
        ProofFailureCase{"ProtectedContent",
                         [](NoticeFixture& f) { f.dup.frames.front().info.protected_content_masked_out = true; },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_CAPTURE_PROTECTED_CONTENT"},
        ProofFailureCase{"DuplicationAccessDenied",
                         [](NoticeFixture& f) { f.dup.adapters[0].outputs[0].duplicate_error = kEAccessDenied; },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_CAPTURE_ACCESS_DENIED"},
        ProofFailureCase{"DuplicationNotImplemented",
                         [](NoticeFixture& f) { f.dup.adapters[0].outputs[0].duplicate_error = testing::kFakeENotImpl; },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
        ProofFailureCase{"BannerOnNoOutput",
                         [](NoticeFixture& f) { f.dup.adapters[0].outputs[0].desc.desktop = Rect{0, 0, 800, 600}; },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_CAPTURE_REGION_UNSUPPORTED"},
        ProofFailureCase{"AcquireFails",
                         [](NoticeFixture& f) { f.dup.frames.front().error = kDxgiErrorAccessLost; },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_CAPTURE_MODE_CHANGED"},
        ProofFailureCase{"ReadEndsPastTheDeadline", [](NoticeFixture& f) { f.dup.map_takes = 1900ms; },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_CAPTURE_FRAME_TIMEOUT"},
        ProofFailureCase{"BlackFrame",
                         [](NoticeFixture& f) {
                           f.dup.frames.front().paint = [](std::uint32_t, std::uint32_t) {
                             return testing::Bgra{0, 0, 0, 255};
                           };
                         },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_CAPTURE_BLACK_FRAME"},
        ProofFailureCase{"CoveredBeforeTheFirstFrame",
                         [](NoticeFixture& f) {
                           f.notice.when([&f] { return !f.notice.windows.empty() && f.notice.fills == 16; },
                                         [&f] { f.desk.raise(f.desk.add_window({.process_id = 100, .rect = kBannerRect})); });
                         },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_TARGET_OCCLUDED"},
        ProofFailureCase{"HotkeyPostedBeforeTheFirstFrame",
                         [](NoticeFixture& f) { f.notice.queue.push_back(hotkey_message()); },
                         "DESKTOP_STOP_REQUESTED", ""},
        ProofFailureCase{"TickMovedDuringTheFrames",
                         [](NoticeFixture& f) {
                           f.notice.when([&f] { return f.dup.acquired == 1; }, [&f] { f.desk.last_input = 1001u; });
                         },
                         "DESKTOP_HUMAN_INPUT_CHANGED", ""},
        // The stop keys pressed while the pattern is repainted between two
        // frames: the next guard pass reads the moved tick before it would
        // drain the hotkey message.
        ProofFailureCase{"StopKeysPressedDuringTheFrames",
                         [](NoticeFixture& f) {
                           f.notice.when([&f] { return f.notice.fills == 20; },
                                         [&f] {
                                           f.desk.last_input = 1001u;
                                           f.notice.queue.push_back(hotkey_message());
                                         });
                         },
                         "DESKTOP_HUMAN_INPUT_CHANGED", ""},
        ProofFailureCase{"TickUnreadable", [](NoticeFixture& f) { f.desk.last_input = win32_error(5); },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
        // During the hold.
        ProofFailureCase{"HoldHotkeyPosted",
                         [](NoticeFixture& f) { after_proof(f, [&f] { f.notice.queue.push_back(hotkey_message()); }); },
                         "DESKTOP_STOP_REQUESTED", ""},
        ProofFailureCase{"HoldTickChanged", [](NoticeFixture& f) { after_proof(f, [&f] { f.desk.last_input = 1234u; }); },
                         "DESKTOP_HUMAN_INPUT_CHANGED", ""},
        // A person pressing Ctrl+Alt+F12 moves the tick and queues the
        // hotkey message together: the tick is read first.
        ProofFailureCase{"HoldStopKeysPressed",
                         [](NoticeFixture& f) {
                           after_proof(f, [&f] {
                             f.desk.last_input = 1234u;
                             f.notice.queue.push_back(hotkey_message());
                           });
                         },
                         "DESKTOP_HUMAN_INPUT_CHANGED", ""},
        ProofFailureCase{"HoldForegroundChanged",
                         [](NoticeFixture& f) {
                           after_proof(f, [&f] { f.desk.foreground = f.desk.add_window({.process_id = 100}); });
                         },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
        ProofFailureCase{"HoldBannerMoved",
                         [](NoticeFixture& f) {
                           after_proof(f, [&f] {
                             f.desk.window(*f.notice.windows.begin()).rect = Rect{101, 236, 861, 300};
                           });
                         },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
        ProofFailureCase{"HoldBannerMinimized",
                         [](NoticeFixture& f) {
                           after_proof(f, [&f] { f.desk.window(*f.notice.windows.begin()).minimized = true; });
                         },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
        ProofFailureCase{"HoldScreensaverStarted",
                         [](NoticeFixture& f) { after_proof(f, [&f] { f.readiness.screensaver = 1; }); },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
        ProofFailureCase{"HoldSessionLocked",
                         [](NoticeFixture& f) {
                           after_proof(f, [&f] { f.desk.desktop_name = std::u16string(u"Winlogon"); });
                         },
                         "DESKTOP_LOCKED_OR_UNAVAILABLE", ""},
        ProofFailureCase{"HoldSessionDisconnected",
                         [](NoticeFixture& f) { after_proof(f, [&f] { f.readiness.sessions[1] = DesktopSys::SessionBuffer{4, 4}; }); },
                         "DESKTOP_LOCKED_OR_UNAVAILABLE", ""},
        ProofFailureCase{"HoldCoveredBySemiTransparentWindow",
                         [](NoticeFixture& f) {
                           after_proof(f, [&f] {
                             const WindowHandle w = f.desk.add_window({.process_id = 100, .rect = kBannerRect});
                             f.desk.raise(w);
                             f.notice.ex_styles[w] = kWsExLayered;
                             f.notice.layered[w] = LayeredAttributes{0, 128, 2};
                           });
                         },
                         "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_TARGET_OCCLUDED"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProveNotice, OtherMessagesAreDispatchedAndAFullyTransparentWindowDoesNotCount) {
  NoticeFixture f;
  f.script_screen_frames(2);
  f.notice.queue.push_back(QueuedMessage{0x10010, 0x000F, 0, 0, 0, 0, 0});  // WM_PAINT of some window
  after_proof(f, [&f] {
    const WindowHandle w = f.desk.add_window({.process_id = 100, .rect = kBannerRect});
    f.desk.raise(w);
    f.notice.ex_styles[w] = kWsExLayered;
    f.notice.layered[w] = LayeredAttributes{0, 0, 2};
    f.notice.queue.push_back(QueuedMessage{0, 0x0113, 1, 0, 0, 0, 0});  // WM_TIMER
  });
  ScreenNoticeGate gate(f.ports);
  auto proven = gate.show_and_prove(kTargetRect, kTick);
  ASSERT_TRUE(proven) << proven.error().display_chain();
  ASSERT_EQ(f.notice.dispatched.size(), 2u);
  EXPECT_EQ(f.notice.dispatched[0].message, 0x000Fu);
  EXPECT_EQ(f.notice.dispatched[1].message, 0x0113u);
}

TEST(ProveNotice, TheBannerRectangleIsCheckedBeforeAnyDuplication) {
  NoticeFixture f;
  NoticeBanner banner = f.shown();
  f.desk.window(banner.window()).rect = Rect{0, 0, 8192, 2049};  // 64 MiB and one row more
  auto proven = prove_notice_on_screen(f.ports, banner.window(), kTick);
  ASSERT_FALSE(proven);
  EXPECT_EQ(proof_reason(proven.error()), "DESKTOP_NOTICE_PROOF_UNAVAILABLE");
  EXPECT_TRUE(f.dup.calls.empty());
  EXPECT_EQ(f.notice.fills, 16);  // painted first
}

TEST(ProveNotice, AnUnreadableBannerRectangleIsReturnedUnmapped) {
  NoticeFixture f;
  NoticeBanner banner = f.shown();
  f.desk.window(banner.window()).rect_error = 1400u;
  auto proven = prove_notice_on_screen(f.ports, banner.window(), kTick);
  ASSERT_FALSE(proven);
  EXPECT_EQ(proven.error().outermost(), "DESKTOP_NOTICE_PROOF_UNAVAILABLE");
  EXPECT_EQ(proven.error().os_error(), 1400u);
  EXPECT_EQ(proven.error().find<ProofFailure>(), nullptr);
  EXPECT_EQ(f.notice.fills, 0);
}

TEST(NoticeGate, AQueuedStopIsTakenOnceOtherMessagesStay) {
  NoticeFixture f;
  ScreenNoticeGate gate(f.ports);
  EXPECT_TRUE(gate.check_stop_request());
  f.notice.queue.push_back(QueuedMessage{0, 0x0113, 1, 0, 0, 0, 0});
  f.notice.queue.push_back(hotkey_message());
  EXPECT_EQ(gate.check_stop_request().error().display_chain(), "DESKTOP_STOP_REQUESTED");
  EXPECT_TRUE(gate.check_stop_request());
  EXPECT_EQ(f.notice.queue.size(), 1u);
}

}  // namespace
}  // namespace vor::desktop
