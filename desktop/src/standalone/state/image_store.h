// Protected capture images beside their receipts, and their 60-second lease.
//
// The execute transaction stores a capture's PNG with `store_protected_image`
// (protected for `<hash>.image`); `image-export` reads it back with
// `read_protected_image` while the lease lasts; the maintenance pass removes
// it once the lease is over; the session host wakes for the earliest end of a
// lease (`image_expiry_time`).
#pragma once

#include <chrono>
#include <optional>
#include <span>
#include <string_view>

#include "common/error.h"
#include "common/png_format.h"
#include "standalone/state/receipt.h"
#include "standalone/state/state_store.h"

namespace vor::desktop {

inline constexpr std::string_view kCaptureInvalid = "DESKTOP_CAPTURE_INVALID";
inline constexpr std::chrono::seconds kImageLease{60};
inline constexpr std::size_t kPngSignatureLength = kPngSignature.size();

// The eight bytes every PNG starts with.
bool has_png_signature(std::span<const std::uint8_t> png);

// True while the image's 60-second lease holds at `now`. An image made "in
// the future" (the clock went back) counts as expired, everywhere alike.
bool image_lease_holds(const Image& image, Time now);

// Creates the protected image file at `path` as receipts are made: written
// whole to a temporary sibling `<name>.tmp-<uuid>`, flushed, then moved into
// place without replacing. So a write cut short never leaves a partial image
// under the real name; an existing file fails with
// "DESKTOP_STATE_WRITE_FAILED".
Status create_image_file(StateContext& ctx, const std::string& path, std::span<const std::uint8_t> envelope);

// The PNG matches its record: at most 1,433,600 bytes, exactly `bytes` long,
// more than 7 bytes, the PNG signature, the same SHA-256; else
// "DESKTOP_CAPTURE_INVALID".
Status validate_stored_image(std::span<const std::uint8_t> png, const Image& image);

// Protects a capture's PNG (8 to 1,433,600 bytes with the PNG signature,
// else "DESKTOP_CAPTURE_INVALID") for the operation's `<hash>.image`, creates
// that file (an existing one fails) and returns its record, created `now`.
Result<Image> store_protected_image(StateContext& ctx, const StateRoot& root, std::string_view operation_id,
                                    std::span<const std::uint8_t> png, Time now);

// Reads, unprotects and validates the operation's `<hash>.image` against its
// record. The caller wipes the returned PNG after use.
Result<Bytes> read_protected_image(StateContext& ctx, const StateRoot& root, std::string_view operation_id,
                                   const Image& image);

// The time left of the receipt's image lease (zero once over), or none when
// the receipt has no image or neither `<hash>.image` nor `<hash>.png` exists.
// An image whose lease does not hold (over, or made in the future) has zero left.
Result<std::optional<std::chrono::nanoseconds>> image_expiry_time(FileSystem& fs, const StateRoot& root, Time now,
                                                                  const Receipt& receipt);

}  // namespace vor::desktop
