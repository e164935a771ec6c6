// The input port against Wine: the virtual screen, a mouse move built by the
// click builder landing on its pixel, and a key pressed by a partly sent
// batch released by its release records.
#include <windows.h>

#include <gtest/gtest.h>

#include <vector>

#include "native/input_records.h"
#include "native/ports_win32.h"

namespace vor::desktop {
namespace {

TEST(Win32InputSys, VirtualScreenIsTheDisplay) {
  auto input = make_win32_input_sys();
  const VirtualScreen screen = input->virtual_screen();
  EXPECT_GT(screen.width, 1);
  EXPECT_GT(screen.height, 1);
  EXPECT_EQ(screen.width, GetSystemMetrics(SM_CXVIRTUALSCREEN));
}

TEST(Win32InputSys, AbsoluteMoveLandsOnThePixel) {
  auto input = make_win32_input_sys();
  const VirtualScreen screen = input->virtual_screen();
  const std::int32_t x = screen.width / 3;
  const std::int32_t y = screen.height / 4;
  auto click = build_click_inputs(screen, screen.left, screen.top, x, y);
  ASSERT_TRUE(click);
  const std::vector<InputRecord> move{(*click)[0]};  // the move alone: no click on the test desktop
  auto sent = input->send_input(move);
  ASSERT_TRUE(sent) << sent.error();
  EXPECT_EQ(*sent, 1u);
  POINT at{};
  ASSERT_TRUE(GetCursorPos(&at));
  // Truncation in both directions of the 0..65535 mapping may cost a pixel.
  EXPECT_NEAR(at.x, screen.left + x, 1);
  EXPECT_NEAR(at.y, screen.top + y, 1);
}

TEST(Win32InputSys, ReleaseRecordsLiftWhatAPartialBatchHeld) {
  auto input = make_win32_input_sys();
  constexpr std::uint16_t kVkShift = 0x10;
  std::vector<InputRecord> batch;
  KeyboardInput shift;
  shift.virtual_key = kVkShift;
  batch.push_back(shift);
  shift.flags = kKeyEventKeyUp;
  batch.push_back(shift);
  const std::vector<InputRecord> first{batch[0]};
  auto sent = input->send_input(first);
  ASSERT_TRUE(sent) << sent.error();
  ASSERT_EQ(*sent, 1u);
  EXPECT_NE(input->async_key_state(kVkShift) & 0x8000, 0) << "shift is held";
  const auto release = release_stuck_inputs(batch, batch.size(), *sent);
  ASSERT_EQ(release.size(), 1u);
  auto released = input->send_input(release);
  ASSERT_TRUE(released) << released.error();
  EXPECT_EQ(*released, 1u);
  EXPECT_EQ(input->async_key_state(kVkShift) & 0x8000, 0) << "shift is released";
}

TEST(Win32InputSys, EmptyBatchInsertsNothing) {
  auto input = make_win32_input_sys();
  auto sent = input->send_input({});
  ASSERT_TRUE(sent);
  EXPECT_EQ(*sent, 0u);
}

}  // namespace
}  // namespace vor::desktop
