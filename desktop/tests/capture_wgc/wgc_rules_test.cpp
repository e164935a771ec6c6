// The pieces of the window capture on their own: the error mapping, the
// counter conversion, straight alpha, and the display match over a scripted
// display enumeration.
#include <gtest/gtest.h>

#include <limits>

#include "capture_wgc/window_capture.h"
#include "expect_wgc_error.h"
#include "fake_window_capture.h"

namespace vor::desktop {
namespace {

using testing::FakeAdapter;
using testing::FakeClock;
using testing::FakeOutput;
using testing::FakeWindowCapture;

constexpr HResult kHrClassNotRegistered = static_cast<HResult>(0x80040154);
constexpr HResult kHrNoInterface = static_cast<HResult>(0x80004002);
constexpr HResult kHrFail = static_cast<HResult>(0x80004005);

TEST(MapWgcError, CodeByHresultWithPhaseAndHresult) {
  const struct {
    HResult hr;
    std::string_view code;
  } cases[] = {
      {kHrAccessDenied, "DESKTOP_CAPTURE_ACCESS_DENIED"},
      {kHrDeviceRemoved, "DESKTOP_CAPTURE_MODE_CHANGED"},
      {kHrDeviceReset, "DESKTOP_CAPTURE_MODE_CHANGED"},
      {kHrClassNotRegistered, "DESKTOP_CAPTURE_WGC_UNAVAILABLE"},
      {kHrNoInterface, "DESKTOP_CAPTURE_WGC_UNAVAILABLE"},
      {0, "DESKTOP_CAPTURE_WGC_UNAVAILABLE"},
  };
  for (const auto& c : cases) {
    const Error e = map_wgc_error("frame_pool", c.hr);
    EXPECT_EQ(e.outermost(), c.code) << c.hr;
    EXPECT_EQ(e.display_chain(), c.code) << "the display text is the code";
    const auto* f = e.find<WindowCaptureFailure>();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(*f, (WindowCaptureFailure{"frame_pool", c.hr}));
  }
}

TEST(QpcTo100ns, ExactWithoutOverflow) {
  const struct {
    std::int64_t counter, frequency, expected;
  } cases[] = {
      // 9.3e11 counts at 10 MHz: counter x 10^7 would pass 2^63.
      {930'000'000'000, 10'000'000, 930'000'000'000},
      {930'000'000'007, 10'000'000, 930'000'000'007},
      // 3 MHz: 10^7 / 3 per count, floored once over the whole product.
      {3'000'000'001, 3'000'000, 10'000'000'003},
      // 2,441,406 Hz for about a year.
      {77'000'000'000'000, 2'441'406, 315'392'032'296'144},
      {1, 1'000'000'000, 0},
      {std::numeric_limits<std::int64_t>::max(), std::numeric_limits<std::int64_t>::max(), 10'000'000},
  };
  for (const auto& c : cases) {
    auto t = qpc_to_100ns(c.counter, c.frequency);
    ASSERT_TRUE(t) << c.counter << " at " << c.frequency;
    EXPECT_EQ(*t, c.expected) << c.counter << " at " << c.frequency;
  }
}

TEST(QpcTo100ns, FailedOrNonPositiveQueriesAreNotFresh) {
  const struct {
    std::optional<std::int64_t> counter, frequency;
  } cases[] = {
      {std::nullopt, 10'000'000}, {5, std::nullopt}, {0, 10'000'000}, {-5, 10'000'000}, {5, 0}, {5, -1},
      // 2^63 - 1 counts at 1 Hz is far more 100 ns units than 63 bits hold.
      {std::numeric_limits<std::int64_t>::max(), 1},
  };
  for (const auto& c : cases) {
    auto t = qpc_to_100ns(c.counter, c.frequency);
    ASSERT_FALSE(t);
    EXPECT_EQ(t.error().outermost(), "DESKTOP_CAPTURE_FRAME_NOT_FRESH");
  }
}

// A packed BGRA source of w x h pixels, each (b, g, r, a).
std::vector<std::uint8_t> source(std::uint32_t w, std::uint32_t h, std::array<std::uint8_t, 4> bgra) {
  std::vector<std::uint8_t> s(std::size_t{w} * h * 4);
  for (std::size_t i = 0; i < s.size(); i += 4) std::copy(bgra.begin(), bgra.end(), s.begin() + i);
  return s;
}

TEST(UnpremultiplyPreview, ColoursDividedByTheSampledAlpha) {
  const struct {
    std::array<std::uint8_t, 4> bgra;
    std::array<std::uint8_t, 4> rgba;
  } cases[] = {
      {{0, 0, 64, 128}, {127, 0, 0, 128}},        // 64 x 255 / 128 = 127.5, floored
      {{10, 20, 30, 255}, {30, 20, 10, 255}},     // opaque: unchanged
      {{1, 2, 3, 1}, {255, 255, 255, 1}},         // clamped at 255
      {{0, 200, 100, 100}, {255, 255, 0, 100}},   // inconsistent premultiplication clamps
      {{60, 0, 0, 180}, {0, 0, 85, 180}},
  };
  for (const auto& c : cases) {
    const auto s = source(3, 2, c.bgra);
    auto p = unpremultiply_preview(s, 12, 3, 2);
    ASSERT_TRUE(p) << p.error().display_chain();
    ASSERT_EQ(p->pixels.size(), 24u);
    for (std::size_t i = 0; i < 24; i += 4) {
      EXPECT_EQ((std::array<std::uint8_t, 4>{p->pixels[i], p->pixels[i + 1], p->pixels[i + 2], p->pixels[i + 3]}),
                c.rgba);
    }
  }
}

TEST(UnpremultiplyPreview, TransparentOrBlackIsABlackFrame) {
  const std::array<std::uint8_t, 4> cases[] = {
      {0, 0, 0, 0},      // a fully transparent window
      {0, 0, 0, 255},    // opaque black
      {50, 60, 70, 0},   // colour without alpha is not visible
  };
  for (const auto& bgra : cases) {
    const auto s = source(4, 4, bgra);
    auto p = unpremultiply_preview(s, 16, 4, 4);
    ASSERT_FALSE(p);
    EXPECT_EQ(p.error().outermost(), "DESKTOP_CAPTURE_BLACK_FRAME");
  }
}

TEST(UnpremultiplyPreview, AlphaComesFromTheSampledSourcePixelOfAScaledPreview) {
  // 2560 x 2 becomes 1280 x 1: column j samples source column 2j, row 0.
  std::vector<std::uint8_t> s = source(2560, 2, {0, 0, 0, 255});
  for (std::uint32_t x = 0; x < 2560; ++x) {
    std::uint8_t* p = &s[x * 4];
    if (x % 2 == 0) p[2] = 32, p[3] = 64;  // sampled: red 32 at alpha 64
    else p[2] = 255, p[3] = 255;           // skipped
  }
  for (std::uint32_t x = 0; x < 2560; ++x) s[(2560 + x) * 4 + 3] = 7;  // row 1 is never sampled
  auto p = unpremultiply_preview(s, 2560 * 4, 2560, 2);
  ASSERT_TRUE(p);
  ASSERT_EQ(p->width, 1280u);
  ASSERT_EQ(p->height, 1u);
  for (std::uint32_t j = 0; j < 1280; ++j) {
    ASSERT_EQ(p->pixels[j * 4], 127) << j;  // 32 x 255 / 64
    ASSERT_EQ(p->pixels[j * 4 + 3], 64) << j;
  }
}

TEST(UnpremultiplyPreview, PaddedRowsAndBadGeometry) {
  std::vector<std::uint8_t> padded(2 * 20, 0xEE);  // 2 x 2 pixels, rows 20 bytes apart
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 2; ++x) {
      std::uint8_t* p = &padded[y * 20 + x * 4];
      p[0] = 0, p[1] = 0, p[2] = 64, p[3] = 128;
    }
  auto p = unpremultiply_preview(padded, 20, 2, 2);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->pixels, (std::vector<std::uint8_t>{127, 0, 0, 128, 127, 0, 0, 128, 127, 0, 0, 128, 127, 0, 0, 128}));
  auto short_buffer = unpremultiply_preview(std::span(padded).first(39), 20, 2, 2);
  ASSERT_FALSE(short_buffer);
  EXPECT_EQ(short_buffer.error().outermost(), "DESKTOP_CAPTURE_BUFFER_INVALID");
}

// --- display match ---

OutputDescription output_at(Rect r, std::uint64_t monitor, bool attached = true) { return {r, attached, monitor}; }

struct DisplayCase {
  const char* name;
  std::function<void(FakeWindowCapture&)> script;
  const char* code;        // "" = the window's display is found
  const char* phase = "";  // of the WindowCaptureFailure, "" = a plain error
  HResult hr = 0;
};

TEST(FindWindowDisplay, OneStandardOutputHoldingTheWholeWindow) {
  const Rect left{0, 0, 1920, 1080}, right{1920, 0, 3840, 1080};
  const auto two_monitors = [=](FakeWindowCapture& c) {
    c.adapters = {FakeAdapter{{FakeOutput{output_at(left, 1)}, FakeOutput{output_at(right, 2)}}}};
  };
  const std::vector<DisplayCase> cases = {
      {"single output", [](FakeWindowCapture&) {}, ""},
      {"window on the second monitor", [=](FakeWindowCapture& c) {
         two_monitors(c);
         c.monitor = 2;
         c.frame_bounds = Rect{2000, 10, 2600, 500};
       }, ""},
      {"match on the second adapter", [=](FakeWindowCapture& c) {
         c.adapters = {FakeAdapter{{FakeOutput{output_at(left, 9)}}}, FakeAdapter{{FakeOutput{output_at(left, 1)}}}};
       }, ""},
      {"detached output of the same monitor is skipped", [=](FakeWindowCapture& c) {
         FakeOutput hdr{output_at(left, 1, false)};
         hdr.color_space = 12;
         c.adapters = {FakeAdapter{{hdr, FakeOutput{output_at(left, 1)}}}};
       }, ""},
      {"colour of a non-matching output is never asked", [=](FakeWindowCapture& c) {
         two_monitors(c);
         c.adapters[0].outputs[1].color_interface = hr_error(kHrFail);
       }, ""},
      {"HDR output", [](FakeWindowCapture& c) { c.adapters[0].outputs[0].color_space = 12; },
       "DESKTOP_CAPTURE_FORMAT_UNSUPPORTED"},
      {"straddling two monitors", [=](FakeWindowCapture& c) {
         two_monitors(c);
         c.frame_bounds = Rect{1700, 100, 2300, 500};
       }, "DESKTOP_CAPTURE_REGION_UNSUPPORTED"},
      {"partly above the desktop", [](FakeWindowCapture& c) { c.frame_bounds = Rect{10, -5, 300, 200}; },
       "DESKTOP_CAPTURE_REGION_UNSUPPORTED"},
      {"empty frame bounds", [](FakeWindowCapture& c) { c.frame_bounds = Rect{100, 100, 100, 300}; },
       "DESKTOP_CAPTURE_REGION_UNSUPPORTED"},
      {"on no monitor", [](FakeWindowCapture& c) { c.monitor = 0; }, "DESKTOP_CAPTURE_REGION_UNSUPPORTED"},
      {"frame bounds unavailable", [](FakeWindowCapture& c) { c.frame_bounds = hr_error(static_cast<HResult>(0x80004001)); },
       "DESKTOP_CAPTURE_REGION_UNSUPPORTED"},
      {"no output shows the monitor", [](FakeWindowCapture& c) { c.monitor = 5; },
       "DESKTOP_CAPTURE_REGION_UNSUPPORTED"},
      {"no adapter at all", [](FakeWindowCapture& c) { c.adapters.clear(); }, "DESKTOP_CAPTURE_REGION_UNSUPPORTED"},
      {"two outputs show the monitor", [=](FakeWindowCapture& c) {
         c.adapters = {FakeAdapter{{FakeOutput{output_at(left, 1)}}}, FakeAdapter{{FakeOutput{output_at(left, 1)}}}};
       }, "DESKTOP_CAPTURE_OUTPUT_AMBIGUOUS"},
      {"only the first 16 adapters are scanned", [=](FakeWindowCapture& c) {
         c.adapters.assign(16, FakeAdapter{{FakeOutput{output_at(left, 9)}}});
         c.adapters.push_back(FakeAdapter{{FakeOutput{output_at(left, 1)}}});
       }, "DESKTOP_CAPTURE_REGION_UNSUPPORTED"},
      {"only the first 32 outputs are scanned", [=](FakeWindowCapture& c) {
         c.adapters = {FakeAdapter{std::vector<FakeOutput>(32, FakeOutput{output_at(left, 9)})}};
         c.adapters[0].outputs.push_back(FakeOutput{output_at(left, 1)});
       }, "DESKTOP_CAPTURE_REGION_UNSUPPORTED"},
      {"factory refused", [](FakeWindowCapture& c) { c.factory_error = kHrFail; }, "DESKTOP_CAPTURE_WGC_UNAVAILABLE"},
      {"factory access denied", [](FakeWindowCapture& c) { c.factory_error = kHrAccessDenied; },
       "DESKTOP_CAPTURE_ACCESS_DENIED"},
      {"adapter enumeration fails", [](FakeWindowCapture& c) { c.adapters[0].enum_error = kHrFail; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "display_adapter", kHrFail},
      {"output enumeration fails", [](FakeWindowCapture& c) { c.adapters[0].outputs[0].enum_error = kHrDeviceRemoved; },
       "DESKTOP_CAPTURE_MODE_CHANGED", "display_output", kHrDeviceRemoved},
      {"output description fails", [](FakeWindowCapture& c) { c.adapters[0].outputs[0].description_error = kHrFail; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "display_descriptor", kHrFail},
      {"no IDXGIOutput6", [](FakeWindowCapture& c) { c.adapters[0].outputs[0].color_interface = hr_error(kHrNoInterface); },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "display_color_interface", kHrNoInterface},
      {"IDXGIOutput6 without an object", [](FakeWindowCapture& c) { c.adapters[0].outputs[0].color_interface = false; },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "display_color_interface", kHrPointer},
      {"GetDesc1 fails", [](FakeWindowCapture& c) { c.adapters[0].outputs[0].color_space = hr_error(kHrFail); },
       "DESKTOP_CAPTURE_WGC_UNAVAILABLE", "display_color_descriptor", kHrFail},
  };
  for (const DisplayCase& c : cases) {
    FakeClock clock;
    FakeWindowCapture capture(clock);
    c.script(capture);
    const Status s = find_window_display(capture, 0x10010);
    if (*c.code == '\0') {
      EXPECT_TRUE(s) << c.name << ": " << s.error().display_chain();
      continue;
    }
    ASSERT_FALSE(s) << c.name;
    testing::expect_wgc_error(s.error(), c.code, c.phase, c.hr, c.name);
  }
}

}  // namespace
}  // namespace vor::desktop
