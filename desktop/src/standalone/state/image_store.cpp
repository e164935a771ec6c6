#include "standalone/state/image_store.h"

#include <algorithm>
#include <array>

#include "common/crypto.h"

namespace vor::desktop {

bool has_png_signature(std::span<const std::uint8_t> png) {
  return png.size() >= kPngSignature.size() && std::equal(kPngSignature.begin(), kPngSignature.end(), png.begin());
}

bool image_lease_holds(const Image& image, Time now) {
  return now >= image.created_at && now - image.created_at < kImageLease;
}

Status create_image_file(StateContext& ctx, const std::string& path, std::span<const std::uint8_t> envelope) {
  VOR_ASSIGN_OR_RETURN(auto uuid, ctx.new_uuid());
  return create_file_atomically(ctx.fs, path, path + ".tmp-" + uuid, envelope);
}

Status validate_stored_image(std::span<const std::uint8_t> png, const Image& image) {
  if (png.size() > kImagePlaintextLimit || png.size() != image.bytes || png.size() <= 7 || !has_png_signature(png)) {
    return fail(coded(kCaptureInvalid, "stored image does not match its record"));
  }
  VOR_ASSIGN_OR_RETURN(auto digest, sha256(png));
  if (to_hex(digest) != image.sha256) return fail(coded(kCaptureInvalid, "stored image digest differs"));
  return {};
}

Result<Image> store_protected_image(StateContext& ctx, const StateRoot& root, std::string_view operation_id,
                                    std::span<const std::uint8_t> png, Time now) {
  if (png.size() < kPngSignatureLength || png.size() > kImagePlaintextLimit || !has_png_signature(png)) {
    return fail(coded(kCaptureInvalid, "not a PNG within the image limit"));
  }
  VOR_ASSIGN_OR_RETURN(auto name, state_file_name(operation_id, "image"));
  const std::string path = root.join(name);
  VOR_ASSIGN_OR_RETURN(auto digest, sha256(png));
  VOR_ASSIGN_OR_RETURN(auto envelope, protect_data(ctx.dpapi, path, png, png.size()));
  VOR_RETURN_IF_ERROR(create_image_file(ctx, path, envelope));
  return Image{name, png.size(), to_hex(digest), now};
}

Result<Bytes> read_protected_image(StateContext& ctx, const StateRoot& root, std::string_view operation_id,
                                   const Image& image) {
  VOR_ASSIGN_OR_RETURN(auto path, state_file_path(root, operation_id, "image"));
  VOR_ASSIGN_OR_RETURN(auto envelope, read_bounded_file(ctx.fs, path, kImageFileLimit));
  VOR_ASSIGN_OR_RETURN(auto png, unprotect_file(ctx.dpapi, path, envelope, kImagePlaintextLimit));
  if (auto valid = validate_stored_image(png, image); !valid) {
    wipe_bytes(png);
    return fail(std::move(valid.error()));
  }
  return png;
}

Result<std::optional<std::chrono::nanoseconds>> image_expiry_time(FileSystem& fs, const StateRoot& root, Time now,
                                                                  const Receipt& receipt) {
  if (!receipt.image) return std::optional<std::chrono::nanoseconds>();
  VOR_ASSIGN_OR_RETURN(auto image, state_file_path(root, receipt.operation_id, "image"));
  VOR_ASSIGN_OR_RETURN(auto png, state_file_path(root, receipt.operation_id, "png"));
  if (!state_file_exists(fs, image) && !state_file_exists(fs, png)) return std::optional<std::chrono::nanoseconds>();
  using Left = std::optional<std::chrono::nanoseconds>;
  if (!image_lease_holds(*receipt.image, now)) return Left(std::chrono::nanoseconds::zero());
  return Left(receipt.image->created_at + kImageLease - now);
}

}  // namespace vor::desktop
