#include "installer_recovery/recovery.h"

#include "installer/errors.h"
#include "installer/journal.h"
#include "installer_recovery/reparse_guard.h"

namespace vor::setup {
namespace {

Error step_unavailable(const std::string& step) { return Error("recovery step not available in this build: " + step); }

}  // namespace

Result<std::optional<Journal>> inspect_journal(SetupPorts& ports, const DataLayout& layout) {
  const std::string path = journal_path(layout.root);
  if (auto guarded = reject_reparse_points(ports.files, path); !guarded) return fail(std::move(guarded.error()));
  auto meta = ports.files.metadata(path, true);
  if (!meta) {
    const auto code = meta.error().os_error();
    if (code == kErrorFileNotFound || code == kErrorPathNotFound) return std::optional<Journal>();
    return fail(std::move(meta.error()));
  }
  if ((meta->attributes & (kFileAttributeDirectory | kFileAttributeReparsePoint)) != 0 ||
      meta->size > kJournalMaxBytes) {
    return fail(failure(kSetupRecoveryStateInvalid));
  }
  auto journal = read_protected_journal(ports.files, ports.protection, path);
  if (!journal) return fail(std::move(journal.error()));
  if (auto valid = validate_journal(*journal); !valid) return fail(std::move(valid.error()));
  return std::optional<Journal>(std::move(*journal));
}

asio::awaitable<Status> recover_transaction(RecoveryContext& context, const DataLayout& layout,
                                            std::string install_dir) {
  (void)install_dir;  // the rollback's targets live there
  auto journal = inspect_journal(context.ports, layout);
  if (!journal) co_return fail(std::move(journal.error()));
  if (!*journal) co_return fail(step_unavailable("remove the recovery task"));
  if (!(*journal)->committed) co_return fail(step_unavailable("roll back the transaction"));
  co_return fail(step_unavailable("remove the backups and the journal"));
}

}  // namespace vor::setup
