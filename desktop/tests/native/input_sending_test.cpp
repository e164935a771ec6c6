// Sending a batch against the scripted fake: a whole batch, a batch cut off
// after part of it (released as far as it went), and a batch refused whole.
#include "native/input_sending.h"

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "support/fake_desktop.h"

namespace vor::desktop {
namespace {

using testing::FakeDesktop;

KeyboardInput key_up(std::uint16_t vk, std::uint32_t extra_flags = 0) {
  KeyboardInput k;
  k.virtual_key = vk;
  k.flags = kKeyEventKeyUp | extra_flags;
  return k;
}

TEST(SendInputBatch, CutOffPoints) {
  const auto alt_tab = build_key_inputs(KeyName::kAltTab);
  const auto click = *build_click_inputs({0, 0, 1920, 1080}, 0, 0, 10, 10);
  const auto text = text_to_key_inputs(u"ab");
  MouseInput left_up = std::get<MouseInput>(click[1]);
  left_up.flags = kMouseEventLeftUp;
  struct Case {
    const char* name;
    std::vector<InputRecord> batch;
    std::optional<std::uint32_t> limit;
    bool ok;
    bool dispatched;
    std::vector<std::vector<InputRecord>> calls;  // after the batch itself
  };
  const Case cases[] = {
      {"whole batch", alt_tab, std::nullopt, true, true, {}},
      {"one of four keys", alt_tab, 1, false, true, {{key_up(kVkMenu)}}},
      {"two of four keys", alt_tab, 2, false, true, {{key_up(kVkTab), key_up(kVkMenu)}}},
      {"none of four keys", alt_tab, 0, false, false, {}},
      {"click without its up", click, 2, false, true, {{left_up}}},
      {"click move only", click, 1, false, true, {}},
      {"text cut between characters", text, 2, false, true, {}},
  };
  for (const auto& c : cases) {
    FakeDesktop desktop;
    if (c.limit) desktop.send_limits.push_back(*c.limit);
    bool dispatched = false;
    const Status s = send_input_batch(desktop, c.batch, dispatched);
    EXPECT_EQ(s.has_value(), c.ok) << c.name;
    if (!s) {
      EXPECT_EQ(s.error().outermost(), kInputOutcomeUnknown) << c.name;
    }
    EXPECT_EQ(dispatched, c.dispatched) << c.name;
    ASSERT_EQ(desktop.sent_batches.size(), 1 + c.calls.size()) << c.name;
    EXPECT_EQ(desktop.sent_batches[0], c.batch) << c.name;
    for (std::size_t i = 0; i < c.calls.size(); ++i) EXPECT_EQ(desktop.sent_batches[i + 1], c.calls[i]) << c.name;
  }
}

TEST(SendInputBatch, AFailedReleaseKeepsTheUnknownOutcome) {
  FakeDesktop desktop;
  desktop.send_limits = {1, 0};  // the release itself is refused
  bool dispatched = false;
  const Status s = send_input_batch(desktop, build_key_inputs(KeyName::kShowDesktop), dispatched);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().outermost(), kInputOutcomeUnknown);
  EXPECT_TRUE(dispatched);
  EXPECT_EQ(desktop.sent_batches.size(), 2u);
}

}  // namespace
}  // namespace vor::desktop
