// The owner record's file operations over the protected state directory:
// its safety check, whole-file write, bounded read, replace and delete, so
// that the record is written and read under the same rules as every other
// state file.
//
//   StateOwnerFiles files(fs);
//   write_session_owner(files, root.path(), owner);
#pragma once

#include "session/owner.h"
#include "standalone/state/file_system.h"

namespace vor::desktop {

class StateOwnerFiles final : public OwnerRecordFiles {
 public:
  explicit StateOwnerFiles(FileSystem& fs) : fs_(fs) {}

  Status check_state_path(const std::string& path) override;
  Status write_whole_file(const std::string& path, std::string_view bytes) override;
  Win32<void> replace_file(const std::string& from, const std::string& to) override;
  Win32<void> delete_file(const std::string& path) override;
  Win32<bool> exists(const std::string& path) override;
  Result<std::string> read_bounded(const std::string& path, std::size_t limit) override;

 private:
  FileSystem& fs_;
};

}  // namespace vor::desktop
