#include "standalone/image_store.h"

#include <algorithm>
#include <array>

#include "common/crypto.h"

namespace vor::desktop {

bool has_png_signature(std::span<const std::uint8_t> png) {
  return png.size() >= kPngSignature.size() && std::equal(kPngSignature.begin(), kPngSignature.end(), png.begin());
}

Status validate_stored_image(std::span<const std::uint8_t> png, const Image& image) {
  if (png.size() > kImagePlaintextLimit || png.size() != image.bytes || png.size() <= 7 || !has_png_signature(png)) {
    return fail(state_error(kCaptureInvalid, "stored image does not match its record"));
  }
  auto digest = sha256(png);
  if (!digest) return fail(std::move(digest.error()));
  if (to_hex(*digest) != image.sha256) return fail(state_error(kCaptureInvalid, "stored image digest differs"));
  return {};
}

Result<Image> store_protected_image(StateContext& ctx, const StateRoot& root, std::string_view operation_id,
                                    std::span<const std::uint8_t> png, Time now) {
  if (png.size() < kPngSignatureLength || png.size() > kImagePlaintextLimit || !has_png_signature(png)) {
    return fail(state_error(kCaptureInvalid, "not a PNG within the image limit"));
  }
  auto name = state_file_name(operation_id, "image");
  if (!name) return fail(std::move(name.error()));
  const std::string path = root.join(*name);
  auto digest = sha256(png);
  if (!digest) return fail(std::move(digest.error()));
  auto envelope = protect_data(ctx.dpapi, path, png, png.size());
  if (!envelope) return fail(std::move(envelope.error()));
  if (auto written = write_whole_file(ctx.fs, path, *envelope); !written) return fail(std::move(written.error()));
  return Image{*name, png.size(), to_hex(*digest), now};
}

Result<Bytes> read_protected_image(StateContext& ctx, const StateRoot& root, std::string_view operation_id,
                                   const Image& image) {
  auto path = state_file_path(root, operation_id, "image");
  if (!path) return fail(std::move(path.error()));
  auto envelope = read_bounded_file(ctx.fs, *path, kImageFileLimit);
  if (!envelope) return fail(std::move(envelope.error()));
  auto png = unprotect_file(ctx.dpapi, *path, *envelope, kImagePlaintextLimit);
  if (!png) return fail(std::move(png.error()));
  if (auto valid = validate_stored_image(*png, image); !valid) {
    wipe_bytes(*png);
    return fail(std::move(valid.error()));
  }
  return std::move(*png);
}

Result<std::optional<std::chrono::nanoseconds>> image_expiry_time(FileSystem& fs, const StateRoot& root, Time now,
                                                                  const Receipt& receipt) {
  if (!receipt.image) return std::optional<std::chrono::nanoseconds>();
  auto image = state_file_path(root, receipt.operation_id, "image");
  if (!image) return fail(std::move(image.error()));
  auto png = state_file_path(root, receipt.operation_id, "png");
  if (!png) return fail(std::move(png.error()));
  if (!state_file_exists(fs, *image) && !state_file_exists(fs, *png)) return std::optional<std::chrono::nanoseconds>();
  const auto left = receipt.image->created_at + kImageLease - now;
  return std::optional<std::chrono::nanoseconds>(std::max(left, std::chrono::nanoseconds::zero()));
}

}  // namespace vor::desktop
