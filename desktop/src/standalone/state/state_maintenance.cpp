#include "standalone/state/state_maintenance.h"

#include <set>

#include "common/text.h"
#include "standalone/state/image_store.h"
#include "standalone/state/receipt.h"

namespace vor::desktop {
namespace {

bool is_hex(std::string_view text) {
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// FILETIME counts 100 ns from 1601-01-01 UTC, this many before 1970-01-01.
constexpr std::int64_t kFiletimeOfUnixEpoch = 116444736000000000;
using FiletimeTicks = std::chrono::duration<std::int64_t, std::ratio<1, 10000000>>;

// True when a file last written at `last_write` (a FILETIME) is at least
// `age` old at `now`; a write time after `now` is young.
bool written_before(std::uint64_t last_write, Time now, std::chrono::seconds age) {
  // Whole seconds of the year range times 10^7 stay far inside 64 bits.
  const std::int64_t since_epoch = now.unix_seconds() * 10'000'000 + now.subsecond_nanos() / 100;
  if (since_epoch < -kFiletimeOfUnixEpoch) return false;
  const auto now_filetime = static_cast<std::uint64_t>(kFiletimeOfUnixEpoch + since_epoch);
  const auto age_ticks = static_cast<std::uint64_t>(FiletimeTicks(age).count());
  return last_write <= now_filetime && now_filetime - last_write >= age_ticks;
}

// A settled receipt goes a day after it settled. A read-only "running" one
// goes a day after it was made, once its broker is known to be gone (an
// unreadable process state keeps it): no one will finish it, and it fences
// nothing. Mutating "running" and all "unknown" receipts stay: they fence
// input until they are reconciled.
bool receipt_ages_out(ProcSys& processes, const Receipt& receipt, Time now) {
  if (!is_unsettled(receipt.phase)) {
    return now - receipt.finished_at.value_or(receipt.created_at) >= kSettledReceiptRetention;
  }
  if (receipt.phase != ReceiptPhase::kRunning || receipt.mutating) return false;
  if (now - receipt.created_at < kAbandonedStateRetention) return false;
  auto runs = operation_process_runs(processes, receipt.pid, receipt.pid_created);
  return runs && !*runs;
}

// A young leftover receipt temporary that is not protected is protected in
// place, so that no plaintext receipt stays on disk.
Status reprotect_leftover(StateContext& ctx, const std::string& path) {
  VOR_ASSIGN_OR_RETURN(auto bytes, read_bounded_file(ctx.fs, path, kReceiptFileLimit));
  WipeOnExit wipe(bytes);
  if (has_protected_header(bytes)) return {};
  if (bytes.size() > kReceiptPlaintextLimit) return fail(coded(kStateQuotaExceeded, "leftover temporary too large"));
  VOR_ASSIGN_OR_RETURN(auto envelope, protect_data(ctx.dpapi, path, bytes, bytes.size()));
  VOR_ASSIGN_OR_RETURN(auto uuid, ctx.new_uuid());
  return replace_file_atomically(ctx.fs, ctx.clock, path, path + ".protect-" + uuid, envelope);
}

// Reads `<hash>.image` and checks it against the receipt's record.
Status verify_protected_image(StateContext& ctx, const std::string& image_path, const Image& image) {
  VOR_ASSIGN_OR_RETURN(auto envelope, read_bounded_file(ctx.fs, image_path, kImageFileLimit));
  VOR_ASSIGN_OR_RETURN(auto png, unprotect_file(ctx.dpapi, image_path, envelope, kImagePlaintextLimit));
  WipeOnExit wipe(png);
  return validate_stored_image(png, image);
}

// Protects a valid legacy PNG as a new `<hash>.image`.
Status protect_legacy_png(StateContext& ctx, const Image& image, const std::string& image_path,
                          const std::string& png_path) {
  VOR_ASSIGN_OR_RETURN(auto png, read_bounded_file(ctx.fs, png_path, kPlainImageFileLimit));
  WipeOnExit wipe(png);
  VOR_RETURN_IF_ERROR(validate_stored_image(png, image));
  VOR_ASSIGN_OR_RETURN(auto envelope, protect_data(ctx.dpapi, image_path, png, kImagePlaintextLimit));
  return create_image_file(ctx, image_path, envelope);
}

// A receipt whose image is the legacy plaintext `<hash>.png` gets a
// protected `<hash>.image` and is rewritten to name it; the PNG goes.
//
// A pass cut short while it created `<hash>.image` leaves a partial file
// beside the still valid PNG. Such a file is made again from the PNG instead
// of failing every later pass for the rest of the lease.
Status migrate_legacy_image(StateContext& ctx, const StateRoot& root, Receipt& receipt, const std::string& image_path,
                            const std::string& png_path, const std::string& image_name) {
  const bool has_png = state_file_exists(ctx.fs, png_path);
  if (state_file_exists(ctx.fs, image_path)) {
    auto verified = verify_protected_image(ctx, image_path, *receipt.image);
    if (!verified && !has_png) return verified;
    if (!verified) {
      VOR_RETURN_IF_ERROR(remove_state_file(ctx.fs, image_path));
    }
  }
  if (!state_file_exists(ctx.fs, image_path)) {
    if (!has_png) return {};
    VOR_RETURN_IF_ERROR(protect_legacy_png(ctx, *receipt.image, image_path, png_path));
    VOR_RETURN_IF_ERROR(verify_protected_image(ctx, image_path, *receipt.image));
  }
  receipt.image->file_name = image_name;
  VOR_RETURN_IF_ERROR(write_receipt(ctx, root, receipt, false));
  return remove_state_file(ctx.fs, png_path);
}

}  // namespace

bool is_receipt_temporary_name(std::string_view name) {
  constexpr std::string_view kMarker = ".tmp-";
  return name.size() == 64 + kMarker.size() + 32 && is_hex(name.substr(0, 64)) &&
         name.substr(64, kMarker.size()) == kMarker && is_hex(name.substr(64 + kMarker.size()));
}

bool is_state_temporary_name(std::string_view name) {
  constexpr std::string_view kProtect = ".protect-";
  constexpr std::string_view kImage = ".image.tmp-";
  constexpr std::size_t kReceiptTemporary = 64 + 5 + 32;
  if (is_receipt_temporary_name(name)) return true;
  if (name.size() == kReceiptTemporary + kProtect.size() + 32) {
    return is_receipt_temporary_name(name.substr(0, kReceiptTemporary)) &&
           name.substr(kReceiptTemporary, kProtect.size()) == kProtect &&
           is_hex(name.substr(kReceiptTemporary + kProtect.size()));
  }
  return name.size() == 64 + kImage.size() + 32 && is_hex(name.substr(0, 64)) && name.substr(64, kImage.size()) == kImage &&
         is_hex(name.substr(64 + kImage.size()));
}

Status maintain_state_directory(StateContext& ctx, ProcSys& processes, const StateRoot& root, Time now,
                                bool expire_images) {
  // Leftover temporaries. A day after its last write one is removed,
  // whatever it holds (so no plaintext stays either); a younger plaintext
  // receipt temporary is protected in place. Only those that stay count
  // toward the limit, so a burst of them passes once it has aged.
  VOR_ASSIGN_OR_RETURN(auto entries, ctx.fs.list(root.path()));
  std::size_t leftovers = 0;
  for (const DirectoryEntry& entry : entries) {
    if (entry.name.find(".tmp-") == std::string::npos || !is_state_temporary_name(entry.name)) continue;
    const std::string path = root.join(entry.name);
    if (written_before(entry.last_write, now, kAbandonedStateRetention)) {
      VOR_RETURN_IF_ERROR(remove_state_file(ctx.fs, path));
      continue;
    }
    if (!is_receipt_temporary_name(entry.name)) continue;
    if (leftovers == kMaximumLeftoverTemporaries) {
      return fail(coded(kStateQuotaExceeded, "more than 128 leftover temporaries"));
    }
    ++leftovers;
    VOR_RETURN_IF_ERROR(reprotect_leftover(ctx, path));
  }

  // Every receipt.
  VOR_ASSIGN_OR_RETURN(auto receipts, load_receipts(ctx, root));

  // Images and ageing, receipt by receipt. Image names are kept folded to
  // lower case: NTFS compares names without case, so "<HASH>.image" is the
  // very file a receipt names as "<hash>.image".
  std::set<std::string> referenced;
  for (Receipt& receipt : receipts) {
    auto json_path = state_file_path(root, receipt.operation_id, "json");
    auto image_name = state_file_name(receipt.operation_id, "image");
    auto png_name = state_file_name(receipt.operation_id, "png");
    if (!json_path || !image_name || !png_name) return fail(Error("cannot name the receipt's files"));
    const std::string image_path = root.join(*image_name);
    const std::string png_path = root.join(*png_name);

    VOR_ASSIGN_OR_RETURN(auto raw, read_bounded_file(ctx.fs, *json_path, kReceiptFileLimit));
    const bool was_plain = !has_protected_header(raw);
    wipe_bytes(raw);

    referenced.insert(ascii_lower(*image_name));
    referenced.insert(ascii_lower(*png_name));

    const bool in_lease = receipt.image && image_lease_holds(*receipt.image, now);
    if (!expire_images && in_lease) {
      if (receipt.image->file_name == *png_name) {
        VOR_RETURN_IF_ERROR(migrate_legacy_image(ctx, root, receipt, image_path, png_path, *image_name));
      }
    } else {
      VOR_RETURN_IF_ERROR(remove_state_file(ctx.fs, image_path));
      VOR_RETURN_IF_ERROR(remove_state_file(ctx.fs, png_path));
    }

    if (was_plain) {
      VOR_RETURN_IF_ERROR(write_receipt(ctx, root, receipt, false));
    }

    if (receipt_ages_out(processes, receipt, now)) {
      VOR_RETURN_IF_ERROR(check_state_path(ctx.fs, *json_path));
      VOR_RETURN_IF_ERROR(ctx.fs.remove(*json_path));
    }
  }

  // Images that no receipt names.
  VOR_ASSIGN_OR_RETURN(auto again, ctx.fs.list(root.path()));
  for (const DirectoryEntry& entry : again) {
    const auto dot = entry.name.rfind('.');
    if (dot == std::string::npos) continue;
    const std::string_view stem = std::string_view(entry.name).substr(0, dot);
    const std::string_view extension = std::string_view(entry.name).substr(dot + 1);
    if ((extension != "image" && extension != "png") || !is_hex_digest(stem)) continue;
    if (referenced.count(ascii_lower(entry.name))) continue;
    VOR_RETURN_IF_ERROR(remove_state_file(ctx.fs, root.join(entry.name)));
  }
  return {};
}

Status refresh_state_store(StateContext& ctx, ProcSys& processes, const StateRoot& root) {
  return maintain_state_directory(ctx, processes, root, ctx.clock.utc_now(), false);
}

Status open_state_store(StateContext& ctx, ProcSys& processes, const StateRoot& root, bool expire_images) {
  VOR_ASSIGN_OR_RETURN(auto gate, open_gate(ctx.fs, root));
  return maintain_state_directory(ctx, processes, root, ctx.clock.utc_now(), expire_images);
}

}  // namespace vor::desktop
