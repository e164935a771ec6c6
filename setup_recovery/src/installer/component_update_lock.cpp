#include "installer/component_update_lock.h"

#include "common/json.h"
#include "common/json_fields.h"
#include "installer/files.h"
#include "installer/paths.h"

namespace vor::setup {
namespace {

bool is_exists_error(const Error& error) {
  const auto code = error.os_error();
  return code == kErrorFileExists || code == kErrorAlreadyExists;
}

// More than 1800 s old; compared as `acquired < now - limit` so that no
// difference of two far-apart instants can overflow.
bool older_than_foreign_limit(Time now, Time acquired) {
  return acquired < now - std::chrono::seconds(kForeignLockStaleSeconds);
}

constexpr auto kLockRecord = fields::record<ComponentUpdateLockRecord>(
    [](auto& f, auto& r) {
      f.required("lockId", r.lock_id);
      f.required("owner", r.owner);
      f.required("processId", r.process_id);
      f.required("acquiredAt", r.acquired_at);
    },
    json::Mode::kLenient);

std::string holder_details(FileSystem& files, const std::string& path) {
  auto record = read_component_update_lock_record(files, path);
  if (!record) return {};
  return ": owner=" + record->owner + ", pid=" + std::to_string(record->process_id) +
         ", acquiredAt=" + format_display(record->acquired_at);
}

}  // namespace

std::string encode_lock_record(const ComponentUpdateLockRecord& record) {
  std::string out;
  out.reserve(128);
  kLockRecord.write(out, record);
  return out;
}

Result<ComponentUpdateLockRecord> decode_lock_record(std::span<const std::uint8_t> bytes) {
  auto tree = json::parse(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  if (!tree) return fail(std::move(tree.error()).context("decode component update lock"));
  auto record = kLockRecord.from(*tree);
  if (!record) return fail(std::move(record.error()).context("decode component update lock"));
  return record;
}

Result<ComponentUpdateLockRecord> read_component_update_lock_record(FileSystem& files, const std::string& path) {
  auto bytes = files.read_file(path, kLockRecordMaxBytes + 1);
  if (!bytes) return fail(std::move(bytes.error()).context("read component update lock " + path));
  if (bytes->size() > kLockRecordMaxBytes) return fail("component update lock record is too large");
  return decode_lock_record(*bytes);
}

HolderState judge_recorded_holder(const ComponentUpdateLockRecord& record, const Status& open_result, Time now,
                                  std::uint32_t own_pid) {
  const bool gone = record.process_id == own_pid ||
                    (!open_result && open_result.error().os_error() == kErrorInvalidParameter);
  if (!gone) return HolderState::kActive;  // opened, or refused for another reason
  if (record.owner == kLockOwnerInstaller) return HolderState::kStale;
  return older_than_foreign_limit(now, record.acquired_at) ? HolderState::kStale : HolderState::kActive;
}

HolderState judge_unreadable_holder(const Result<std::uint64_t>& last_write, std::uint64_t now_filetime) {
  if (!last_write || *last_write > now_filetime) return HolderState::kActive;
  return now_filetime - *last_write >= kUnreadableLockStaleUnits ? HolderState::kStale : HolderState::kActive;
}

HolderState judge_lock_holder(SetupPorts& ports, const std::string& path) {
  auto record = read_component_update_lock_record(ports.files, path);
  if (record) {
    const std::uint32_t own_pid = ports.processes.current_process_id();
    Status opened;
    if (record->process_id != own_pid) opened = ports.processes.open_process_query_limited(record->process_id);
    return judge_recorded_holder(*record, opened, time_from_filetime(ports.clock.now_filetime()), own_pid);
  }
  auto meta = ports.files.metadata(path, true);
  Result<std::uint64_t> last_write = meta ? Result<std::uint64_t>(meta->last_write) : fail(std::move(meta.error()));
  return judge_unreadable_holder(last_write, ports.clock.now_filetime());
}

Result<ComponentUpdateLock> acquire_component_update_lock(SetupPorts& ports, const DataLayout& layout) {
  const std::string dir = state_dir(layout.root);
  const std::string path = lock_path(layout.root);
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (auto made = create_directories(ports.files, dir); !made) {
      return fail(std::move(made.error()).context("create component update lock directory " + dir));
    }
    auto lock_id = ports.ids.new_uuid_hex();
    if (!lock_id) return fail(std::move(lock_id.error()).context("make component update lock id"));
    const ComponentUpdateLockRecord record{*lock_id, std::string(kLockOwnerInstaller),
                                           ports.processes.current_process_id(),
                                           time_from_filetime(ports.clock.now_filetime())};

    auto file = ports.files.create_new(path, FileShare::kRead);
    if (file) {
      const std::string json = encode_lock_record(record);
      const auto* data = reinterpret_cast<const std::uint8_t*>(json.data());
      Status persisted = (*file)->write_all({data, json.size()});
      if (persisted) persisted = (*file)->flush();
      if (!persisted) {
        file->reset();
        (void)ports.files.delete_file(path);
        return fail(std::move(persisted.error()).context("persist component update lock " + path));
      }
      return ComponentUpdateLock(std::move(*file), path, *lock_id);
    }
    if (!is_exists_error(file.error())) {
      return fail(std::move(file.error()).context("create component update lock " + path));
    }

    if (judge_lock_holder(ports, path) == HolderState::kActive) {
      return fail("another component update is active" + holder_details(ports.files, path));
    }
    auto quarantine_id = ports.ids.new_uuid_hex();
    if (!quarantine_id) return fail(std::move(quarantine_id.error()).context("quarantine stale component update lock " + path));
    const std::string quarantine = replace_extension(path, "stale-" + *quarantine_id);
    if (auto moved = ports.files.move_replace_write_through(path, quarantine); !moved) {
      return fail(std::move(moved.error()).context("quarantine stale component update lock " + path));
    }
  }
  return fail("component update lock could not be acquired");
}

void release_component_update_lock(FileSystem& files, ComponentUpdateLock& lock) {
  if (!lock.held()) return;
  auto record = read_component_update_lock_record(files, lock.path());
  if (!record) return;
  if (record->lock_id != lock.lock_id()) return;  // another holder replaced the file
  lock.close();
  (void)files.delete_file(lock.path());
}

}  // namespace vor::setup
