// The machine-wide component-update lock: `<root>\State\component-update.lock`,
// created exclusively and holding one compact JSON record that names its
// holder. The installer takes the same lock; this program holds it for a
// whole recovery run. A holder that is gone, or too old, is stale: its file
// is moved aside as `component-update.stale-<32 hex>` and the lock is tried
// once more.
//
//   auto lock = acquire_component_update_lock(ports, layout);
//   if (!lock) return fail(lock.error());
//   ... recovery ...
//   release_component_update_lock(ports.files, *lock);
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "installer/data_layout.h"
#include "installer/ports.h"
#include "installer/utc_time.h"

namespace vor::setup {

inline constexpr std::string_view kLockOwnerInstaller = "installer";
// A foreign owner's lock whose process is gone is stale after this many seconds.
inline constexpr std::int64_t kForeignLockStaleSeconds = 1800;
// An unreadable lock file is stale this long after its last write (1801 s in FILETIME units).
inline constexpr std::uint64_t kUnreadableLockStaleUnits = 18'010'000'000;
// The record is a small document; a longer file is not a record.
inline constexpr std::size_t kLockRecordMaxBytes = 65'536;

struct ComponentUpdateLockRecord {
  std::string lock_id;
  std::string owner;
  std::uint32_t process_id = 0;
  Time acquired_at;
};

// {"lockId":..,"owner":..,"processId":..,"acquiredAt":..} without whitespace.
std::string encode_lock_record(const ComponentUpdateLockRecord& record);

// All four members required, duplicates refused, undeclared members ignored,
// "processId" an unsigned 32-bit integer, "acquiredAt" RFC 3339 (any offset).
Result<ComponentUpdateLockRecord> decode_lock_record(std::span<const std::uint8_t> bytes);

// Reads the whole file (bounded) and decodes it. A read failure is
// "read component update lock <path>" over the OS error.
Result<ComponentUpdateLockRecord> read_component_update_lock_record(FileSystem& files, const std::string& path);

enum class HolderState { kActive, kStale };

// A decodable record. `open_result` is the outcome of opening the holder's
// process; a record naming this very process counts as a process that is gone
// (we never hold a lock we are still trying to take).
HolderState judge_recorded_holder(const ComponentUpdateLockRecord& record, const Status& open_result, Time now,
                                  std::uint32_t own_pid);

// A file without a decodable record, judged by its last-write time (FILETIME).
HolderState judge_unreadable_holder(const Result<std::uint64_t>& last_write, std::uint64_t now_filetime);

// Reads the file and the facts the two judges above need.
HolderState judge_lock_holder(SetupPorts& ports, const std::string& path);

// The held lock: the open lock file (written, shared for reading only), its
// path and our lock id. Dropping it closes the file without deleting it.
class ComponentUpdateLock {
 public:
  ComponentUpdateLock(std::unique_ptr<WritableFile> file, std::string path, std::string lock_id)
      : file_(std::move(file)), path_(std::move(path)), lock_id_(std::move(lock_id)) {}
  const std::string& path() const { return path_; }
  const std::string& lock_id() const { return lock_id_; }
  bool held() const { return file_ != nullptr; }
  void close() { file_.reset(); }

 private:
  std::unique_ptr<WritableFile> file_;
  std::string path_;
  std::string lock_id_;
};

Result<ComponentUpdateLock> acquire_component_update_lock(SetupPorts& ports, const DataLayout& layout);

// Deletes the lock file only while it still holds our lock id; never fails.
void release_component_update_lock(FileSystem& files, ComponentUpdateLock& lock);

}  // namespace vor::setup
