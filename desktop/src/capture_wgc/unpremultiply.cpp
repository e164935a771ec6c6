#include <algorithm>

#include "capture_wgc/window_capture.h"

namespace vor::desktop {

Result<RgbaPreview> unpremultiply_preview(std::span<const std::uint8_t> source, std::uint32_t row_pitch,
                                          std::uint32_t width, std::uint32_t height) {
  auto preview = to_rgba_preview(source, row_pitch, width, height);
  if (!preview) return preview;
  const std::uint64_t out_w = preview->width, out_h = preview->height;
  bool visible = false;
  for (std::uint64_t i = 0; i < out_h; ++i) {
    // The same nearest-neighbour sampling as the preview: this pixel's alpha
    // is that of the source pixel its colours came from.
    const std::uint64_t src_row = std::uint64_t{height} * i / out_h;
    const std::uint8_t* src = source.data() + src_row * row_pitch;
    std::uint8_t* out = preview->pixels.data() + i * out_w * kBytesPerPixel;
    for (std::uint64_t j = 0; j < out_w; ++j, out += kBytesPerPixel) {
      const std::uint64_t src_col = std::uint64_t{width} * j / out_w;
      const std::uint32_t alpha = src[src_col * kBytesPerPixel + 3];
      bool coloured = false;
      for (int c = 0; c < 3; ++c) {
        const std::uint32_t v = alpha == 0 ? 0 : std::min<std::uint32_t>(255, out[c] * 255u / alpha);
        out[c] = static_cast<std::uint8_t>(v);
        coloured = coloured || v > 0;
      }
      out[3] = static_cast<std::uint8_t>(alpha);
      visible = visible || (alpha > 0 && coloured);
    }
  }
  if (!visible) return fail(std::string(kCaptureBlackFrame));
  return preview;
}

}  // namespace vor::desktop
