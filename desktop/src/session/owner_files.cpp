#include "session/owner_files.h"

#include <span>

#include "standalone/state/state_store.h"

namespace vor::desktop {
namespace {

constexpr std::uint32_t kErrorFileNotFound = 2;
constexpr std::uint32_t kErrorPathNotFound = 3;
// A port failure that carried no OS number (it cannot happen with the Win32
// adapter) still has to be a failure: ERROR_GEN_FAILURE stands for it.
constexpr std::uint32_t kErrorGenFailure = 31;

Win32<void> raw(const Status& status) {
  if (status) return {};
  return win32_error(status.error().os_error().value_or(kErrorGenFailure));
}

}  // namespace

Status StateOwnerFiles::check_state_path(const std::string& path) { return vor::desktop::check_state_path(fs_, path); }

Status StateOwnerFiles::write_whole_file(const std::string& path, std::string_view bytes) {
  return vor::desktop::write_whole_file(
      fs_, path, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

Win32<void> StateOwnerFiles::replace_file(const std::string& from, const std::string& to) {
  return raw(fs_.move(from, to, kMoveReplaceExisting | kMoveWriteThrough));
}

Win32<void> StateOwnerFiles::delete_file(const std::string& path) { return raw(fs_.remove(path)); }

Win32<bool> StateOwnerFiles::exists(const std::string& path) {
  auto attributes = fs_.attributes(path);
  if (attributes) return true;
  const std::uint32_t number = attributes.error().os_error().value_or(kErrorGenFailure);
  if (number == kErrorFileNotFound || number == kErrorPathNotFound) return false;
  return win32_error(number);
}

Result<std::string> StateOwnerFiles::read_bounded(const std::string& path, std::size_t limit) {
  auto bytes = read_bounded_file(fs_, path, limit);
  if (!bytes) return fail(std::move(bytes.error()));
  return std::string(bytes->begin(), bytes->end());
}

}  // namespace vor::desktop
