// The work of one --recover run, done while the component-update lock is
// held: find the transaction journal, read and check it; when the update was
// not committed, verify the backups, stop and disable the two services, put
// the previous files back, restore the services' configurations, start the
// ones that ran, and commit the journal; then remove the backups, the backup
// directory and the journal; last, delete the recovery task when it runs this
// program with --recover. The first failure ends the run and leaves journal,
// backups and task for a later run. It runs as one coroutine on the entry's
// single-threaded event loop.
//
//   asio::co_spawn(loop, recover_transaction(context, layout, install_dir), on_done);
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio/awaitable.hpp>

#include "installer/child_process.h"
#include "installer/data_layout.h"
#include "installer/journal.h"
#include "installer/ports.h"
#include "installer/scm.h"
#include "installer/ticker.h"

namespace vor::setup {

inline constexpr std::string_view kRecoveryTaskName = "\\VorKernoSetupRecovery";
inline constexpr std::string_view kRecoveryProgramName = "vor-kerno-setup-recovery.exe";
inline constexpr std::string_view kDefaultSystemRoot = "C:\\Windows";
inline constexpr std::chrono::seconds kTaskToolTimeout{20};
inline constexpr std::uint64_t kMaxBackupBytes = 67'108'864;
inline constexpr std::size_t kHashChunk = 65'536;
inline constexpr std::size_t kCopyChunk = 8'192;

// What the recovery reaches the system through.
struct RecoveryContext {
  SetupPorts& ports;
  Scm& scm;
  Ticker& ticker;
  ChildRunner& children;
  std::optional<std::string> system_root;  // the SystemRoot variable, when it is set
};

asio::awaitable<Status> recover_transaction(RecoveryContext& context, const DataLayout& layout,
                                            std::string install_dir);

// The synchronous journal inspection that recover_transaction starts with:
// guard, metadata (absent journal: success with nullopt), bounded read,
// unprotect, decode.
Result<std::optional<Journal>> inspect_journal(SetupPorts& ports, const DataLayout& layout);

// Targets 0 to 6 (the first as many as the journal has entries), after
// validating the journal and guarding journal, backup directory and targets.
Result<std::vector<std::string>> build_transaction_targets(FileSystem& files, std::string_view root,
                                                           std::string_view install_dir, const Journal& journal);
std::string transaction_backup_dir(std::string_view root, std::string_view transaction_id);
// Each present entry's backup: guarded, at most 64 MiB, SHA-256 equal to the entry.
Status verify_backups(FileSystem& files, std::string_view root, const Journal& journal);
Status restore_previous_files(SetupPorts& ports, std::string_view root, std::string_view install_dir,
                              const Journal& journal);
Status remove_file_if_present(FileSystem& files, const std::string& path);
std::string schtasks_path(const std::optional<std::string>& system_root);
asio::awaitable<Status> remove_recovery_task(RecoveryContext& context, std::string_view root);

}  // namespace vor::setup
