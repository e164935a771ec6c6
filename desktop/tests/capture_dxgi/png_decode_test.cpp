// The encoder's output read back by libpng: every PNG decodes to exactly the
// preview pixels it was made from.
#include <gtest/gtest.h>
#include <png.h>

#include "capture_dxgi/png.h"
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

}  // namespace
}  // namespace vor::desktop
