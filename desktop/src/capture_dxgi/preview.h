// Capture previews: captured desktop pixels (blue, green, red, alpha; rows
// `row_pitch` bytes apart) become a packed RGBA preview that fits within
// 1280 x 960, scaled down (never up) by nearest-neighbour sampling and
// refused when it is entirely black. Both capture paths and the pixel proof
// call `to_rgba_preview`; the desktop capture alone falls back to
// `scale_preview_to_fallback` when the first PNG is too large (png.h).
//
//   Result<RgbaPreview> p = to_rgba_preview(mapped, pitch, width, height);
//   auto png = encode_png(*p);
//   if (!png) png = scale_preview_to_fallback(*p).and_then(encode_png);
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "common/error.h"

namespace vor::desktop {

inline constexpr std::string_view kCaptureBufferInvalid = "DESKTOP_CAPTURE_BUFFER_INVALID";
inline constexpr std::string_view kCaptureBlackFrame = "DESKTOP_CAPTURE_BLACK_FRAME";

// Box that every preview fits in, and the smaller one of the fallback.
inline constexpr std::uint32_t kPreviewMaxWidth = 1280;
inline constexpr std::uint32_t kPreviewMaxHeight = 960;
inline constexpr std::uint32_t kFallbackMaxWidth = 640;
inline constexpr std::uint32_t kFallbackMaxHeight = 480;

// Largest region (width x height x 4 bytes) that is converted at all.
inline constexpr std::uint64_t kCaptureRegionMaxBytes = 64ull * 1024 * 1024;
inline constexpr std::uint32_t kBytesPerPixel = 4;

// width x height pixels, 4 bytes each in the order red, green, blue, alpha,
// rows packed.
struct RgbaPreview {
  std::vector<std::uint8_t> pixels;
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

struct PreviewSize {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  friend bool operator==(const PreviewSize&, const PreviewSize&) = default;
};

// The size of a width x height image scaled by s = min(box_width / width,
// box_height / height, 1) in double precision, each side floored and at
// least 1. width and height must be non-zero.
PreviewSize fit_within(std::uint32_t width, std::uint32_t height, std::uint32_t box_width,
                       std::uint32_t box_height);

// Checks the geometry (width, height > 0, width x height x 4 <= 64 MiB,
// row_pitch >= width x 4, source holds row_pitch x height bytes; else
// "DESKTOP_CAPTURE_BUFFER_INVALID"), samples the 1280 x 960 preview with
// colour bytes swapped and alpha forced to 255, and fails with
// "DESKTOP_CAPTURE_BLACK_FRAME" when every sampled pixel has red, green and
// blue all 0.
Result<RgbaPreview> to_rgba_preview(std::span<const std::uint8_t> source, std::uint32_t row_pitch,
                                    std::uint32_t width, std::uint32_t height);

// The preview scaled down to fit 640 x 480 by the same sampling, whole pixels
// copied, no black check. A preview whose pixel count does not match its size
// (or is over 64 MiB) is "DESKTOP_CAPTURE_BUFFER_INVALID".
Result<RgbaPreview> scale_preview_to_fallback(const RgbaPreview& preview);

// "DESKTOP_CAPTURE_BUFFER_INVALID" unless width and height are non-zero,
// width x height x 4 is at most 64 MiB and `pixels` holds exactly that many
// bytes.
Status check_preview(const RgbaPreview& preview);

}  // namespace vor::desktop
