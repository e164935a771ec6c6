#include "standalone/cli/image_export.h"

#include <chrono>

#include "common/time.h"
#include "standalone/state/image_store.h"
#include "standalone/state/state_maintenance.h"

namespace vor::desktop {
namespace {

// Writes the plain copy and reads it back; a copy cut short or not reading
// back as the recorded image is removed again rather than left half made.
Status write_plain_copy(StatePorts& ports, const std::string& path, const Bytes& png, const Image& image) {
  // A copy from an earlier export in the same lease is made anew.
  VOR_RETURN_IF_ERROR(remove_state_file(ports.ctx.fs, path));
  Status copied = write_whole_file(ports.ctx.fs, path, png);
  if (copied) {
    auto copy = read_bounded_file(ports.ctx.fs, path, kPlainImageFileLimit);
    copied = copy ? validate_stored_image(*copy, image) : Status(fail(std::move(copy.error())));
    if (copy) wipe_plaintext_buffer(*copy);
  }
  if (!copied) (void)remove_state_file(ports.ctx.fs, path);
  return copied;
}

}  // namespace

Result<CliDocument> run_image_export(StatePorts& ports, const cmd::ImageExport& command) {
  VOR_ASSIGN_OR_RETURN(auto root, ensure_state_directory(ports.ctx.fs, ports.identity, command.state_dir));
  VOR_ASSIGN_OR_RETURN(auto gate, open_gate(ports.ctx.fs, root));
  VOR_RETURN_IF_ERROR(refresh_state_store(ports.ctx, ports.processes, root));
  VOR_ASSIGN_OR_RETURN(auto receipt, load_operation_receipt(ports.ctx, root, command.operation_id));

  if (!receipt.image) return fail(coded(kImageExpired, "the operation stored no image"));
  const Image& image = *receipt.image;
  const Time now = ports.ctx.clock.utc_now();
  if (!image_lease_holds(image, now)) return fail(coded(kImageExpired, "the image lease is over"));
  VOR_ASSIGN_OR_RETURN(auto name, state_file_name(receipt.operation_id, "image"));
  if (image.file_name != name) return fail(coded(kImageUnavailable, "the image is not stored protected"));

  VOR_ASSIGN_OR_RETURN(auto png, read_protected_image(ports.ctx, root, receipt.operation_id, image));
  WipeOnExit wipe(png);
  VOR_ASSIGN_OR_RETURN(auto plain_path, state_file_path(root, receipt.operation_id, "png"));
  VOR_RETURN_IF_ERROR(check_disk_quota(ports.ctx.fs, root));
  VOR_RETURN_IF_ERROR(write_plain_copy(ports, plain_path, png, image));

  return json::Object{
      {"schemaVersion", kCliSchema},
      {"operationId", receipt.operation_id},
      {"sessionId", receipt.session_id},
      {"code", kImageExported},
      {"image",
       json::Object{
           {"path", plain_path},
           {"bytes", image.bytes},
           {"sha256", image.sha256},
           {"createdAt", format_rfc3339(image.created_at)},
           {"mimeType", kPngMimeType},
       }},
  };
}

}  // namespace vor::desktop
