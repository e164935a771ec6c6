// File rules shared by the lock, the journal and the failure report:
// creating a directory with its missing parents, the crash-safe write of a
// whole file (temporary sibling, flush, replace with write-through), and the
// replace itself. The target is always either the old file or the complete
// new one.
#pragma once

#include <span>
#include <string>

#include "common/atomic_write.h"
#include "installer/ports.h"

namespace vor::setup {

// Creates `path` and every missing parent. An existing directory is success.
// Failures are the OS error of the directory that could not be made.
Status create_directories(FileSystem& files, const std::string& path);

// Stores `bytes` as `target`: ".state-<uuid>.tmp" in the target's directory,
// created exclusively, written, flushed, then moved over the target while
// still open. On any failure after creation the temporary file is deleted.
Status write_file_atomically(FileSystem& files, IdSource& ids, const std::string& target,
                             std::span<const std::uint8_t> bytes);

// Moves `from` over `to` with replace-existing and write-through.
Status replace_file_write_through(FileSystem& files, const std::string& from, const std::string& to);

// The temporary sibling `temp` of `target` for the common crash-safe write
// (common/atomic_write.h): created new, shared for reading, writing and
// deletion; moved with replace_file_write_through; deleted after a failure.
// With `describe_failures`, each failure names its step and the file.
class TemporarySibling final : public AtomicWriteSteps {
 public:
  TemporarySibling(FileSystem& files, const std::string& temp, const std::string& target, bool describe_failures);
  Result<std::unique_ptr<AtomicWriteFile>> create_temporary() override;
  Status move_to_target() override;
  void remove_temporary() override;

 private:
  FileSystem& files_;
  const std::string& temp_;
  const std::string& target_;
  bool describe_;
};

}  // namespace vor::setup
