#include "common/atomic_write.h"

#include <utility>

namespace vor {

Status write_via_temporary(AtomicWriteSteps& steps, std::span<const std::uint8_t> bytes,
                           const AtomicWriteOptions& options) {
  return write_via_temporary(steps, [bytes](AtomicWriteFile& file) { return file.write_all(bytes); }, options);
}

Status write_via_temporary(AtomicWriteSteps& steps, const std::function<Status(AtomicWriteFile&)>& fill,
                           const AtomicWriteOptions& options) {
  VOR_ASSIGN_OR_RETURN(std::unique_ptr<AtomicWriteFile> file, steps.create_temporary());
  Status written = fill(*file);
  if (written) written = file->flush();
  if (!written) {
    file.reset();
    if (!options.keep_failed_temporary) steps.remove_temporary();
    return written;
  }
  if (!options.move_while_open) file.reset();
  Status moved = steps.move_to_target();
  file.reset();  // closed before the clean-up delete
  if (!moved) steps.remove_temporary();
  return moved;
}

}  // namespace vor
