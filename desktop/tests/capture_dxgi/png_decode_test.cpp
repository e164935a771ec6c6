// The encoder's output read back by libpng: every PNG decodes to exactly the
// preview pixels it was made from.
#include <gtest/gtest.h>
#include <png.h>

#include <array>
#include <functional>
#include <random>
#include <set>

#include "capture_dxgi/png.h"
#include "png_chunks.h"
#include "test_images.h"

namespace vor::desktop {
namespace {

struct Decoded {
  std::vector<std::uint8_t> pixels;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  bool ok = false;
};

Decoded decode(const std::vector<std::uint8_t>& png) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Decoded d;
  if (!png_image_begin_read_from_memory(&image, png.data(), png.size())) return d;
  image.format = PNG_FORMAT_RGBA;
  d.pixels.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, d.pixels.data(), 0, nullptr)) return d;
  d.width = image.width;
  d.height = image.height;
  d.ok = (image.warning_or_error & PNG_IMAGE_ERROR) == 0;
  return d;
}

void expect_round_trip(const RgbaPreview& p, const char* what) {
  auto png = encode_png(p);
  ASSERT_TRUE(png) << what << ": " << png.error().display_chain();
  const Decoded d = decode(*png);
  ASSERT_TRUE(d.ok) << what;
  EXPECT_EQ(d.width, p.width) << what;
  EXPECT_EQ(d.height, p.height) << what;
  EXPECT_TRUE(d.pixels == p.pixels) << what;
}

TEST(EncodePngWithLibpng, DecodesToExactlyThePreviewPixels) {
  expect_round_trip(testing::noise_preview(1, 1), "1x1");
  expect_round_trip(testing::noise_preview(3, 2), "3x2");
  expect_round_trip(testing::noise_preview(257, 13), "257x13 noise");
  expect_round_trip(testing::noise_preview(640, 480), "640x480 noise (several IDAT chunks)");
  // Alpha varies too, so every filter sees all four channels.
  RgbaPreview varied = testing::noise_preview(97, 61, 3);
  for (std::size_t i = 3; i < varied.pixels.size(); i += 4) varied.pixels[i] = static_cast<std::uint8_t>(i * 13);
  expect_round_trip(varied, "97x61 varied alpha");
  expect_round_trip({std::vector<std::uint8_t>(std::size_t{1280} * 960 * 4, 0xFF), 1280, 960}, "flat 1280x960");
}

TEST(EncodePngWithLibpng, CapturedFramesRoundTripAtBothSizes) {
  testing::Frame f = testing::desktop_like_frame(2560, 1440);
  auto p = to_rgba_preview(f.bytes, f.pitch, f.width, f.height);
  ASSERT_TRUE(p);
  expect_round_trip(*p, "desktop 2560x1440 -> 1280x720");
  auto smaller = scale_preview_to_fallback(*p);
  ASSERT_TRUE(smaller);
  expect_round_trip(*smaller, "fallback 640x360");
}

TEST(EncodePngWithLibpng, DesktopScenesRoundTripAtPreviewAndFallbackSizes) {
  const RgbaPreview full = testing::desktop_scene(1280, 960);
  expect_round_trip(full, "desktop scene 1280x960");
  expect_round_trip(testing::desktop_scene(1280, 720), "desktop scene 1280x720");
  auto fallback = scale_preview_to_fallback(full);
  ASSERT_TRUE(fallback);
  expect_round_trip(*fallback, "desktop scene fallback 640x480");
  expect_round_trip(testing::desktop_scene(1001, 333), "desktop scene 1001x333 (rows end mid-vector)");
}

// Images built so that each favours one row filter, at widths whose rows end
// on and off the 16-byte groups the filter works in (1 pixel: no group at
// all). Every one must come back from libpng exactly, and between them they
// must have used all five filter types.
TEST(EncodePngWithLibpng, EveryRowFilterDecodesToThePixelsAtEveryRowWidth) {
  using Pixel = std::function<std::uint8_t(std::uint32_t x, std::uint32_t y, std::uint32_t channel,
                                           const RgbaPreview& so_far)>;
  std::mt19937 rng(17);
  auto byte_at = [](const RgbaPreview& p, std::uint32_t x, std::uint32_t y, std::uint32_t c) {
    return p.pixels[(std::size_t{y} * p.width + x) * 4 + c];
  };
  struct Pattern {
    const char* name;
    Pixel pixel;
  };
  const Pattern patterns[] = {
      // Small values in random order: the raw bytes are cheapest.
      {"none", [&](auto, auto, auto, const auto&) { return std::array<std::uint8_t, 3>{0, 1, 255}[rng() % 3]; }},
      // Rows independent, each value held for 8 pixels.
      {"sub",
       [&](std::uint32_t x, std::uint32_t y, std::uint32_t c, const RgbaPreview& p) {
         return x % 8 != 0 ? byte_at(p, x - 1, y, c) : static_cast<std::uint8_t>(rng());
       }},
      // Every row the same noise.
      {"up",
       [&](std::uint32_t x, std::uint32_t y, std::uint32_t c, const RgbaPreview& p) {
         return y > 0 ? byte_at(p, x, y - 1, c) : static_cast<std::uint8_t>(rng());
       }},
      // Each byte the mean of its left and upper neighbours.
      {"average",
       [&](std::uint32_t x, std::uint32_t y, std::uint32_t c, const RgbaPreview& p) {
         if (x == 0 || y == 0) return static_cast<std::uint8_t>(rng());
         return static_cast<std::uint8_t>((byte_at(p, x - 1, y, c) + byte_at(p, x, y - 1, c)) >> 1);
       }},
      // A plane: left + above - above-left is exact.
      {"paeth",
       [&](std::uint32_t x, std::uint32_t y, std::uint32_t c, const RgbaPreview&) {
         return static_cast<std::uint8_t>(x * (3 + c) + y * (7 + 2 * c));
       }},
  };
  std::set<std::uint8_t> used;
  for (const Pattern& pattern : patterns) {
    for (const std::uint32_t width : {1u, 3u, 4u, 5u, 8u, 17u, 100u, 257u}) {
      const std::uint32_t height = 24;
      RgbaPreview p{std::vector<std::uint8_t>(std::size_t{width} * height * 4), width, height};
      for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
          for (std::uint32_t c = 0; c < 4; ++c) p.pixels[(std::size_t{y} * width + x) * 4 + c] = pattern.pixel(x, y, c, p);
        }
      }
      const std::string what = std::string(pattern.name) + " " + std::to_string(width) + "x24";
      expect_round_trip(p, what.c_str());
      auto png = encode_png(p);
      ASSERT_TRUE(png);
      for (const std::uint8_t f : testing::row_filters(*png, width, height)) used.insert(f);
    }
  }
  EXPECT_EQ(used, (std::set<std::uint8_t>{0, 1, 2, 3, 4}));
}

}  // namespace
}  // namespace vor::desktop
