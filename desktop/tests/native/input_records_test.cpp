// Input records: every key name, the click mapping onto the virtual screen,
// Unicode text and the release of a partly sent batch.
#include "native/input_records.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace vor::desktop {
namespace {

KeyboardInput kb(std::uint16_t vk, std::uint32_t flags, std::uint16_t scan = 0) {
  KeyboardInput k;
  k.virtual_key = vk;
  k.scan = scan;
  k.flags = flags;
  return k;
}

MouseInput mouse(std::int32_t dx, std::int32_t dy, std::uint32_t flags) {
  MouseInput m;
  m.dx = dx;
  m.dy = dy;
  m.flags = flags;
  return m;
}

constexpr std::uint32_t kUp = kKeyEventKeyUp;
constexpr std::uint32_t kExt = kKeyEventExtendedKey;

TEST(BuildKeyInputs, EveryKeyName) {
  struct Case {
    KeyName key;
    std::vector<InputRecord> records;
  };
  const Case cases[] = {
      {KeyName::kEnter, {kb(0x0D, 0), kb(0x0D, kUp)}},
      {KeyName::kEscape, {kb(0x1B, 0), kb(0x1B, kUp)}},
      {KeyName::kTab, {kb(0x09, 0), kb(0x09, kUp)}},
      {KeyName::kBackspace, {kb(0x08, 0), kb(0x08, kUp)}},
      {KeyName::kSpace, {kb(0x20, 0), kb(0x20, kUp)}},
      {KeyName::kUp, {kb(0x26, 0), kb(0x26, kUp)}},
      {KeyName::kDown, {kb(0x28, 0), kb(0x28, kUp)}},
      {KeyName::kLeft, {kb(0x25, 0), kb(0x25, kUp)}},
      {KeyName::kRight, {kb(0x27, 0), kb(0x27, kUp)}},
      {KeyName::kAltTab, {kb(0x12, 0), kb(0x09, 0), kb(0x09, kUp), kb(0x12, kUp)}},
      {KeyName::kShowDesktop, {kb(0x5B, kExt), kb(0x44, 0), kb(0x44, kUp), kb(0x5B, kExt | kUp)}},
  };
  ASSERT_EQ(std::size(cases), std::size(kKeyNames));
  for (const auto& c : cases) {
    EXPECT_EQ(build_key_inputs(c.key), c.records) << kKeyNames[static_cast<std::size_t>(c.key)];
  }
}

TEST(BuildKeyInputs, RecordsCarryNoTimeOrExtraInfo) {
  for (std::size_t i = 0; i < std::size(kKeyNames); ++i) {
    for (const auto& r : build_key_inputs(static_cast<KeyName>(i))) {
      ASSERT_EQ(r.index(), 1u) << "keyboard records only";
      const auto& k = std::get<KeyboardInput>(r);
      EXPECT_EQ(k.scan, 0);
      EXPECT_EQ(k.time, 0u);
      EXPECT_EQ(k.extra_info, 0u);
    }
  }
}

TEST(BuildClickInputs, MapsOntoTheVirtualScreen) {
  const VirtualScreen primary{0, 0, 1920, 1080};
  const VirtualScreen left_monitor{-1280, -200, 3200, 1280};  // a monitor left of and above the primary
  struct Case {
    const char* name;
    VirtualScreen screen;
    std::int32_t left, top, x, y;
    std::int32_t ax, ay;
  };
  const Case cases[] = {
      {"origin", primary, 0, 0, 0, 0, 0, 0},
      {"bottom-right pixel", primary, 1900, 1000, 19, 79, 65535, 65535},
      {"middle truncates", primary, 100, 100, 859, 439, 959 * 65535 / 1919, 539 * 65535 / 1079},
      {"negative origin, left edge", left_monitor, -1280, -200, 0, 0, 0, 0},
      {"negative origin, primary's origin", left_monitor, 0, 0, 0, 0, 1280 * 65535 / 3199, 200 * 65535 / 1279},
      {"negative origin, bottom-right", left_monitor, 1000, 1000, 919, 79, 65535, 65535},
  };
  for (const auto& c : cases) {
    auto records = build_click_inputs(c.screen, c.left, c.top, c.x, c.y);
    ASSERT_TRUE(records) << c.name;
    const std::vector<InputRecord> expected{mouse(c.ax, c.ay, 0xC001), mouse(c.ax, c.ay, 0x0002),
                                            mouse(c.ax, c.ay, 0x0004)};
    EXPECT_EQ(*records, expected) << c.name;
  }
}

TEST(BuildClickInputs, OutsideTheScreenOrDegenerateScreenFails) {
  const VirtualScreen primary{0, 0, 1920, 1080};
  const VirtualScreen left_monitor{-1280, 0, 3200, 1080};
  struct Case {
    const char* name;
    VirtualScreen screen;
    std::int32_t left, top, x, y;
  };
  const Case cases[] = {
      {"one pixel right of the edge", primary, 1900, 0, 20, 0},
      {"one pixel below the edge", primary, 0, 1000, 0, 80},
      {"left of the origin", primary, -1, 0, 0, 0},
      {"above the origin", primary, 0, -5, 0, 4},
      {"left of a negative origin", left_monitor, -1281, 0, 0, 0},
      {"width 1", {0, 0, 1, 1080}, 0, 0, 0, 0},
      {"height 1", {0, 0, 1920, 1}, 0, 0, 0, 0},
      {"width 0", {0, 0, 0, 1080}, 0, 0, 0, 0},
      {"negative size", {0, 0, -5, -5}, 0, 0, 0, 0},
      {"sum beyond 32 bits", primary, 2'147'483'647, 0, 2'147'483'647, 0},
      {"sum below 32 bits", {-2'147'483'647 - 1, 0, 100, 100}, -2'147'483'647 - 1, 0, -2'147'483'647 - 1, 0},
  };
  for (const auto& c : cases) {
    auto records = build_click_inputs(c.screen, c.left, c.top, c.x, c.y);
    ASSERT_FALSE(records) << c.name;
    EXPECT_EQ(records.error().outermost(), kCoordinateOutsideScreen) << c.name;
  }
}

TEST(TextToKeyInputs, TwoUnicodeRecordsPerUtf16Unit) {
  // "a" then U+1F600, which UTF-16 writes as the surrogates D83D DE00.
  const auto records = text_to_key_inputs(u"a\U0001F600");
  const std::vector<InputRecord> expected{kb(0, 0x4, 'a'),    kb(0, 0x6, 'a'),    kb(0, 0x4, 0xD83D),
                                          kb(0, 0x6, 0xD83D), kb(0, 0x4, 0xDE00), kb(0, 0x6, 0xDE00)};
  EXPECT_EQ(records, expected);
  EXPECT_TRUE(text_to_key_inputs(u"").empty());
}

TEST(ReleaseStuckInputs, EveryCutOffOfTheKeyChords) {
  const auto alt_tab = build_key_inputs(KeyName::kAltTab);
  const auto show_desktop = build_key_inputs(KeyName::kShowDesktop);
  struct Case {
    const char* name;
    const std::vector<InputRecord>& batch;
    std::size_t sent;
    std::vector<InputRecord> release;
  };
  const Case cases[] = {
      {"alt_tab, none sent", alt_tab, 0, {}},
      {"alt_tab, alt down", alt_tab, 1, {kb(0x12, kUp)}},
      {"alt_tab, alt and tab down", alt_tab, 2, {kb(0x09, kUp), kb(0x12, kUp)}},
      {"alt_tab, tab released", alt_tab, 3, {kb(0x12, kUp)}},
      {"alt_tab, all sent", alt_tab, 4, {}},
      {"show_desktop, win down", show_desktop, 1, {kb(0x5B, kExt | kUp)}},
      {"show_desktop, win and D down", show_desktop, 2, {kb(0x44, kUp), kb(0x5B, kExt | kUp)}},
      {"show_desktop, D released", show_desktop, 3, {kb(0x5B, kExt | kUp)}},
      {"show_desktop, all sent", show_desktop, 4, {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(release_stuck_inputs(c.batch, c.batch.size(), c.sent), c.release) << c.name;
  }
}

TEST(ReleaseStuckInputs, EveryCutOffOfAClick) {
  const auto click = build_click_inputs({0, 0, 1920, 1080}, 0, 0, 959, 539);
  ASSERT_TRUE(click);
  const auto& down = std::get<MouseInput>((*click)[1]);
  const std::vector<InputRecord> left_up{mouse(down.dx, down.dy, kMouseEventLeftUp)};
  const std::vector<InputRecord> none;
  EXPECT_EQ(release_stuck_inputs(*click, 3, 0), none);
  EXPECT_EQ(release_stuck_inputs(*click, 3, 1), none) << "a move alone holds nothing";
  EXPECT_EQ(release_stuck_inputs(*click, 3, 2), left_up);
  EXPECT_EQ(release_stuck_inputs(*click, 3, 3), none);
}

TEST(ReleaseStuckInputs, EveryCutOffOfTypedText) {
  const auto text = text_to_key_inputs(u"ab");
  for (std::size_t sent = 0; sent <= text.size(); ++sent) {
    const auto release = release_stuck_inputs(text, text.size(), sent);
    if (sent % 2 == 0) {
      EXPECT_TRUE(release.empty()) << sent;
    } else {
      const auto& pressed = std::get<KeyboardInput>(text[sent - 1]);
      EXPECT_EQ(release, (std::vector<InputRecord>{kb(0, 0x6, pressed.scan)})) << sent;
    }
  }
}

TEST(ReleaseStuckInputs, UpMatchesOnlyTheSameKeyScanAndFlags) {
  // An extended up does not release a plain down of the same key, an up of
  // another scan code does not release a Unicode down, and a sent count
  // beyond the batch walks only the batch.
  const std::vector<InputRecord> batch{kb(0x12, 0), kb(0x12, kExt | kUp), kb(0, 0x4, 'x'), kb(0, 0x6, 'y')};
  EXPECT_EQ(release_stuck_inputs(batch, batch.size(), 4), (std::vector<InputRecord>{kb(0, 0x6, 'x'), kb(0x12, kUp)}));
  EXPECT_EQ(release_stuck_inputs(batch, batch.size(), 99), release_stuck_inputs(batch, batch.size(), 4));
  EXPECT_EQ(release_stuck_inputs(batch, 1, 4), (std::vector<InputRecord>{kb(0x12, kUp)}));
}

TEST(ReleaseStuckInputs, LeftUpReleasesEveryHeldButtonAndKeepsKeys) {
  const std::vector<InputRecord> batch{mouse(1, 2, kMouseEventLeftDown), kb(0x12, 0),
                                       mouse(3, 4, kMouseEventLeftDown), mouse(5, 6, kMouseEventLeftUp),
                                       mouse(7, 8, kMouseEventLeftDown | kMouseEventMove)};
  EXPECT_EQ(release_stuck_inputs(batch, batch.size(), 4), (std::vector<InputRecord>{kb(0x12, kUp)}));
  EXPECT_EQ(release_stuck_inputs(batch, batch.size(), 5),
            (std::vector<InputRecord>{mouse(7, 8, kMouseEventLeftUp), kb(0x12, kUp)}));
  EXPECT_EQ(release_stuck_inputs(batch, batch.size(), 3),
            (std::vector<InputRecord>{mouse(3, 4, kMouseEventLeftUp), kb(0x12, kUp), mouse(1, 2, kMouseEventLeftUp)}));
}

}  // namespace
}  // namespace vor::desktop
