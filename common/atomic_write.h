// The crash-safe write of a whole file: a temporary sibling is created new,
// written whole, flushed, and moved over (or onto) the target, so the target
// is only ever the old file or the complete new one.
//
// Both programs keep their own file-system port, naming of temporaries and
// path checks; they hand this rule the steps over their port, and the rule
// fixes the order of the steps and what is cleaned up after which failure.
//
//   MySteps steps(fs, temp, target);    // create_temporary, move_to_target, remove_temporary
//   VOR_RETURN_IF_ERROR(write_via_temporary(steps, bytes, {.move_while_open = true}));
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>

#include "common/error.h"

namespace vor {

// The open temporary; destroying it closes the file.
class AtomicWriteFile {
 public:
  virtual ~AtomicWriteFile() = default;
  virtual Status write_all(std::span<const std::uint8_t> bytes) = 0;
  virtual Status flush() = 0;
};

class AtomicWriteSteps {
 public:
  virtual ~AtomicWriteSteps() = default;
  // Creates the temporary new (never replacing a file) and opens it for writing.
  virtual Result<std::unique_ptr<AtomicWriteFile>> create_temporary() = 0;
  // Moves the temporary over (or onto) the target.
  virtual Status move_to_target() = 0;
  // Deletes the temporary; a failure to delete is ignored.
  virtual void remove_temporary() = 0;
};

struct AtomicWriteOptions {
  // Move while the temporary is still open (it must be shared for deletion),
  // rather than after closing it.
  bool move_while_open = false;
  // After a failed write or flush, leave the temporary for the caller to
  // find again, rather than deleting it. A failed move always deletes it.
  bool keep_failed_temporary = false;
};

// Creates, writes, flushes, closes (before or after the move) and moves. Each
// step's failure is returned as the step gave it; nothing is left open.
Status write_via_temporary(AtomicWriteSteps& steps, std::span<const std::uint8_t> bytes,
                           const AtomicWriteOptions& options);

// The same with `fill` writing the content (a copy in chunks, say); its
// failure counts as a failed write.
Status write_via_temporary(AtomicWriteSteps& steps, const std::function<Status(AtomicWriteFile&)>& fill,
                           const AtomicWriteOptions& options);

}  // namespace vor
