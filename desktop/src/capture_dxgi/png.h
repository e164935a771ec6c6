// Bounded PNG encoding of RGBA previews (preview.h). `encode_png` writes the
// signature, IHDR (8-bit RGBA, no interlace), the image data (rows filtered,
// then deflated into a zlib stream by png_deflate.h) and IEND into a fresh
// `BoundedPngBuffer`, which refuses to hold more than
// 1,433,600 bytes: the first write past that fails with the I/O error
// "DESKTOP_CAPTURE_TOO_LARGE", encoding stops and the partial PNG is dropped.
// Used by the desktop capture, the window capture and the pixel proof.
//
//   Result<std::vector<std::uint8_t>> png = encode_png(preview);
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "capture_dxgi/preview.h"
#include "common/error.h"
#include "common/png_format.h"

namespace vor::desktop {

inline constexpr std::string_view kCaptureTooLarge = "DESKTOP_CAPTURE_TOO_LARGE";

// Where PNG bytes go: every write is all or nothing.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual Status write_all(std::span<const std::uint8_t> bytes) = 0;
};

// A growable buffer that never holds, nor reserves, more than kPngMaxBytes.
// A write that would take it past the bound fails with the I/O error
// "DESKTOP_CAPTURE_TOO_LARGE" and leaves it unchanged; an empty write always
// succeeds.
class BoundedPngBuffer final : public ByteSink {
 public:
  Status write_all(std::span<const std::uint8_t> bytes) override;
  const std::vector<std::uint8_t>& bytes() const { return bytes_; }
  std::vector<std::uint8_t> take() && { return std::move(bytes_); }

 private:
  std::vector<std::uint8_t> bytes_;
};

// Writes the whole PNG of `preview` to `sink` and stops at the first failed
// write, returning that error unchanged. A preview that fails check_preview
// is "DESKTOP_CAPTURE_BUFFER_INVALID" and nothing is written.
Status write_png(ByteSink& sink, const RgbaPreview& preview);

// The PNG of `preview`, at most kPngMaxBytes long.
Result<std::vector<std::uint8_t>> encode_png(const RgbaPreview& preview);

}  // namespace vor::desktop
