#include "standalone/state/state_store.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/atomic_write.h"
#include "common/crypto.h"
#include "common/text.h"
#include "native/process_identity.h"

namespace vor::desktop {
namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

bool is_ascii_letter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }


std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The extension after the last '.', or "" when the name has none.
std::string_view extension_of(std::string_view name) {
  const auto dot = name.rfind('.');
  // A leading dot starts the name, not an extension (".png" has none).
  return dot == std::string_view::npos || dot == 0 ? std::string_view{} : name.substr(dot + 1);
}

}  // namespace

StateContext make_state_context(FileSystem& fs, DataProtection& dpapi, Clock& clock) {
  return StateContext{fs, dpapi, clock, [] { return uuid_v4_hex(); }};
}

void wipe_text(std::string& text) {
  volatile char* p = text.data();
  for (std::size_t i = 0; i < text.size(); ++i) p[i] = 0;
  text.clear();
  p = text.data();
  for (std::size_t i = 0; i < text.capacity(); ++i) p[i] = 0;
}

std::string StateRoot::join(std::string_view name) const { return join_path(path_, name); }

std::string_view file_name_of(std::string_view path) {
  std::size_t i = path.size();
  while (i > 0 && !is_separator(path[i - 1])) --i;
  return path.substr(i);
}

std::string join_path(std::string_view directory, std::string_view name) {
  std::string out(directory);
  if (out.empty() || !is_separator(out.back())) out += '\\';
  out += name;
  return out;
}

Status check_state_path(FileSystem& fs, std::string_view path) {
  // No UNC, "\\?\" or "\\.\" forms (either separator spelling); checked first, so
  // such a path is named for what it is rather than as not absolute.
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    return fail(coded(kStateUnsafe, "UNC or device path"));
  }
  // Absolute: a drive letter, its colon and a root separator.
  if (path.size() < 3 || !is_ascii_letter(path[0]) || path[1] != ':' || !is_separator(path[2])) {
    return fail(coded(kStateUnsafe, "path is not absolute"));
  }
  // The drive's colon is the only one (no alternate data streams).
  if (path.find(':', 2) != std::string_view::npos) {
    return fail(coded(kStateUnsafe, "colon after the drive letter"));
  }
  // No ".." component; note where each component ends for the reparse check.
  std::vector<std::size_t> ends;  // path.substr(0, end) is the path up to that component
  std::size_t start = 3;
  while (start <= path.size()) {
    std::size_t stop = start;
    while (stop < path.size() && !is_separator(path[stop])) ++stop;
    const std::string_view component = path.substr(start, stop - start);
    if (component == "..") return fail(coded(kStateUnsafe, "\"..\" component"));
    if (!component.empty()) ends.push_back(stop);
    start = stop + 1;
  }
  // The path and each ancestor, down to the drive root: no reparse point
  // of any kind. A component that cannot be queried (not there yet) is skipped.
  std::vector<std::string> chain;
  for (auto it = ends.rbegin(); it != ends.rend(); ++it) chain.emplace_back(path.substr(0, *it));
  chain.emplace_back(path.substr(0, 3));
  for (const std::string& item : chain) {
    auto attributes = fs.attributes(item);
    if (!attributes) continue;
    if (*attributes & kFileAttributeReparsePoint) {
      return fail(coded(kStateUnsafe, "reparse point: " + item));
    }
  }
  return {};
}

std::string state_root_sddl(std::string_view user_sid) {
  // SYSTEM full access, inherited by files (OI) and subdirectories (CI); the
  // P flag keeps every entry from above out.
  std::string sddl = "D:P(A;OICI;FA;;;SY)";
  if (user_sid != kLocalSystemSid) {
    sddl += "(A;OICI;FA;;;";
    sddl += user_sid;
    sddl += ")";
  }
  return sddl;
}

namespace {

// The rendered text without its terminator, or UNSAFE when the rendering is
// missing, empty, too long or not terminated.
Result<std::vector<char16_t>> checked_rendering(Result<RenderedSddl> rendered, std::string_view what) {
  if (!rendered) return fail(coded_over(kStateUnsafe, std::move(rendered.error()).context("render " + std::string(what))));
  if (!rendered->present) return fail(coded(kStateUnsafe, "no SDDL text for " + std::string(what)));
  std::vector<char16_t>& units = rendered->units;
  if (units.empty() || units.size() > kSecurityTextLimit) {
    return fail(coded(kStateUnsafe, "SDDL length out of range for " + std::string(what)));
  }
  if (units.back() != u'\0') return fail(coded(kStateUnsafe, "SDDL text not terminated for " + std::string(what)));
  units.pop_back();
  return std::move(units);
}

}  // namespace

Status compare_state_dacl(FileSystem& fs, const std::string& path, const std::string& expected_sddl) {
  const std::uint32_t size = fs.dacl_size(path);
  if (size == 0 || size > kSecurityTextLimit) return fail(coded(kStateUnsafe, "DACL size out of range"));
  auto actual = fs.read_dacl(path, size);
  if (!actual) return fail(coded_over(kStateUnsafe, std::move(actual.error())));
  VOR_ASSIGN_OR_RETURN(auto actual_text, checked_rendering(fs.render_dacl(*actual), "the root"));

  auto expected = fs.descriptor_from_sddl(expected_sddl);
  if (!expected) return fail(coded_over(kStateUnsafe, std::move(expected.error())));
  VOR_ASSIGN_OR_RETURN(auto expected_text, checked_rendering(fs.render_dacl(*expected), "the expected list"));

  if (actual_text != expected_text) {
    const auto shown = utf16_to_utf8(std::u16string_view(actual_text.data(), actual_text.size()));
    return fail(coded(kStateUnsafe, "root access list differs: " + shown.value_or("?")));
  }
  return {};
}

namespace {

// The last component, trailing separators aside.
std::string_view last_component(std::string_view path) {
  while (path.size() > 3 && is_separator(path.back())) path.remove_suffix(1);
  return file_name_of(path);
}

}  // namespace

Result<StateRoot> ensure_state_directory(FileSystem& fs, CallerIdentity& identity, std::string_view state_dir) {
  VOR_RETURN_IF_ERROR(check_state_path(fs, state_dir));
  const std::string_view last = last_component(state_dir);
  if (!last.empty() && (last.back() == '.' || last.back() == ' ')) {
    return fail(coded(kStateDirRequired, "the last component ends in a dot or a space"));
  }
  auto attributes = fs.attributes(std::string(state_dir));
  if (!attributes) return fail(coded_over(kStateDirRequired, std::move(attributes.error())));
  if (!(*attributes & kFileAttributeDirectory)) return fail(coded(kStateDirRequired, "not a directory"));
  if (*attributes & kFileAttributeReparsePoint) return fail(coded(kStateDirRequired, "a reparse point"));

  const std::string root = join_path(state_dir, kStateRootName);
  VOR_RETURN_IF_ERROR(check_state_path(fs, root));

  VOR_ASSIGN_OR_RETURN(auto sid, identity.current_user_sid());
  const std::string sddl = state_root_sddl(sid);

  auto descriptor = fs.descriptor_from_sddl(sddl);
  if (!descriptor) return fail(coded_over(kStateAclFailed, std::move(descriptor.error())));
  if (auto created = fs.create_directory(root, *descriptor); !created) {
    if (created.error().os_error() != kErrorAlreadyExists) return fail(coded(kStateAclFailed, "create the root"));
  }

  // Verified whether it was just made or already there: a root with another
  // owner's or a widened access list is never used.
  VOR_RETURN_IF_ERROR(compare_state_dacl(fs, root, sddl));

  auto handle = fs.open(root, FileOpenOptions{FileAccess::kRead, kShareRead | kShareWrite, FileCreation::kOpenExisting,
                                           /*open_reparse_point=*/true, /*backup_semantics=*/true});
  if (!handle) return fail(coded_over(kStateUnsafe, std::move(handle.error())));
  return StateRoot(root, std::move(*handle));
}

Result<StateGate> open_gate(FileSystem& fs, const StateRoot& root) {
  const std::string path = root.join(kGateName);
  VOR_RETURN_IF_ERROR(check_state_path(fs, path));
  auto gate = fs.open(path, FileOpenOptions{FileAccess::kReadWrite, 0, FileCreation::kOpenAlways, true, false});
  if (!gate) return fail(coded_over(kOwnerConflict, std::move(gate.error())));
  return std::move(*gate);
}

Result<Bytes> read_bounded_file(FileSystem& fs, std::string_view path, std::size_t limit) {
  VOR_RETURN_IF_ERROR(check_state_path(fs, path));
  // Backup semantics let a directory open too, so that the query below
  // refuses it as what it is rather than failing the open.
  auto file = fs.open(std::string(path), FileOpenOptions{FileAccess::kRead, kShareRead | kShareDelete,
                                                         FileCreation::kOpenExisting, true, true});
  if (!file) return fail(coded_over(kFileUnavailable, std::move(file.error())));
  VOR_ASSIGN_OR_RETURN(auto facts, (*file)->query());
  if (facts.attributes & kFileAttributeDirectory) return fail(coded(kFileTooLarge, "a directory"));
  if ((facts.attributes & kFileAttributeReparsePoint) && (facts.reparse_tag & kReparseTagNameSurrogate)) {
    return fail(coded(kFileTooLarge, "a link"));
  }
  if (facts.size > limit) return fail(coded(kFileTooLarge));

  // Never more than limit + 1 bytes, whatever the file does meanwhile. The
  // buffer fits the reported size; should the file have grown, it grows once
  // to limit + 1 and the old copy is wiped.
  Bytes buffer(static_cast<std::size_t>(facts.size) + 1);
  std::size_t filled = 0;
  for (;;) {
    if (filled == buffer.size()) {
      if (buffer.size() == limit + 1) break;
      Bytes larger(limit + 1);
      std::copy(buffer.begin(), buffer.end(), larger.begin());
      wipe_bytes(buffer);
      buffer = std::move(larger);
    }
    auto got = (*file)->read(std::span<std::uint8_t>(buffer).subspan(filled));
    if (!got) {
      wipe_bytes(buffer);
      return fail(std::move(got.error()));
    }
    if (*got == 0) break;
    filled += *got;
  }
  if (filled > limit) {
    wipe_bytes(buffer);
    return fail(coded(kFileTooLarge));
  }
  // Shrinking keeps the allocation; the tail beyond `filled` was never written.
  buffer.resize(filled);
  return buffer;
}

namespace {

// A state file being created new, as the crash-safe write sees it: every
// failure is "DESKTOP_STATE_WRITE_FAILED" over the OS error.
class NewStateFile final : public AtomicWriteFile {
 public:
  explicit NewStateFile(std::unique_ptr<OpenFile> file) : file_(std::move(file)) {}

  Status write_all(std::span<const std::uint8_t> bytes) override {
    std::size_t written = 0;
    while (written < bytes.size()) {
      auto n = file_->write(bytes.subspan(written));
      if (!n) return fail(coded_over(kStateWriteFailed, std::move(n.error())));
      if (*n == 0) return fail(coded_over(kStateWriteFailed, Error::io("failed to write whole buffer")));
      written += *n;
    }
    return {};
  }
  Status flush() override {
    if (auto flushed = file_->flush(); !flushed) return fail(coded_over(kStateWriteFailed, std::move(flushed.error())));
    return {};
  }

 private:
  std::unique_ptr<OpenFile> file_;
};

// Creates `path` new for writing, without sharing, the link itself opened.
Result<std::unique_ptr<AtomicWriteFile>> create_state_file(FileSystem& fs, std::string_view path) {
  VOR_RETURN_IF_ERROR(check_state_path(fs, path));
  auto file = fs.open(std::string(path), FileOpenOptions{FileAccess::kWrite, 0, FileCreation::kCreateNew, true, false});
  if (!file) return fail(coded_over(kStateWriteFailed, std::move(file.error())));
  return std::unique_ptr<AtomicWriteFile>(std::make_unique<NewStateFile>(std::move(*file)));
}

bool target_held_open(const Error& error) {
  const auto code = error.os_error();
  return code == kErrorAccessDenied || code == kErrorSharingViolation;
}

// The store's temporary `temp`, moved to `target` with `move_flags`.
class StateTemporary final : public AtomicWriteSteps {
 public:
  StateTemporary(FileSystem& fs, Clock* clock, std::string_view temp, std::string_view target,
                 std::uint32_t move_flags)
      : fs_(fs), clock_(clock), temp_(temp), target_(target), move_flags_(move_flags) {}

  Result<std::unique_ptr<AtomicWriteFile>> create_temporary() override { return create_state_file(fs_, temp_); }
  Status move_to_target() override {
    const auto deadline = clock_ ? clock_->monotonic_now() + kReplaceRetryBudget : Clock::Monotonic{};
    for (;;) {
      auto moved = fs_.move(temp_, target_, move_flags_);
      if (moved) return {};
      if (clock_ && target_held_open(moved.error())) {
        const auto now = clock_->monotonic_now();
        if (now < deadline) {
          clock_->sleep(std::min<std::chrono::nanoseconds>(kReplaceRetrySlice, deadline - now));
          continue;
        }
      }
      return fail(coded_over(kStateWriteFailed, std::move(moved.error())));
    }
  }
  void remove_temporary() override { (void)fs_.remove(temp_); }

 private:
  FileSystem& fs_;
  Clock* clock_;
  std::string temp_;
  std::string target_;
  std::uint32_t move_flags_;
};

// The temporary is closed before the move, and one whose write failed is
// left for the maintenance pass to find.
constexpr AtomicWriteOptions kStateWrite{.move_while_open = false, .keep_failed_temporary = true};

// `clock` set: a move refused because the target is held open is tried
// again until the budget is spent.
Status write_then_move(FileSystem& fs, Clock* clock, std::string_view target, std::string_view temp,
                       std::span<const std::uint8_t> bytes, std::uint32_t move_flags) {
  VOR_RETURN_IF_ERROR(check_state_path(fs, target));
  StateTemporary steps(fs, clock, temp, target, move_flags);
  return write_via_temporary(steps, bytes, kStateWrite);
}

}  // namespace

Status write_whole_file(FileSystem& fs, std::string_view path, std::span<const std::uint8_t> bytes) {
  VOR_ASSIGN_OR_RETURN(std::unique_ptr<AtomicWriteFile> file, create_state_file(fs, path));
  VOR_RETURN_IF_ERROR(file->write_all(bytes));
  return file->flush();
}

Status replace_file_atomically(FileSystem& fs, Clock& clock, std::string_view target, std::string_view temp,
                               std::span<const std::uint8_t> bytes) {
  return write_then_move(fs, &clock, target, temp, bytes, kMoveReplaceExisting | kMoveWriteThrough);
}

Status create_file_atomically(FileSystem& fs, std::string_view target, std::string_view temp,
                              std::span<const std::uint8_t> bytes) {
  // Nothing to wait for: a move that does not replace fails on any existing target.
  return write_then_move(fs, nullptr, target, temp, bytes, kMoveWriteThrough);
}

Status remove_state_file(FileSystem& fs, std::string_view path) {
  VOR_RETURN_IF_ERROR(check_state_path(fs, path));
  auto removed = fs.remove(std::string(path));
  if (!removed) {
    const auto code = removed.error().os_error();
    if (code == kErrorFileNotFound || code == kErrorPathNotFound) return {};
    return fail(coded_over(kStateWriteFailed, std::move(removed.error())));
  }
  return {};
}

bool state_file_exists(FileSystem& fs, std::string_view path) { return fs.attributes(std::string(path)).has_value(); }

bool has_protected_header(std::span<const std::uint8_t> bytes) {
  return bytes.size() >= kProtectedHeader.size() &&
         std::equal(kProtectedHeader.begin(), kProtectedHeader.end(), bytes.begin(),
                    [](char a, std::uint8_t b) { return static_cast<std::uint8_t>(a) == b; });
}

namespace {

// The entropy for the file named by `path`: prefix + its own name.
Result<std::string> entropy_for(std::string_view path) {
  const std::string_view name = file_name_of(path);
  if (name.empty() || !is_valid_utf8(name)) return fail(coded(kStateInvalid, "no valid file name to protect for"));
  std::string entropy(kEntropyPrefix);
  entropy += name;
  return entropy;
}

}  // namespace

Result<Bytes> protect_data(DataProtection& dpapi, std::string_view path, std::span<const std::uint8_t> plaintext,
                           std::size_t limit) {
  VOR_ASSIGN_OR_RETURN(auto entropy, entropy_for(path));
  auto blob = dpapi.protect(plaintext, as_bytes(entropy), kProtectFlags);
  if (!blob) return fail(coded_over(kStateProtectionFailed, std::move(blob.error())));
  if (blob->size() > limit + kBlobAllowance) return fail(coded(kStateQuotaExceeded, "protected blob too large"));
  Bytes envelope;
  envelope.reserve(kProtectedHeader.size() + blob->size());
  envelope.insert(envelope.end(), kProtectedHeader.begin(), kProtectedHeader.end());
  envelope.insert(envelope.end(), blob->begin(), blob->end());
  return envelope;
}

Result<Bytes> unprotect_file(DataProtection& dpapi, std::string_view path, std::span<const std::uint8_t> envelope,
                             std::size_t limit) {
  VOR_ASSIGN_OR_RETURN(auto entropy, entropy_for(path));
  if (!has_protected_header(envelope)) return fail(coded(kStateProtectionFailed, "no protected header"));
  if (envelope.size() > limit + kProtectedFileAllowance) {
    return fail(coded(kStateProtectionFailed, "protected file too large"));
  }
  auto plaintext = dpapi.unprotect(envelope.subspan(kProtectedHeader.size()), as_bytes(entropy), kUnprotectFlags);
  if (!plaintext) return fail(coded_over(kStateProtectionFailed, std::move(plaintext.error())));
  if (plaintext->size() > limit) {
    wipe_bytes(*plaintext);
    return fail(coded(kStateQuotaExceeded, "protected plaintext too large"));
  }
  return std::move(*plaintext);
}

Status check_disk_quota(FileSystem& fs, const StateRoot& root) {
  auto free_bytes = fs.free_bytes_for_caller(root.path());
  if (!free_bytes) return fail(coded_over(kDiskUnavailable, std::move(free_bytes.error())));
  VOR_ASSIGN_OR_RETURN(auto entries, fs.list(root.path()));
  std::uint64_t images = 0;
  for (const DirectoryEntry& entry : entries) {
    const std::string_view ext = extension_of(entry.name);
    if (ext != "png" && ext != "image") continue;
    images = entry.size > std::numeric_limits<std::uint64_t>::max() - images ? std::numeric_limits<std::uint64_t>::max()
                                                                             : images + entry.size;
  }
  if (*free_bytes < kMinimumFreeBytes) return fail(coded(kStateQuotaExceeded, "too little free disk space"));
  if (images > kMaximumImageBytes) return fail(coded(kStateQuotaExceeded, "stored images too large"));
  return {};
}

}  // namespace vor::desktop
