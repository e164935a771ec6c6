// File rules shared by the lock, the journal and the failure report:
// creating a directory with its missing parents, the crash-safe write of a
// whole file (temporary sibling, flush, replace with write-through), and the
// replace itself. The target is always either the old file or the complete
// new one.
#pragma once

#include <span>
#include <string>

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

}  // namespace vor::setup
