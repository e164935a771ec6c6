#include "installer_recovery/reparse_guard.h"

#include <optional>

#include "installer/errors.h"
#include "installer/paths.h"

namespace vor::setup {

Status reject_reparse_points(FileSystem& files, const std::string& path) {
  std::optional<std::string> current = path;
  while (current) {
    auto meta = files.metadata(*current, false);
    if (meta) {
      if ((meta->attributes & kFileAttributeReparsePoint) != 0) return fail(failure(kSetupRecoveryStateInvalid));
    } else {
      const auto code = meta.error().os_error();
      if (code != kErrorFileNotFound && code != kErrorPathNotFound) return fail(std::move(meta.error()));
    }
    current = parent(*current);
  }
  return {};
}

}  // namespace vor::setup
