#include "capture_dxgi/preview.h"

#include <gtest/gtest.h>

#include <string>

#include "test_images.h"

namespace vor::desktop {
namespace {

using testing::Frame;

struct SizeCase {
  std::uint32_t width, height, preview_width, preview_height;
};

TEST(ToRgbaPreview, FitsWithin1280By960AndNeverScalesUp) {
  const SizeCase cases[] = {
      {1, 1, 1, 1},
      {5000, 1, 1280, 1},  // height floored to 0, kept at 1
      {1, 5000, 1, 960},
      {2560, 1440, 1280, 720},
      {1000, 1920, 500, 960},
      {1280, 960, 1280, 960},
      {800, 600, 800, 600},
      {1281, 960, 1280, 959},
      {3840, 2160, 1280, 720},
  };
  for (const auto& c : cases) {
    Frame f(c.width, c.height, 0x40);
    auto p = to_rgba_preview(f.bytes, f.pitch, f.width, f.height);
    ASSERT_TRUE(p) << c.width << "x" << c.height << ": " << p.error().display_chain();
    EXPECT_EQ(p->width, c.preview_width) << c.width << "x" << c.height;
    EXPECT_EQ(p->height, c.preview_height) << c.width << "x" << c.height;
    EXPECT_EQ(p->pixels.size(), std::size_t{p->width} * p->height * 4);
  }
}

TEST(ToRgbaPreview, SwapsColourBytesAndForcesAlphaOpaque) {
  Frame f(3, 1);
  f.set(0, 0, 10, 20, 30, 0);
  f.set(1, 0, 0xFF, 0, 0, 0x80);
  f.set(2, 0, 1, 2, 3, 0xFF);
  auto p = to_rgba_preview(f.bytes, f.pitch, 3, 1);
  ASSERT_TRUE(p);
  const std::vector<std::uint8_t> expected = {30, 20, 10, 0xFF, 0, 0, 0xFF, 0xFF, 3, 2, 1, 0xFF};
  EXPECT_EQ(p->pixels, expected);
}

// Each source pixel carries its own column in blue/green and row in red/alpha
// so every preview pixel names the source pixel it came from.
Frame coordinate_frame(std::uint32_t w, std::uint32_t h) {
  Frame f(w, h);
  for (std::uint32_t y = 0; y < h; ++y) {
    for (std::uint32_t x = 0; x < w; ++x) {
      f.set(x, y, static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(x >> 8), static_cast<std::uint8_t>(y),
            static_cast<std::uint8_t>(y >> 8));
    }
  }
  return f;
}

TEST(ToRgbaPreview, SamplesSourceRowAndColumnByFlooredRatio) {
  const std::pair<std::uint32_t, std::uint32_t> sizes[] = {{2560, 1440}, {3001, 997}, {1283, 1999}, {4095, 7}};
  for (const auto& [w, h] : sizes) {
    Frame f = coordinate_frame(w, h);
    auto p = to_rgba_preview(f.bytes, f.pitch, w, h);
    ASSERT_TRUE(p);
    for (std::uint32_t i = 0; i < p->height; ++i) {
      for (std::uint32_t j = 0; j < p->width; ++j) {
        const std::uint8_t* px = p->pixels.data() + (std::size_t{i} * p->width + j) * 4;
        const std::uint32_t x = px[2] | (px[1] << 8);  // blue, green back from RGBA
        const std::uint32_t y = px[0];                 // red (alpha is forced)
        ASSERT_EQ(x, std::uint64_t{w} * j / p->width) << w << "x" << h << " at " << j << "," << i;
        ASSERT_EQ(y, (std::uint64_t{h} * i / p->height) & 0xFF) << w << "x" << h << " at " << j << "," << i;
      }
    }
  }
}

TEST(ToRgbaPreview, BlackWithAnyAlphaIsABlackFrame) {
  for (std::uint8_t alpha : {0x00, 0x01, 0xFF}) {
    Frame f(64, 48);
    for (std::uint32_t y = 0; y < 48; ++y)
      for (std::uint32_t x = 0; x < 64; ++x) f.set(x, y, 0, 0, 0, alpha);
    auto p = to_rgba_preview(f.bytes, f.pitch, 64, 48);
    ASSERT_FALSE(p) << int{alpha};
    EXPECT_EQ(p.error().outermost(), kCaptureBlackFrame);
  }
}

TEST(ToRgbaPreview, OneSampledColourPixelAvoidsTheBlackFrame) {
  // 2560 x 1440 halves: preview pixel (j, i) is source pixel (2j, 2i).
  Frame f(2560, 1440);
  f.set(2558, 1438, 0, 0, 1, 0);  // only red 1, sampled as preview (1279, 719)
  auto p = to_rgba_preview(f.bytes, f.pitch, 2560, 1440);
  ASSERT_TRUE(p);
  std::size_t coloured = 0;
  for (std::size_t i = 0; i < p->pixels.size(); i += 4) coloured += (p->pixels[i] | p->pixels[i + 1] | p->pixels[i + 2]) != 0;
  EXPECT_EQ(coloured, 1u);
  EXPECT_EQ(p->pixels[(std::size_t{719} * 1280 + 1279) * 4], 1);

  Frame small(7, 5);
  small.set(6, 4, 0, 9, 0, 0);
  EXPECT_TRUE(to_rgba_preview(small.bytes, small.pitch, 7, 5));
}

TEST(ToRgbaPreview, ColourThatSamplingSkipsIsStillABlackFrame) {
  Frame f(2560, 1440);
  for (auto [x, y] : {std::pair{1u, 0u}, {0u, 1u}, {2559u, 1439u}, {1001u, 777u}}) f.set(x, y, 0xFF, 0xFF, 0xFF, 0xFF);
  auto p = to_rgba_preview(f.bytes, f.pitch, 2560, 1440);
  ASSERT_FALSE(p);
  EXPECT_EQ(p.error().outermost(), kCaptureBlackFrame);
}

TEST(ToRgbaPreview, PaddedRowsGiveTheSamePreviewAsPackedRows) {
  for (std::uint32_t w : {5u, 2600u}) {
    const std::uint32_t h = 3;
    Frame packed(w, h);
    Frame padded(w, h, 0xAB, w * 4 + 12);  // padding bytes are not black
    for (std::uint32_t y = 0; y < h; ++y) {
      for (std::uint32_t x = 0; x < w; ++x) {
        const auto v = static_cast<std::uint8_t>(x * 7 + y);
        packed.set(x, y, v, 0, y == 1 ? 0 : 5, 0);
        padded.set(x, y, v, 0, y == 1 ? 0 : 5, 0);
      }
    }
    auto a = to_rgba_preview(packed.bytes, packed.pitch, w, h);
    auto b = to_rgba_preview(padded.bytes, padded.pitch, w, h);
    ASSERT_TRUE(a);
    ASSERT_TRUE(b);
    EXPECT_EQ(a->pixels, b->pixels) << w;
    EXPECT_EQ(a->width, b->width);
    EXPECT_EQ(a->height, b->height);
  }
}

TEST(ToRgbaPreview, PaddingAloneDoesNotCountAsColour) {
  Frame f(4, 4, 0, 4 * 4 + 8);
  for (std::uint32_t y = 0; y < 4; ++y)
    for (std::size_t k = 16; k < f.pitch; ++k) f.bytes[y * f.pitch + k] = 0xFF;
  auto p = to_rgba_preview(f.bytes, f.pitch, 4, 4);
  ASSERT_FALSE(p);
  EXPECT_EQ(p.error().outermost(), kCaptureBlackFrame);
}

TEST(ToRgbaPreview, RefusesBuffersThatDoNotHoldTheirGeometry) {
  std::vector<std::uint8_t> bytes(4096, 0x40);
  struct Case {
    const char* what;
    std::size_t length;
    std::uint32_t pitch, width, height;
  };
  const Case cases[] = {
      {"zero width", 4096, 16, 0, 4},
      {"zero height", 4096, 16, 4, 0},
      {"pitch under width x 4", 4096, 15, 4, 4},
      {"buffer one byte short", 16 * 4 - 1, 16, 4, 4},
      {"last row short of its pitch", 20 * 3 + 16, 20, 4, 4},
      {"pitch x height past 32 bits", 4096, 0xFFFFFFFFu, 1, 2},
      {"sides whose product overflows", 4096, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu},
      {"region over 64 MiB", 4096, 4096 * 4, 4096, 4097},
      {"empty buffer", 0, 4, 1, 1},
  };
  for (const auto& c : cases) {
    auto p = to_rgba_preview({bytes.data(), c.length}, c.pitch, c.width, c.height);
    ASSERT_FALSE(p) << c.what;
    EXPECT_EQ(p.error().outermost(), kCaptureBufferInvalid) << c.what;
  }
  // Exactly row_pitch x height bytes is enough.
  EXPECT_TRUE(to_rgba_preview({bytes.data(), 20 * 4}, 20, 4, 4));
}

TEST(ToRgbaPreview, Region64MiBIsTheLastAcceptedSize) {
  // One buffer large enough for both: 4096 x 4096 is exactly 64 MiB.
  std::vector<std::uint8_t> bytes(std::size_t{4096} * 4 * 4097, 0x01);
  auto at_limit = to_rgba_preview(bytes, 4096 * 4, 4096, 4096);
  ASSERT_TRUE(at_limit) << at_limit.error().display_chain();
  EXPECT_EQ(at_limit->width, 960u);
  EXPECT_EQ(at_limit->height, 960u);
  auto over = to_rgba_preview(bytes, 4096 * 4, 4096, 4097);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().outermost(), kCaptureBufferInvalid);
  auto over_wide = to_rgba_preview(bytes, 4097 * 4, 4097, 4096);
  ASSERT_FALSE(over_wide);
  EXPECT_EQ(over_wide.error().outermost(), kCaptureBufferInvalid);
}

TEST(ScalePreviewToFallback, FitsWithin640By480) {
  const SizeCase cases[] = {
      {1280, 960, 640, 480}, {1280, 720, 640, 360}, {500, 960, 250, 480},
      {1280, 1, 640, 1},     {1, 1, 1, 1},          {640, 480, 640, 480},
  };
  for (const auto& c : cases) {
    RgbaPreview p{std::vector<std::uint8_t>(std::size_t{c.width} * c.height * 4, 0), c.width, c.height};
    auto s = scale_preview_to_fallback(p);  // black is fine here
    ASSERT_TRUE(s) << c.width << "x" << c.height;
    EXPECT_EQ(s->width, c.preview_width) << c.width << "x" << c.height;
    EXPECT_EQ(s->height, c.preview_height) << c.width << "x" << c.height;
    EXPECT_EQ(s->pixels.size(), std::size_t{s->width} * s->height * 4);
  }
}

TEST(ScalePreviewToFallback, CopiesWholeNearestPixels) {
  Frame f = coordinate_frame(1280, 960);
  auto p = to_rgba_preview(f.bytes, f.pitch, 1280, 960);
  ASSERT_TRUE(p);
  // Give alpha a per-pixel value so a pixel split across sources would show.
  for (std::size_t k = 3; k < p->pixels.size(); k += 4) p->pixels[k] = static_cast<std::uint8_t>(k / 4 * 31);
  auto s = scale_preview_to_fallback(*p);
  ASSERT_TRUE(s);
  for (std::uint32_t i = 0; i < 480; ++i) {
    for (std::uint32_t j = 0; j < 640; ++j) {
      const std::uint8_t* got = s->pixels.data() + (std::size_t{i} * 640 + j) * 4;
      const std::uint8_t* want = p->pixels.data() + (std::size_t{2 * i} * 1280 + 2 * j) * 4;
      ASSERT_TRUE(std::equal(got, got + 4, want)) << j << "," << i;
    }
  }
}

TEST(ScalePreviewToFallback, RefusesAPreviewWhosePixelsDoNotMatchItsSize) {
  const RgbaPreview cases[] = {
      {std::vector<std::uint8_t>(15), 2, 2},
      {std::vector<std::uint8_t>(17), 2, 2},
      {{}, 0, 0},
      {std::vector<std::uint8_t>(4), 0xFFFFFFFFu, 0xFFFFFFFFu},
  };
  for (const auto& p : cases) {
    auto s = scale_preview_to_fallback(p);
    ASSERT_FALSE(s) << p.pixels.size();
    EXPECT_EQ(s.error().outermost(), kCaptureBufferInvalid);
  }
}

}  // namespace
}  // namespace vor::desktop
