#include "session/owner_files.h"

#include <span>

#include "common/win32_values.h"
#include "standalone/state/state_store.h"

namespace vor::desktop {
namespace {

constexpr std::uint32_t kErrorGenFailure = 31;  // a failure that carried no OS number

std::unexpected<std::uint32_t> os_number_of(const Error& error) {
  return win32_error(error.os_error().value_or(kErrorGenFailure));
}

}  // namespace

Status StateOwnerFiles::check_state_path(const std::string& path) { return vor::desktop::check_state_path(fs_, path); }

Status StateOwnerFiles::write_whole_file(const std::string& path, std::string_view bytes) {
  const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.data());
  return vor::desktop::write_whole_file(fs_, path, std::span<const std::uint8_t>(data, bytes.size()));
}

Win32<void> StateOwnerFiles::replace_file(const std::string& from, const std::string& to) {
  if (auto moved = fs_.move(from, to, kMoveReplaceExisting | kMoveWriteThrough); !moved) {
    return os_number_of(moved.error());
  }
  return {};
}

Win32<void> StateOwnerFiles::delete_file(const std::string& path) {
  if (auto removed = fs_.remove(path); !removed) return os_number_of(removed.error());
  return {};
}

Win32<bool> StateOwnerFiles::exists(const std::string& path) {
  auto attributes = fs_.attributes(path);
  if (attributes) return true;
  const auto number = attributes.error().os_error();
  if (number == kErrorFileNotFound || number == kErrorPathNotFound) return false;
  return os_number_of(attributes.error());
}

Result<std::string> StateOwnerFiles::read_bounded(const std::string& path, std::size_t limit) {
  VOR_ASSIGN_OR_RETURN(const Bytes bytes, read_bounded_file(fs_, path, limit));
  return std::string(bytes.begin(), bytes.end());
}

}  // namespace vor::desktop
