#include "capture_dxgi/png.h"

#include <gtest/gtest.h>

#include "png_chunks.h"
#include "test_images.h"

namespace vor::desktop {
namespace {

using testing::be32;
using testing::inflate_all;
using testing::parse_chunks;
using testing::ScriptedSink;

TEST(EncodePng, WritesIhdrIdatIendForRgba8) {
  const std::pair<std::uint32_t, std::uint32_t> sizes[] = {{1, 1}, {3, 2}, {640, 480}, {1280, 960}};
  for (const auto& [w, h] : sizes) {
    RgbaPreview p = testing::noise_preview(w, h);
    auto png = encode_png(p);
    if (w == 1280) {  // noise this large cannot fit; covered below
      ASSERT_FALSE(png);
      continue;
    }
    ASSERT_TRUE(png) << w << "x" << h << ": " << png.error().display_chain();
    const auto chunks = parse_chunks(*png);
    ASSERT_GE(chunks.size(), 3u);
    EXPECT_EQ(chunks.front().type, "IHDR");
    EXPECT_EQ(chunks.back().type, "IEND");
    EXPECT_TRUE(chunks.back().data.empty());
    const std::vector<std::uint8_t>& ihdr = chunks.front().data;
    ASSERT_EQ(ihdr.size(), 13u);
    EXPECT_EQ(be32(&ihdr[0]), w);
    EXPECT_EQ(be32(&ihdr[4]), h);
    const std::vector<std::uint8_t> fields(ihdr.begin() + 8, ihdr.end());
    EXPECT_EQ(fields, (std::vector<std::uint8_t>{8, 6, 0, 0, 0}));  // depth, RGBA, deflate, filter 0, no interlace
    std::vector<std::uint8_t> zdata;
    for (std::size_t k = 1; k + 1 < chunks.size(); ++k) {
      EXPECT_EQ(chunks[k].type, "IDAT");  // consecutive, nothing between
      zdata.insert(zdata.end(), chunks[k].data.begin(), chunks[k].data.end());
    }
    const std::size_t raw = std::size_t{h} * (1 + std::size_t{w} * 4);
    const auto rows = inflate_all(zdata, raw);
    ASSERT_EQ(rows.size(), raw) << w << "x" << h;
    for (std::uint32_t y = 0; y < h; ++y) EXPECT_LE(rows[y * (1 + w * 4)], 4) << "filter type of row " << y;
  }
}

TEST(EncodePng, NoisyFullPreviewIsTooLargeAndItsFallbackFits) {
  RgbaPreview p = testing::noise_preview(1280, 960);
  auto png = encode_png(p);
  ASSERT_FALSE(png);
  EXPECT_EQ(png.error().outermost(), kCaptureTooLarge);
  ASSERT_EQ(png.error().links().size(), 1u);
  EXPECT_EQ(png.error().links().front().kind, Error::Kind::kIo);

  auto smaller = scale_preview_to_fallback(p);
  ASSERT_TRUE(smaller);
  EXPECT_EQ(smaller->width, 640u);
  EXPECT_EQ(smaller->height, 480u);
  auto fallback = encode_png(*smaller);
  ASSERT_TRUE(fallback) << fallback.error().display_chain();
  EXPECT_LE(fallback->size(), kPngMaxBytes);
  EXPECT_GT(fallback->size(), 640u * 480 * 3);  // noise really did not compress
}

// Counts what it is given and keeps nothing.
class CountingSink final : public ByteSink {
 public:
  Status write_all(std::span<const std::uint8_t> bytes) override {
    bytes_ += bytes.size();
    return {};
  }
  std::size_t bytes_ = 0;
};

std::size_t unbounded_png_size(const RgbaPreview& p) {
  CountingSink sink;
  EXPECT_TRUE(write_png(sink, p));
  return sink.bytes_;
}

TEST(EncodePng, APngThatEndsExactlyAtTheBoundIsWrittenAndOneByteMoreIsRefused) {
  const RgbaPreview p = testing::desktop_scene(640, 480);
  auto png = encode_png(p);
  ASSERT_TRUE(png);
  const std::size_t size = png->size();
  ASSERT_EQ(unbounded_png_size(p), size);

  // The buffer already holds bytes, so that this PNG's last byte is the
  // buffer's 1,433,600th.
  BoundedPngBuffer at_bound;
  ASSERT_TRUE(at_bound.write_all(std::vector<std::uint8_t>(kPngMaxBytes - size, 0)));
  ASSERT_TRUE(write_png(at_bound, p));
  ASSERT_EQ(at_bound.bytes().size(), kPngMaxBytes);
  EXPECT_TRUE(std::equal(png->begin(), png->end(), at_bound.bytes().end() - size));

  BoundedPngBuffer one_over;
  ASSERT_TRUE(one_over.write_all(std::vector<std::uint8_t>(kPngMaxBytes - size + 1, 0)));
  auto s = write_png(one_over, p);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().outermost(), kCaptureTooLarge);
  EXPECT_LT(one_over.bytes().size(), kPngMaxBytes);
}

TEST(EncodePng, TheTallestNoisyPreviewThatFitsIsEncodedAndOneRowMoreIsRefused) {
  // Noise compresses to about its own size, so a PNG's size grows with each
  // row: find the row count where it crosses the bound.
  std::uint32_t fits = 1, over = 400;
  ASSERT_GT(unbounded_png_size(testing::noise_preview(1280, over)), kPngMaxBytes);
  while (over - fits > 1) {
    const std::uint32_t mid = (fits + over) / 2;
    (unbounded_png_size(testing::noise_preview(1280, mid)) <= kPngMaxBytes ? fits : over) = mid;
  }
  auto png = encode_png(testing::noise_preview(1280, fits));
  ASSERT_TRUE(png) << png.error().display_chain();
  EXPECT_LE(png->size(), kPngMaxBytes);
  EXPECT_GT(png->size(), kPngMaxBytes - 1280 * 4 - 64) << "within a row of the bound";
  auto refused = encode_png(testing::noise_preview(1280, over));
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().outermost(), kCaptureTooLarge);
}

TEST(EncodePng, FlatPreviewCompressesFarBelowTheBound) {
  RgbaPreview p{std::vector<std::uint8_t>(std::size_t{1280} * 960 * 4, 0x80), 1280, 960};
  auto png = encode_png(p);
  ASSERT_TRUE(png);
  EXPECT_LT(png->size(), 20000u);
}

TEST(EncodePng, RefusesAPreviewWhosePixelsDoNotMatchItsSize) {
  const RgbaPreview cases[] = {
      {std::vector<std::uint8_t>(15), 2, 2},
      {{}, 0, 1},
      {std::vector<std::uint8_t>(4), 1, 0},
  };
  for (const auto& p : cases) {
    auto png = encode_png(p);
    ASSERT_FALSE(png);
    EXPECT_EQ(png.error().outermost(), kCaptureBufferInvalid);
  }
}

TEST(WritePng, StopsAtTheFirstFailedWriteAndReturnsItsError) {
  RgbaPreview p = testing::noise_preview(400, 300);  // several IDAT chunks
  ScriptedSink all(0);
  ASSERT_TRUE(write_png(all, p));
  ASSERT_GE(all.writes, 5u);
  for (std::size_t n = 1; n <= all.writes; ++n) {
    ScriptedSink sink(n);
    auto s = write_png(sink, p);
    ASSERT_FALSE(s) << n;
    EXPECT_EQ(s.error().display_chain(), "scripted failure") << n;
    EXPECT_EQ(sink.writes, n) << "no write after the failed one";
  }
}

TEST(BoundedPngBuffer, HoldsExactlyTheBoundAndRefusesOneByteMore) {
  BoundedPngBuffer buffer;
  const std::vector<std::uint8_t> block(kPngMaxBytes / 4, 0x5A);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(buffer.write_all(block));
  ASSERT_EQ(buffer.bytes().size(), kPngMaxBytes);
  EXPECT_LE(buffer.bytes().capacity(), kPngMaxBytes);

  const std::uint8_t one = 1;
  auto s = buffer.write_all({&one, 1});
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().outermost(), kCaptureTooLarge);
  EXPECT_EQ(s.error().links().front().kind, Error::Kind::kIo);
  EXPECT_EQ(buffer.bytes().size(), kPngMaxBytes);
  EXPECT_TRUE(buffer.write_all({})) << "an empty write always succeeds";
}

TEST(BoundedPngBuffer, AWriteThatWouldCrossTheBoundLeavesItUnchanged) {
  BoundedPngBuffer buffer;
  const std::vector<std::uint8_t> first(1000, 1);
  ASSERT_TRUE(buffer.write_all(first));
  const std::vector<std::uint8_t> big(kPngMaxBytes - 999, 2);
  auto s = buffer.write_all(big);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error().outermost(), kCaptureTooLarge);
  EXPECT_EQ(buffer.bytes(), first);
  const std::vector<std::uint8_t> fits(kPngMaxBytes - 1000, 3);
  EXPECT_TRUE(buffer.write_all(fits));
  EXPECT_LE(buffer.bytes().capacity(), kPngMaxBytes);
}

}  // namespace
}  // namespace vor::desktop
