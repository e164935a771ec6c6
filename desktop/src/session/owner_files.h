// The owner record's file operations bound to the protected state
// directory's rules: its path safety check, bounded reader, whole-file write
// and write-through replace, over the state store's `FileSystem` port.
//
//   StateOwnerFiles files(fs);
//   auto owner = read_session_owner(files, join_path(state_dir, kStateRootName));
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
