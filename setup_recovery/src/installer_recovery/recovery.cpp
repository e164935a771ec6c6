#include "installer_recovery/recovery.h"

#include "common/atomic_write.h"
#include "common/crypto.h"
#include "installer/errors.h"
#include "installer/files.h"
#include "installer/journal.h"
#include "installer/paths.h"
#include "installer/service_control.h"
#include "common/crypto.h"
#include "installer_recovery/reparse_guard.h"

namespace vor::setup {
namespace {

std::unexpected<Error> state_invalid() { return fail(failure(kSetupRecoveryStateInvalid)); }

bool is_missing(const Error& error) {
  const auto code = error.os_error();
  return code == kErrorFileNotFound || code == kErrorPathNotFound;
}

std::string backup_path(std::string_view root, const Journal& journal, std::size_t index) {
  return join(transaction_backup_dir(root, journal.transaction_id), std::to_string(index));
}

Result<std::string> backup_digest(FileSystem& files, const std::string& path) {
  VOR_ASSIGN_OR_RETURN(auto file, files.open_read(path));
  VOR_ASSIGN_OR_RETURN(auto size, file->size());
  if (size > kMaxBackupBytes) return state_invalid();
  VOR_ASSIGN_OR_RETURN(auto hash, Sha256Stream::create());
  Bytes buffer(kHashChunk);
  for (;;) {
    VOR_ASSIGN_OR_RETURN(auto got, file->read(buffer));
    if (got == 0) break;
    VOR_RETURN_IF_ERROR(hash->update(std::span(buffer).first(got)));
  }
  VOR_ASSIGN_OR_RETURN(auto digest, hash->finish());
  return to_hex(digest);
}

// Copies the backup to a fresh temporary sibling of the target, flushed and
// closed, then moves it over the target with write-through; any failure
// deletes the temporary.
Status restore_one(SetupPorts& ports, const std::string& backup, const std::string& target) {
  if (auto s = reject_reparse_points(ports.files, backup); !s) return s;
  if (auto s = reject_reparse_points(ports.files, target); !s) return s;
  const auto dir = parent(target);
  if (!dir) return state_invalid();
  if (auto s = create_directories(ports.files, *dir); !s) return s;
  VOR_ASSIGN_OR_RETURN(auto id, ports.ids.new_uuid_hex());
  const std::string temp = join(*dir, ".setup-recovery-" + id + ".tmp");
  VOR_ASSIGN_OR_RETURN(auto source, ports.files.open_read(backup));
  TemporarySibling steps(ports.files, temp, target, /*describe_failures=*/false);
  const auto copy = [&](AtomicWriteFile& file) -> Status {
    Bytes buffer(kCopyChunk);
    for (;;) {
      VOR_ASSIGN_OR_RETURN(const std::size_t got, source->read(buffer));
      if (got == 0) return {};
      VOR_RETURN_IF_ERROR(file.write_all(std::span(buffer).first(got)));
    }
  };
  // The backup stays open until the target is replaced.
  return write_via_temporary(steps, copy, {.move_while_open = false, .keep_failed_temporary = false});
}

}  // namespace

Result<std::optional<Journal>> inspect_journal(SetupPorts& ports, const DataLayout& layout) {
  const std::string path = journal_path(layout.root);
  VOR_RETURN_IF_ERROR(reject_reparse_points(ports.files, path));
  auto meta = ports.files.metadata(path, true);
  if (!meta) {
    if (is_missing(meta.error())) return std::optional<Journal>();
    return fail(std::move(meta.error()));
  }
  if ((meta->attributes & (kFileAttributeDirectory | kFileAttributeReparsePoint)) != 0 ||
      meta->size > kJournalMaxBytes) {
    return state_invalid();
  }
  VOR_ASSIGN_OR_RETURN(auto journal, read_protected_journal(ports.files, ports.protection, path));
  return std::optional<Journal>(std::move(journal));
}

std::string transaction_backup_dir(std::string_view root, std::string_view transaction_id) {
  return join(join(setup_dir(root), "Recovery"), transaction_id);
}

Result<std::vector<std::string>> build_transaction_targets(FileSystem& files, std::string_view root,
                                                           std::string_view install_dir, const Journal& journal) {
  VOR_RETURN_IF_ERROR(validate_journal(journal));
  VOR_RETURN_IF_ERROR(reject_reparse_points(files, journal_path(root)));
  if (auto s = reject_reparse_points(files, transaction_backup_dir(root, journal.transaction_id)); !s) {
    return fail(std::move(s.error()));
  }
  const std::string cache = join(join(root, "PackageCache"), "current");
  std::vector<std::string> targets = {
      join(install_dir, "VorKerno.Agent.exe"),  join(install_dir, "VorKerno.Guardian.exe"),
      join(cache, "VorKerno.Agent.exe"),        join(cache, "manifest.json"),
      join(setup_dir(root), "last-install.json"), join(install_dir, "Vor.Marionet.exe"),
      join(install_dir, "marionet-release.json"),
  };
  targets.resize(journal.previous_files.size());
  for (const auto& target : targets) {
    VOR_RETURN_IF_ERROR(reject_reparse_points(files, target));
  }
  return targets;
}

Status verify_backups(FileSystem& files, std::string_view root, const Journal& journal) {
  for (std::size_t i = 0; i < journal.previous_files.size(); ++i) {
    const auto& expected = journal.previous_files[i];
    if (!expected) continue;
    const std::string backup = backup_path(root, journal, i);
    if (auto s = reject_reparse_points(files, backup); !s) return s;
    VOR_ASSIGN_OR_RETURN(auto digest, backup_digest(files, backup));
    if (digest != *expected) return state_invalid();
  }
  return {};
}

Status remove_file_if_present(FileSystem& files, const std::string& path) {
  auto deleted = files.delete_file(path);
  if (!deleted && is_missing(deleted.error())) return {};
  return deleted;
}

Status restore_previous_files(SetupPorts& ports, std::string_view root, std::string_view install_dir,
                              const Journal& journal) {
  VOR_ASSIGN_OR_RETURN(auto targets, build_transaction_targets(ports.files, root, install_dir, journal));
  if (auto s = verify_backups(ports.files, root, journal); !s) return s;
  for (std::size_t i = 0; i < targets.size(); ++i) {
    Status restored = journal.previous_files[i]
                          ? restore_one(ports, backup_path(root, journal, i), targets[i])
                          : remove_file_if_present(ports.files, targets[i]);
    if (!restored) return restored;
  }
  return {};
}

std::string schtasks_path(const std::optional<std::string>& system_root) {
  return join(join(system_root ? *system_root : std::string(kDefaultSystemRoot), "System32"), "schtasks.exe");
}

asio::awaitable<Status> remove_recovery_task(RecoveryContext& context, std::string_view root) {
  const std::string tool = schtasks_path(context.system_root);
  const std::string task(kRecoveryTaskName);
  ChildRunRequest query;
  query.timeout = kTaskToolTimeout;
  query.program = tool;
  query.arguments = {"/Query", "/TN", task, "/XML"};
  auto xml = co_await context.children.run(query);
  if (!xml) {
    const ChildExit* exit = xml.error().find<ChildExit>();
    if (exit != nullptr && exit->exit_code == 1) co_return Status();  // no such task
    co_return fail(std::move(xml.error()));
  }
  const std::string command = "<Command>" + join(setup_dir(root), kRecoveryProgramName) + "</Command>";
  if (xml->find(command) == std::string::npos || xml->find("<Arguments>--recover</Arguments>") == std::string::npos) {
    co_return fail(failure(kSetupRecoveryTaskConflict));
  }
  ChildRunRequest removal = query;
  removal.arguments = {"/Delete", "/TN", task, "/F"};
  auto deleted = co_await context.children.run(removal);
  if (!deleted) co_return fail(std::move(deleted.error()));
  co_return Status();
}

asio::awaitable<Status> recover_transaction(RecoveryContext& context, const DataLayout& layout,
                                            std::string install_dir) {
  SetupPorts& ports = context.ports;
  const std::string& root = layout.root;
  auto inspected = inspect_journal(ports, layout);
  if (!inspected) co_return fail(std::move(inspected.error()));
  if (*inspected) {
    Journal& journal = **inspected;
    if (auto t = build_transaction_targets(ports.files, root, install_dir, journal); !t) {
      co_return fail(std::move(t.error()));
    }
    if (!journal.committed) {
      ServiceControl services{context.scm, context.ticker};
      if (auto s = verify_backups(ports.files, root, journal); !s) co_return s;
      if (auto s = co_await stop_and_disable_services(services); !s) co_return s;
      if (auto s = restore_previous_files(ports, root, install_dir, journal); !s) co_return s;
      if (auto s = restore_service_configurations(services, journal); !s) co_return s;
      if (auto s = start_services(services, journal); !s) co_return s;
      if (auto s = commit_journal(ports, root, journal); !s) co_return s;
    }
    if (auto valid = validate_journal(journal); !valid) co_return valid;
    if (!journal.committed) co_return state_invalid();
    const std::string backups = transaction_backup_dir(root, journal.transaction_id);
    if (auto s = reject_reparse_points(ports.files, backups); !s) co_return s;
    for (std::size_t i = 0; i < journal.previous_files.size(); ++i) {
      if (auto s = remove_file_if_present(ports.files, join(backups, std::to_string(i))); !s) co_return s;
    }
    if (auto removed = ports.files.remove_directory(backups); !removed && !is_missing(removed.error())) {
      co_return removed;
    }
    if (auto s = remove_file_if_present(ports.files, journal_path(root)); !s) co_return s;
  }
  co_return co_await remove_recovery_task(context, root);
}

}  // namespace vor::setup
