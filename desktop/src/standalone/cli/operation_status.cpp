#include "standalone/cli/operation_status.h"

#include <chrono>

#include "common/time.h"
#include "protocol/response.h"
#include "standalone/state/image_store.h"

namespace vor::desktop {
namespace {

// The protected image is shown only while its lease holds, under the name of
// this operation, and as a regular file (no directory, no link).
Result<bool> image_is_available(StatePorts& ports, const StateRoot& root, const Receipt& receipt) {
  const Image& image = *receipt.image;
  if (!image_lease_holds(image, ports.ctx.clock.utc_now())) return false;
  VOR_ASSIGN_OR_RETURN(auto name, state_file_name(receipt.operation_id, "image"));
  if (image.file_name != name) return false;
  const std::string path = root.join(name);
  FileOpenOptions options;
  options.access = FileAccess::kRead;
  options.share = kShareRead | kShareWrite | kShareDelete;  // never in the way of the gate holder's removal
  options.backup_semantics = true;
  auto file = ports.ctx.fs.open(path, options);
  if (!file) return false;
  auto facts = (*file)->query();
  if (!facts) return false;
  if (facts->attributes & kFileAttributeDirectory) return false;
  if ((facts->attributes & kFileAttributeReparsePoint) && (facts->reparse_tag & kReparseTagNameSurrogate)) return false;
  return true;
}

std::string_view code_of_phase(ReceiptPhase phase) {
  switch (phase) {
    case ReceiptPhase::kUnknown: return kOutcomeUnknown;
    case ReceiptPhase::kRunning: return kOperationRunning;
    case ReceiptPhase::kReconciled: return kOutcomeReconciled;
    case ReceiptPhase::kFinished: break;
  }
  return kOperationFinished;
}

}  // namespace

Result<CliDocument> operation_status_document(StatePorts& ports, const StateRoot& root, const Receipt& receipt) {
  ReceiptPhase phase = receipt.phase;
  if (phase == ReceiptPhase::kRunning) {
    auto runs = operation_process_runs(ports.processes, receipt.pid, receipt.pid_created);
    if (!runs || !*runs) phase = ReceiptPhase::kUnknown;
  }

  json::Value image = nullptr;
  if (receipt.image) {
    VOR_ASSIGN_OR_RETURN(auto available, image_is_available(ports, root, receipt));
    if (available) {
      image = json::Object{
          {"path", root.join(receipt.image->file_name)},
          {"bytes", receipt.image->bytes},
          {"sha256", receipt.image->sha256},
          {"mimeType", kPngMimeType},
          {"createdAt", format_rfc3339(receipt.image->created_at)},
          {"protection", kImageProtection},
      };
    }
  }

  return json::Object{
      {"schemaVersion", kCliSchema},
      {"operationId", receipt.operation_id},
      {"sessionId", receipt.session_id},
      {"phase", receipt_phase_name(phase)},
      {"mutating", receipt.mutating},
      {"result", receipt.result ? response_to_value(*receipt.result) : json::Value(nullptr)},
      {"image", std::move(image)},
      {"createdAt", format_rfc3339(receipt.created_at)},
      {"finishedAt", receipt.finished_at ? json::Value(format_rfc3339(*receipt.finished_at)) : json::Value(nullptr)},
      {"code", code_of_phase(phase)},
      {"nextSafeAction", phase == ReceiptPhase::kUnknown ? kUnsettledSentence : kSettledSentence},
  };
}

Result<CliDocument> run_status(StatePorts& ports, const cmd::Status& command) {
  VOR_ASSIGN_OR_RETURN(auto root, ensure_state_directory(ports.ctx.fs, ports.identity, command.state_dir));
  VOR_ASSIGN_OR_RETURN(auto receipt, load_operation_receipt(ports.ctx, root, command.operation_id));
  return operation_status_document(ports, root, receipt);
}

}  // namespace vor::desktop
