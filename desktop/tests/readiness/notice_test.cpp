// The banner's placement and creation, the pattern, its verification, the
// occlusion walk and the mapping of proof errors, over the fake desktop.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>

#include "capture_dxgi/capture.h"
#include "common/text.h"
#include "desktop/tests/readiness/notice_fixture.h"
#include "readiness/occlusion.h"

namespace vor::desktop {
namespace {

using testing::kBannerRect;
using testing::kTargetRect;
using testing::NoticeFixture;
using testing::proof_reason;

constexpr std::int32_t kInt32Min = std::numeric_limits<std::int32_t>::min();

// --- placement and creation ---

struct PlacementCase {
  const char* name;
  Rect monitor;
  Rect target;
  BannerPlacement banner;
};
void PrintTo(const PlacementCase& c, std::ostream* os) { *os << c.name; }

class BannerPlacementTest : public ::testing::TestWithParam<PlacementCase> {};

TEST_P(BannerPlacementTest, TheBannerIsMadeAtItsPlaceOnTheNearestMonitor) {
  const PlacementCase& c = GetParam();
  NoticeFixture f;
  f.notice.monitor = 7;
  f.readiness.monitors[7] = c.monitor;
  {
    auto banner = show_notice(f.ports, c.target);
    ASSERT_TRUE(banner) << banner.error().display_chain();
    ASSERT_EQ(f.notice.created.size(), 1u);
    const BannerWindowSpec& spec = f.notice.created[0];
    EXPECT_EQ((BannerPlacement{spec.x, spec.y, spec.width, spec.height}), c.banner);
    EXPECT_EQ(f.notice.monitor_queries, std::vector<Rect>{c.target});
    EXPECT_EQ(f.desk.window(banner->window()).rect,
              (Rect{c.banner.x, c.banner.y, c.banner.x + c.banner.width, c.banner.y + c.banner.height}));
  }
  f.expect_all_released();
}

INSTANTIATE_TEST_SUITE_P(
    Placements, BannerPlacementTest,
    ::testing::Values(
        PlacementCase{"Ordinary", {0, 0, 1920, 1080}, {100, 300, 900, 700}, {100, 236, 760, 64}},
        PlacementCase{"NearTheTop", {0, 0, 1920, 1080}, {100, 30, 900, 700}, {100, 0, 760, 64}},
        PlacementCase{"NarrowTargetKeepsTheFullWidth", {0, 0, 1920, 1080}, {500, 500, 560, 540}, {500, 436, 760, 64}},
        PlacementCase{"RightEdge", {0, 0, 1920, 1080}, {1500, 300, 1900, 700}, {1160, 236, 760, 64}},
        PlacementCase{"StartsLeftOfTheMonitor", {0, 0, 1920, 1080}, {-50, 300, 400, 700}, {0, 236, 760, 64}},
        PlacementCase{"BelowTheBottom", {0, 0, 1920, 1080}, {100, 1500, 300, 1600}, {100, 1016, 760, 64}},
        PlacementCase{"Monitor640", {0, 0, 640, 480}, {10, 200, 600, 400}, {0, 136, 640, 64}},
        PlacementCase{"SmallestMonitor", {0, 0, 320, 96}, {100, 50, 200, 90}, {0, 0, 320, 64}},
        PlacementCase{"SecondMonitorAtNegativeCoordinates", {-1280, -200, 0, 824}, {-1000, 100, -500, 400},
                      {-1000, 36, 760, 64}},
        PlacementCase{"SecondMonitorRightEdge", {-1280, -200, 0, 824}, {-100, -190, 0, 0}, {-760, -200, 760, 64}},
        PlacementCase{"TargetTopAtTheSmallest32BitValue", {0, 0, 1920, 1080}, {0, kInt32Min, 100, kInt32Min + 100},
                      {0, 0, 760, 64}},
        PlacementCase{"TargetTopJustAboveIt", {0, -100, 1920, 980}, {0, kInt32Min + 63, 100, 0}, {0, -100, 760, 64}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ShowNotice, TheWindowHotkeyAndShowingAreExactlyThese) {
  NoticeFixture f;
  auto banner = f.shown();
  ASSERT_EQ(f.notice.created.size(), 1u);
  const BannerWindowSpec& spec = f.notice.created[0];
  EXPECT_EQ(spec.class_name, u"STATIC");
  EXPECT_EQ(spec.title, u"Vor Marionet \u2022 remote input \u2022 Ctrl+Alt+F12: stop");
  EXPECT_EQ(kBannerTitle.size(), 52u);
  EXPECT_EQ(utf16_to_utf8(spec.title), std::string(kBannerTitle));
  EXPECT_EQ(spec.style, 0x80000001u);
  EXPECT_EQ(spec.ex_style, 0x08000088u);
  EXPECT_EQ(f.notice.hotkeys, std::set<std::int32_t>{1});
  EXPECT_EQ(f.notice.hotkey_args, (std::vector<std::uint32_t>{0x4003, 0x7B}));
  EXPECT_EQ(f.notice.show_flags, std::vector<std::uint32_t>{0x253});
  // The hotkey is registered before the window is made, and the window is
  // shown by the topmost call alone.
  const std::vector<std::string> order{"monitor_from_rect", "register_hotkey", "create_window",
                                       "set_window_pos_topmost"};
  EXPECT_EQ(f.notice.calls, order);
  EXPECT_TRUE(f.desk.is_visible(banner.window()));
  EXPECT_EQ(f.desk.foreground_window(), f.target);

  banner.close();
  EXPECT_EQ(f.notice.calls.back(), "unregister_hotkey");
  EXPECT_EQ(f.notice.calls[f.notice.calls.size() - 2], "destroy_window");
  f.expect_all_released();
}

struct ShowFailureCase {
  const char* name;
  std::function<void(NoticeFixture&)> script;
  std::string code;
  std::optional<std::uint32_t> win32;
  bool window_made;  // CreateWindowExW was called
};
void PrintTo(const ShowFailureCase& c, std::ostream* os) { *os << c.name; }

class ShowNoticeFailureTest : public ::testing::TestWithParam<ShowFailureCase> {};

TEST_P(ShowNoticeFailureTest, LeavesNeitherWindowNorHotkey) {
  const ShowFailureCase& c = GetParam();
  NoticeFixture f;
  c.script(f);
  auto banner = show_notice(f.ports, kTargetRect);
  ASSERT_FALSE(banner);
  EXPECT_EQ(banner.error().outermost(), c.code);
  EXPECT_EQ(banner.error().os_error(), c.win32);
  EXPECT_EQ(f.notice.created.size(), c.window_made ? 1u : 0u);
  f.expect_all_released();
  EXPECT_EQ(f.desk.foreground_window(), f.target);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ShowNoticeFailureTest,
    ::testing::Values(
        ShowFailureCase{"SessionLocked", [](NoticeFixture& f) { f.desk.desktop_name = std::u16string(u"Winlogon"); },
                        "DESKTOP_LOCKED_OR_UNAVAILABLE", std::nullopt, false},
        ShowFailureCase{"ScreensaverRunning", [](NoticeFixture& f) { f.readiness.screensaver = 1; },
                        "DESKTOP_NOTICE_PROOF_UNAVAILABLE", std::nullopt, false},
        ShowFailureCase{"MonitorQueryFails", [](NoticeFixture& f) { f.notice.monitor = 9; },
                        "DESKTOP_NOTICE_PROOF_UNAVAILABLE", 87u, false},
        ShowFailureCase{"Monitor319Wide", [](NoticeFixture& f) { f.readiness.monitors[1] = Rect{0, 0, 319, 600}; },
                        "DESKTOP_NOTICE_PROOF_UNAVAILABLE", std::nullopt, false},
        ShowFailureCase{"Monitor95High", [](NoticeFixture& f) { f.readiness.monitors[1] = Rect{0, 0, 800, 95}; },
                        "DESKTOP_NOTICE_PROOF_UNAVAILABLE", std::nullopt, false},
        ShowFailureCase{"Monitor8193Wide", [](NoticeFixture& f) { f.readiness.monitors[1] = Rect{0, 0, 8193, 600}; },
                        "DESKTOP_WINDOW_BOUNDS_INVALID", std::nullopt, false},
        ShowFailureCase{"MonitorInsideOut", [](NoticeFixture& f) { f.readiness.monitors[1] = Rect{800, 0, 0, 600}; },
                        "DESKTOP_WINDOW_BOUNDS_INVALID", std::nullopt, false},
        ShowFailureCase{"HotkeyTaken", [](NoticeFixture& f) { f.notice.hotkey_error = testing::kFakeHotkeyTaken; },
                        "DESKTOP_STOP_HOTKEY_UNAVAILABLE", std::nullopt, false},
        ShowFailureCase{"CreateWindowFails", [](NoticeFixture& f) { f.notice.create_error = 1407u; },
                        "DESKTOP_NOTICE_UNAVAILABLE", std::nullopt, true},
        ShowFailureCase{"ShowingFails", [](NoticeFixture& f) { f.notice.show_error = 5u; },
                        "DESKTOP_NOTICE_UNAVAILABLE", 5u, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ShowNotice, AMonitorTooSmallMakesNoHotkeyAndNoWindow) {
  NoticeFixture f;
  f.readiness.monitors[1] = Rect{0, 0, 319, 96};
  ASSERT_FALSE(show_notice(f.ports, kTargetRect));
  EXPECT_EQ(f.notice.calls, std::vector<std::string>{"monitor_from_rect"});
}

TEST(ShowNotice, AFailedShowDestroysTheWindowThenUnregistersTheHotkey) {
  NoticeFixture f;
  f.notice.show_error = 5u;
  ASSERT_FALSE(show_notice(f.ports, kTargetRect));
  const std::vector<std::string> order{"monitor_from_rect",      "register_hotkey", "create_window",
                                       "set_window_pos_topmost", "destroy_window",  "unregister_hotkey"};
  EXPECT_EQ(f.notice.calls, order);
}

TEST(NoticeBanner, MovingTheOwnerTearsDownOnce) {
  NoticeFixture f;
  {
    NoticeBanner first = f.shown();
    NoticeBanner second(std::move(first));
    first.close();  // a moved-from owner holds nothing
    EXPECT_EQ(f.notice.windows.size(), 1u);
    EXPECT_EQ(f.notice.hotkeys.size(), 1u);
  }
  f.expect_all_released();
  EXPECT_EQ(std::count(f.notice.calls.begin(), f.notice.calls.end(), "destroy_window"), 1);
  EXPECT_EQ(std::count(f.notice.calls.begin(), f.notice.calls.end(), "unregister_hotkey"), 1);
}

// --- the pattern ---

ProofState state_with(std::initializer_list<std::uint8_t> low_bits, std::uint32_t phase = 0) {
  ProofState s;
  std::size_t i = 0;
  for (std::uint8_t b : low_bits) s.random[i++] = b;
  s.phase = phase;
  return s;
}

TEST(ProofPattern, EachSquareTakesTheLowBitOfItsByteFlippedByThePhase) {
  ProofState s = state_with({0x00, 0x01, 0xFE, 0xFF, 0x40, 0x41});
  const ProofColour c0{23, 211, 107};
  const ProofColour c1{217, 43, 181};
  const std::vector<ProofColour> phase0{c0, c1, c0, c1, c0, c1};
  for (std::uint32_t i = 0; i < phase0.size(); ++i) EXPECT_EQ(square_colour(s, i), phase0[i]) << i;
  s.phase = 1;
  for (std::uint32_t i = 0; i < phase0.size(); ++i) EXPECT_NE(square_colour(s, i), phase0[i]) << i;
  EXPECT_EQ(square_rect(0), (Rect{8, 42, 20, 54}));
  EXPECT_EQ(square_rect(15), (Rect{188, 42, 200, 54}));
}

TEST(ProofPattern, PaintsSixteenSquaresOnScreenAndFlushes) {
  NoticeFixture f;
  auto banner = f.shown();
  const ProofState s = state_with({1, 0, 1, 0, 1, 0, 1, 0, 0, 0, 0, 0, 1, 1, 1, 1});
  f.notice.calls.clear();
  ASSERT_TRUE(paint_proof_pattern(f.notice, banner.window(), s));
  EXPECT_EQ(f.notice.fills, 16);
  EXPECT_EQ(f.notice.calls.front(), "get_dc");
  EXPECT_EQ(f.notice.calls[f.notice.calls.size() - 3], "release_dc");
  EXPECT_EQ(f.notice.calls[f.notice.calls.size() - 2], "gdi_flush");
  EXPECT_EQ(f.notice.calls.back(), "dwm_flush");
  EXPECT_EQ(f.notice.live_brushes, 0);
  for (std::uint32_t i = 0; i < 16; ++i) {
    const Rect sq = square_rect(i);
    const ProofColour want = square_colour(s, i);
    for (auto [x, y] : {std::pair{sq.left, sq.top}, std::pair{sq.right - 1, sq.bottom - 1}}) {
      const auto p = f.notice.pixel(kBannerRect.left + x, kBannerRect.top + y);
      EXPECT_EQ((ProofColour{p[2], p[1], p[0]}), want) << i;
    }
  }
  // Nothing outside the squares is touched.
  EXPECT_EQ(f.notice.pixel(kBannerRect.left + 7, kBannerRect.top + 42), testing::kFakeBackground);
  EXPECT_EQ(f.notice.pixel(kBannerRect.left + 200, kBannerRect.top + 42), testing::kFakeBackground);
  EXPECT_EQ(f.notice.pixel(kBannerRect.left + 8, kBannerRect.top + 54), testing::kFakeBackground);
}

struct PaintFailureCase {
  const char* name;
  std::function<void(testing::FakeNoticeSys&)> script;
  std::optional<std::uint32_t> win32;
};
void PrintTo(const PaintFailureCase& c, std::ostream* os) { *os << c.name; }

class PaintFailureTest : public ::testing::TestWithParam<PaintFailureCase> {};

TEST_P(PaintFailureTest, FailsAndReleasesTheContextAndBrushes) {
  NoticeFixture f;
  auto banner = f.shown();
  GetParam().script(f.notice);
  auto painted = paint_proof_pattern(f.notice, banner.window(), ProofState{});
  ASSERT_FALSE(painted);
  EXPECT_EQ(painted.error().outermost(), "DESKTOP_NOTICE_PROOF_UNAVAILABLE");
  EXPECT_EQ(painted.error().os_error(), GetParam().win32);
  EXPECT_EQ(f.notice.live_dcs, 0);
  EXPECT_EQ(f.notice.live_brushes, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, PaintFailureTest,
    ::testing::Values(PaintFailureCase{"NoContext", [](auto& n) { n.no_dc = true; }, std::nullopt},
                      PaintFailureCase{"NinthBrush", [](auto& n) { n.brush_fails_at = 8; }, std::nullopt},
                      PaintFailureCase{"LastFill", [](auto& n) { n.fill_fails_at = 15; }, 8u},
                      PaintFailureCase{"GdiFlush", [](auto& n) { n.gdi_flush_error = 6u; }, 6u},
                      PaintFailureCase{"DwmFlush", [](auto& n) { n.dwm_hresult = static_cast<std::int32_t>(0x80263001u); },
                                       std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

// --- verification ---

// A banner-sized RGBA image showing the state's pattern in its phase.
std::vector<std::uint8_t> image_of(const ProofState& s, std::uint32_t width = 760, std::uint32_t height = 64) {
  std::vector<std::uint8_t> rgba(std::size_t(width) * height * 4, 50);
  for (std::uint32_t i = 0; i < 16; ++i) {
    const Rect sq = square_rect(i);
    const ProofColour c = square_colour(s, i);
    for (std::int32_t y = sq.top; y < sq.bottom && y < std::int32_t(height); ++y) {
      for (std::int32_t x = sq.left; x < sq.right && x < std::int32_t(width); ++x) {
        std::uint8_t* p = rgba.data() + (std::size_t(y) * width + x) * 4;
        p[0] = c.red;
        p[1] = c.green;
        p[2] = c.blue;
        p[3] = 255;
      }
    }
  }
  return rgba;
}

void set_pixel(std::vector<std::uint8_t>& rgba, std::uint32_t width, int x, int y, std::uint8_t value) {
  rgba[(std::size_t(y) * width + x) * 4] = value;
}

struct VerifyFixture : NoticeFixture {
  NoticeBanner banner = shown();
  ProofState state = state_with({1, 0, 0, 1, 1, 1, 0, 0, 1, 0, 1, 0, 0, 0, 1, 1});
  Result<bool> verify(const std::vector<std::uint8_t>& rgba, std::string_view present, std::uint32_t width = 760,
                      std::uint32_t height = 64) {
    return verify_notice_proof(state, notice, banner.window(), rgba, width, height, present);
  }
};

TEST(VerifyNoticeProof, PhaseZeroThenALaterFrameInTheNewColoursProves) {
  VerifyFixture f;
  const int fills = f.notice.fills;
  auto first = f.verify(image_of(f.state), "100");
  ASSERT_TRUE(first);
  EXPECT_FALSE(*first);
  EXPECT_EQ(f.state.phase, 1u);
  EXPECT_EQ(f.state.present_time, 100);
  EXPECT_EQ(f.notice.fills, fills + 16);  // repainted in the other colours

  // The same colours as before are no longer the pattern.
  ProofState old = f.state;
  old.phase = 0;
  EXPECT_FALSE(*f.verify(image_of(old), "300"));
  // The new colours in a frame presented at the same time: not compared.
  EXPECT_FALSE(*f.verify(image_of(f.state), "100"));
  EXPECT_FALSE(*f.verify(image_of(f.state), "99"));
  EXPECT_FALSE(f.state.proven);
  EXPECT_EQ(f.notice.fills, fills + 16);

  auto second = f.verify(image_of(f.state), "101");
  ASSERT_TRUE(second);
  EXPECT_TRUE(*second);
  EXPECT_TRUE(f.state.proven);
  EXPECT_EQ(f.notice.fills, fills + 16);  // no repaint once proven
  // Proven stays proven, whatever the image.
  EXPECT_TRUE(*f.verify({}, "0", 0, 0));
}

struct NotComparedCase {
  const char* name;
  std::uint32_t width;
  std::uint32_t height;
  int size_change;  // bytes added to (or taken from) the exact buffer
  const char* present;
};
void PrintTo(const NotComparedCase& c, std::ostream* os) { *os << c.name; }

class NotComparedTest : public ::testing::TestWithParam<NotComparedCase> {};

TEST_P(NotComparedTest, AMatchingImageIsNeverCompared) {
  const NotComparedCase& c = GetParam();
  VerifyFixture f;
  std::vector<std::uint8_t> rgba = image_of(f.state, c.width, c.height);
  rgba.resize(rgba.size() + c.size_change, 0);
  auto r = f.verify(rgba, c.present, c.width, c.height);
  ASSERT_TRUE(r);
  EXPECT_FALSE(*r);
  EXPECT_EQ(f.state.phase, 0u);
}

INSTANTIATE_TEST_SUITE_P(Images, NotComparedTest,
                         ::testing::Values(NotComparedCase{"TooNarrow", 199, 64, 0, "100"},
                                           NotComparedCase{"TooLow", 760, 53, 0, "100"},
                                           NotComparedCase{"OneByteShort", 760, 64, -1, "100"},
                                           NotComparedCase{"OneByteOver", 760, 64, 1, "100"},
                                           NotComparedCase{"PresentZero", 760, 64, 0, "0"},
                                           NotComparedCase{"PresentNegative", 760, 64, 0, "-100"},
                                           NotComparedCase{"PresentNotANumber", 760, 64, 0, "12a"},
                                           NotComparedCase{"PresentOverflows", 760, 64, 0, "9223372036854775808"}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(VerifyNoticeProof, TheSmallestImageAndASignedTimeAreCompared) {
  VerifyFixture f;
  EXPECT_FALSE(*f.verify(image_of(f.state, 200, 54), "+7", 200, 54));
  EXPECT_EQ(f.state.phase, 1u);
  EXPECT_EQ(f.state.present_time, 7);
}

TEST(VerifyNoticeProof, OnlyTheCentreOfEachSquareIsSampledAndAlphaIsIgnored) {
  VerifyFixture f;
  std::vector<std::uint8_t> rgba = image_of(f.state);
  const Rect s0 = square_rect(0);
  const Rect s15 = square_rect(15);
  set_pixel(rgba, 760, s0.left + 2, s0.top + 5, 0);     // just outside the sampled 6 x 6
  set_pixel(rgba, 760, s15.left + 9, s15.top + 9, 0);
  for (std::size_t i = 3; i < rgba.size(); i += 4) rgba[i] = 0;
  EXPECT_FALSE(*f.verify(rgba, "5"));
  EXPECT_EQ(f.state.phase, 1u);

  VerifyFixture g;
  std::vector<std::uint8_t> off = image_of(g.state);
  set_pixel(off, 760, s15.left + 8, s15.top + 8, 0);  // the last sampled pixel
  EXPECT_FALSE(*g.verify(off, "5"));
  EXPECT_EQ(g.state.phase, 0u);
}

TEST(VerifyNoticeProof, AFailedRepaintIsTheCallsError) {
  VerifyFixture f;
  f.notice.no_dc = true;
  auto r = f.verify(image_of(f.state), "100");
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().outermost(), "DESKTOP_NOTICE_PROOF_UNAVAILABLE");
}

TEST(ParsePresentTime, SignedDecimalsOnly) {
  EXPECT_EQ(parse_present_time("123"), 123);
  EXPECT_EQ(parse_present_time("+123"), 123);
  EXPECT_EQ(parse_present_time("-123"), -123);
  EXPECT_EQ(parse_present_time("9223372036854775807"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(parse_present_time("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
  for (const char* bad : {"", "+", "-", "+-1", " 1", "1 ", "0x10", "9223372036854775808", "-9223372036854775809"}) {
    EXPECT_EQ(parse_present_time(bad), 0) << bad;
  }
}

// --- the occlusion walk ---

struct OcclusionCase {
  const char* name;
  testing::FakeWindow above;
  std::uint32_t ex_style;
  std::optional<Win32<LayeredAttributes>> layered;
  std::string code;      // "" for success
  bool typed;            // a VisibilityFailure
};
void PrintTo(const OcclusionCase& c, std::ostream* os) { *os << c.name; }

const Rect kCovered{100, 100, 500, 300};

testing::FakeWindow over(Rect r = Rect{400, 200, 700, 400}) { return {.process_id = 100, .rect = r}; }
testing::FakeWindow cloaked_over(std::expected<std::uint32_t, std::int32_t> cloak) {
  testing::FakeWindow w = over();
  w.cloaked = cloak;
  return w;
}

class OcclusionTest : public ::testing::TestWithParam<OcclusionCase> {};

TEST_P(OcclusionTest, TheWindowAboveDecides) {
  const OcclusionCase& c = GetParam();
  NoticeFixture f;
  const WindowHandle above = f.desk.add_window(c.above);
  f.desk.raise(above);
  f.notice.ex_styles[above] = c.ex_style;
  if (c.layered) f.notice.layered[above] = *c.layered;
  // A window below the checked one never counts, however it lies.
  f.desk.add_window(over(kCovered));
  auto r = check_occlusion(f.desk, f.notice, f.target, kCovered);
  if (c.code.empty()) {
    EXPECT_TRUE(r) << r.error().display_chain();
    return;
  }
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().display_chain(), c.code);
  const VisibilityFailure* typed = r.error().find<VisibilityFailure>();
  ASSERT_EQ(typed != nullptr, c.typed);
  if (typed) {
    EXPECT_EQ(typed->code, c.code);
  }
}

const std::int32_t kHresultFailed = static_cast<std::int32_t>(0x80004005u);
const LayeredAttributes kAlpha0{0, 0, 2};
const LayeredAttributes kAlpha128{0, 128, 2};
const LayeredAttributes kKeyAndAlpha128{0x00FF00, 128, 3};
const LayeredAttributes kKeyOnly{0x00FF00, 255, 1};

INSTANTIATE_TEST_SUITE_P(
    Windows, OcclusionTest,
    ::testing::Values(
        OcclusionCase{"Invisible", {.process_id = 100, .rect = kCovered, .visible = false}, 0, {}, "", false},
        OcclusionCase{"Minimized", {.process_id = 100, .rect = kCovered, .minimized = true}, 0, {}, "", false},
        OcclusionCase{"OverlappingCloak0", over(), 0, {}, "DESKTOP_TARGET_OCCLUDED", false},
        OcclusionCase{"OneInnerPixel", over(Rect{499, 299, 600, 400}), 0, {}, "DESKTOP_TARGET_OCCLUDED", false},
        OcclusionCase{"Cloak2", cloaked_over(2u), 0, {}, "", false},
        OcclusionCase{"Cloak7", cloaked_over(7u), 0, {}, "", false},
        OcclusionCase{"Cloak9", cloaked_over(9u), 0, {}, "DESKTOP_CAPTURE_OCCLUSION_UNKNOWN", true},
        OcclusionCase{"CloakQueryFailed", cloaked_over(std::unexpected(kHresultFailed)), 0, {},
                      "DESKTOP_CAPTURE_OCCLUSION_UNKNOWN", true},
        OcclusionCase{"RectUnreadable", {.process_id = 100, .rect_error = 1400u}, 0, {},
                      "DESKTOP_CAPTURE_OCCLUSION_UNKNOWN", false},
        OcclusionCase{"LayeredAlpha0", over(), kWsExLayered, Win32<LayeredAttributes>(kAlpha0), "", false},
        OcclusionCase{"LayeredAlpha128", over(), kWsExLayered, Win32<LayeredAttributes>(kAlpha128),
                      "DESKTOP_TARGET_OCCLUDED", false},
        OcclusionCase{"LayeredKeyAndAlpha128", over(), kWsExLayered, Win32<LayeredAttributes>(kKeyAndAlpha128),
                      "DESKTOP_TARGET_OCCLUDED", false},
        OcclusionCase{"LayeredColourKeyOnly", over(), kWsExLayered, Win32<LayeredAttributes>(kKeyOnly),
                      "DESKTOP_CAPTURE_LAYERED_VISIBILITY_UNCONFIRMED", true},
        OcclusionCase{"LayeredAttributesFail", over(), kWsExLayered, Win32<LayeredAttributes>(win32_error(87)),
                      "DESKTOP_CAPTURE_LAYERED_VISIBILITY_UNCONFIRMED", true},
        OcclusionCase{"LayeredCloak3", cloaked_over(3u), kWsExLayered, Win32<LayeredAttributes>(kAlpha128), "",
                      false},
        OcclusionCase{"LayeredCloak9", cloaked_over(9u), kWsExLayered, Win32<LayeredAttributes>(kAlpha0),
                      "DESKTOP_CAPTURE_OCCLUSION_UNKNOWN", true},
        OcclusionCase{"LayeredCloakQueryFailed", cloaked_over(std::unexpected(kHresultFailed)), kWsExLayered,
                      Win32<LayeredAttributes>(kAlpha0), "DESKTOP_CAPTURE_OCCLUSION_UNKNOWN", true},
        OcclusionCase{"RightEdgeTouching", over(Rect{500, 100, 700, 300}), 0, {}, "", false},
        OcclusionCase{"BottomEdgeTouching", over(Rect{100, 300, 500, 500}), 0, {}, "", false},
        OcclusionCase{"LeftAndTopCornerTouching", over(Rect{0, 0, 100, 100}), 0, {}, "", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(CheckOcclusion, ADesktopWithNothingAboveIsFree) {
  NoticeFixture f;
  EXPECT_TRUE(check_occlusion(f.desk, f.notice, f.target, kCovered));
}

// Hidden windows above count toward the limit like any other.
TEST(CheckOcclusion, TwoHundredFiftyFiveWindowsAboveAreWalkedTwoHundredFiftySixAreNot) {
  for (int count : {255, 256}) {
    NoticeFixture f;
    for (int i = 0; i < count; ++i) {
      const WindowHandle w = f.desk.add_window({.process_id = 100, .rect = kCovered, .visible = false});
      f.desk.raise(w);
    }
    auto r = check_occlusion(f.desk, f.notice, f.target, kCovered);
    if (count == 255) {
      EXPECT_TRUE(r) << r.error().display_chain();
    } else {
      ASSERT_FALSE(r);
      EXPECT_EQ(r.error().display_chain(), "DESKTOP_CAPTURE_OCCLUSION_UNKNOWN");
      EXPECT_EQ(r.error().find<VisibilityFailure>(), nullptr);
    }
  }
}

TEST(CheckOcclusion, ACoveringWindowFarUpIsFoundAndTheLimitStillCountsHiddenOnes) {
  NoticeFixture f;
  const WindowHandle covering = f.desk.add_window(over());
  f.desk.raise(covering);
  for (int i = 0; i < 254; ++i) {
    const WindowHandle w = f.desk.add_window({.process_id = 100, .rect = kCovered, .minimized = true});
    f.desk.raise(w);
  }
  f.desk.raise(covering);  // the 255th window above, the topmost
  EXPECT_EQ(check_occlusion(f.desk, f.notice, f.target, kCovered).error().display_chain(),
            "DESKTOP_TARGET_OCCLUDED");
}

// --- the mapping of proof errors ---

TEST(ToProofFailure, StopLockAndHumanInputPassUnchanged) {
  for (const char* code : {"DESKTOP_STOP_REQUESTED", "DESKTOP_LOCKED_OR_UNAVAILABLE", "DESKTOP_HUMAN_INPUT_CHANGED"}) {
    Error e = Error::os(5).context(code);
    const Error mapped = to_proof_failure(e);
    EXPECT_EQ(mapped.display_chain(), e.display_chain());
    EXPECT_EQ(mapped.os_error(), 5u);
    EXPECT_EQ(mapped.find<ProofFailure>(), nullptr);
  }
}

TEST(ToProofFailure, CaptureAndVisibilityCodesAreTheirOwnReasonEverythingElseProofUnavailable) {
  const std::vector<std::string> own{
      "DESKTOP_CAPTURE_BUSY",
      "DESKTOP_TARGET_OCCLUDED",
      "DESKTOP_CAPTURE_BLACK_FRAME",
      "DESKTOP_CAPTURE_MODE_CHANGED",
      "DESKTOP_CAPTURE_FRAME_TIMEOUT",
      "DESKTOP_CAPTURE_ACCESS_DENIED",
      "DESKTOP_CAPTURE_FRAME_NOT_FRESH",
      "DESKTOP_CAPTURE_OUTPUT_AMBIGUOUS",
      "DESKTOP_CAPTURE_PROTECTED_CONTENT",
      "DESKTOP_CAPTURE_OCCLUSION_UNKNOWN",
      "DESKTOP_CAPTURE_SESSION_DISCONNECTED",
      "DESKTOP_CAPTURE_ROTATION_UNSUPPORTED",
      "DESKTOP_CAPTURE_REGION_UNSUPPORTED",
      "DESKTOP_CAPTURE_FORMAT_UNSUPPORTED",
      "DESKTOP_CAPTURE_LAYERED_VISIBILITY_UNCONFIRMED",
  };
  const std::vector<std::string> others{
      "DESKTOP_CAPTURE_GPU_UNAVAILABLE", "DESKTOP_CAPTURE_BUFFER_INVALID",   "DESKTOP_CAPTURE_REGION_TOO_LARGE",
      "DESKTOP_WINDOW_BOUNDS_INVALID",   "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "DESKTOP_INPUT_STATE_UNAVAILABLE",
      "DESKTOP_CAPTURE_BUSY: detail",    "not a code",                       ""};
  auto check = [](const Error& in, const std::string& reason) {
    const Error mapped = to_proof_failure(in);
    EXPECT_EQ(mapped.display_chain(), "DESKTOP_NOTICE_PROOF_UNAVAILABLE") << in.outermost();
    EXPECT_EQ(mapped.os_error(), std::nullopt);
    EXPECT_EQ(mapped.find<CaptureFailure>(), nullptr);
    const ProofFailure* f = mapped.find<ProofFailure>();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->reason_code, reason);
    EXPECT_EQ(f->diagnostic, (Diagnostic{"notice_visibility", reason}));
  };
  for (const std::string& code : own) {
    // Whatever the error carried (a Win32 number, a capture diagnostic) goes.
    check(to_capture_failure(Error::os(5).context(code), CaptureDiagnostic{}), code);
    check(Error::with(code, VisibilityFailure{code}), code);
  }
  for (const std::string& code : others) check(Error::os(87).context(code), "DESKTOP_NOTICE_PROOF_UNAVAILABLE");
}

}  // namespace
}  // namespace vor::desktop
