#include "capture_dxgi/preview.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

namespace vor::desktop {
namespace {

bool region_fits(std::uint32_t width, std::uint32_t height) {
  // width x height fits 64 bits for any two 32-bit sides; the product with 4
  // would not, so compare pixels against the limit divided by 4.
  return std::uint64_t{width} * height <= kCaptureRegionMaxBytes / kBytesPerPixel;
}

std::uint32_t floored_side(double scaled) {
  const double f = std::floor(scaled);
  if (f < 1.0) return 1;
  if (f >= static_cast<double>(std::numeric_limits<std::uint32_t>::max())) {
    return std::numeric_limits<std::uint32_t>::max();
  }
  return static_cast<std::uint32_t>(f);
}

// Walks the source indices floor(source * k / target) for k = 0, 1, ...
// without a division per step: the quotient and remainder of source / target
// are added each step, carrying the remainder.
class NearestStep {
 public:
  NearestStep(std::uint32_t source, std::uint32_t target)
      : whole_(source / target), part_(source % target), target_(target) {}
  std::uint32_t index() const { return index_; }
  void advance() {
    index_ += whole_;
    remainder_ += part_;
    if (remainder_ >= target_) {
      remainder_ -= target_;
      ++index_;
    }
  }

 private:
  std::uint32_t whole_;
  std::uint32_t part_;
  std::uint32_t target_;
  std::uint32_t index_ = 0;
  std::uint32_t remainder_ = 0;
};

// Calls pixel(source_row, source_column) for every output pixel in row-major
// output order. Output row i samples source row floor(source_height x i /
// target_height), output column j source column floor(source_width x j /
// target_width).
template <class PixelFn>
void for_each_nearest(std::uint32_t source_width, std::uint32_t source_height, PreviewSize target,
                      PixelFn&& pixel) {
  NearestStep row(source_height, target.height);
  for (std::uint32_t i = 0; i < target.height; ++i, row.advance()) {
    NearestStep column(source_width, target.width);
    for (std::uint32_t j = 0; j < target.width; ++j, column.advance()) {
      pixel(row.index(), column.index());
    }
  }
}

std::vector<std::uint8_t> allocate_pixels(PreviewSize size) {
  return std::vector<std::uint8_t>(std::size_t{size.width} * size.height * kBytesPerPixel);
}

}  // namespace

PreviewSize fit_within(std::uint32_t width, std::uint32_t height, std::uint32_t box_width,
                       std::uint32_t box_height) {
  const double s = std::min({static_cast<double>(box_width) / width,
                             static_cast<double>(box_height) / height, 1.0});
  return {floored_side(width * s), floored_side(height * s)};
}

Result<RgbaPreview> to_rgba_preview(std::span<const std::uint8_t> source, std::uint32_t row_pitch,
                                    std::uint32_t width, std::uint32_t height) {
  if (width == 0 || height == 0 || !region_fits(width, height)) return fail(coded(kCaptureBufferInvalid));
  if (row_pitch < std::uint64_t{width} * kBytesPerPixel) return fail(coded(kCaptureBufferInvalid));
  if (source.size() < std::uint64_t{row_pitch} * height) return fail(coded(kCaptureBufferInvalid));

  const PreviewSize size = fit_within(width, height, kPreviewMaxWidth, kPreviewMaxHeight);
  RgbaPreview preview{allocate_pixels(size), size.width, size.height};
  std::uint8_t* out = preview.pixels.data();
  std::uint8_t any_colour = 0;
  for_each_nearest(width, height, size, [&](std::uint32_t y, std::uint32_t x) {
    const std::uint8_t* bgra = source.data() + std::size_t{y} * row_pitch + std::size_t{x} * kBytesPerPixel;
    out[0] = bgra[2];
    out[1] = bgra[1];
    out[2] = bgra[0];
    out[3] = 0xFF;
    any_colour |= bgra[0] | bgra[1] | bgra[2];
    out += kBytesPerPixel;
  });
  if (any_colour == 0) return fail(coded(kCaptureBlackFrame));
  return preview;
}

Status check_preview(const RgbaPreview& preview) {
  if (preview.width == 0 || preview.height == 0 || !region_fits(preview.width, preview.height)) {
    return fail(coded(kCaptureBufferInvalid));
  }
  if (preview.pixels.size() != std::uint64_t{preview.width} * preview.height * kBytesPerPixel) {
    return fail(coded(kCaptureBufferInvalid));
  }
  return {};
}

Result<RgbaPreview> scale_preview_to_fallback(const RgbaPreview& preview) {
  VOR_RETURN_IF_ERROR(check_preview(preview));
  const PreviewSize size = fit_within(preview.width, preview.height, kFallbackMaxWidth, kFallbackMaxHeight);
  RgbaPreview smaller{allocate_pixels(size), size.width, size.height};
  std::uint8_t* out = smaller.pixels.data();
  const std::size_t row_bytes = std::size_t{preview.width} * kBytesPerPixel;
  for_each_nearest(preview.width, preview.height, size, [&](std::uint32_t y, std::uint32_t x) {
    const std::uint8_t* rgba = preview.pixels.data() + y * row_bytes + std::size_t{x} * kBytesPerPixel;
    std::copy(rgba, rgba + kBytesPerPixel, out);
    out += kBytesPerPixel;
  });
  return smaller;
}

}  // namespace vor::desktop
