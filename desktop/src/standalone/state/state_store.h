// The protected state directory: the ground rules of the "VorDesktop-v1" root
// beneath the caller's --state-dir.
//
// `ensure_state_directory` creates or verifies the root and its access list;
// `open_gate` takes the exclusive `.gate`; every file operation here vets its
// path with `check_state_path` first; protected files carry a fixed header
// and a DPAPI blob bound to their own file name. Used by the one-shot verbs,
// the execute transaction and the session host, always through the ports of
// file_system.h and common/data_protection.h.
//
//   auto root = ensure_state_directory(fs, identity, dir);   // holds the root open
//   auto gate = open_gate(fs, *root);                         // held while working
//   auto bytes = read_bounded_file(fs, path, kReceiptFileLimit);
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "common/data_protection.h"
#include "common/error.h"
#include "common/png_format.h"
#include "common/time.h"
#include "native/clock.h"
#include "native/owner_conflict.h"
#include "standalone/state/file_system.h"

namespace vor::desktop {

// Codes of the state store.
inline constexpr std::string_view kStateDirRequired = "DESKTOP_STATE_DIR_REQUIRED";
inline constexpr std::string_view kStateUnsafe = "DESKTOP_STATE_UNSAFE";
inline constexpr std::string_view kStateAclFailed = "DESKTOP_STATE_ACL_FAILED";
// kOwnerConflict: native/owner_conflict.h (the same code as a held input owner).
inline constexpr std::string_view kFileUnavailable = "DESKTOP_FILE_UNAVAILABLE";
inline constexpr std::string_view kFileTooLarge = "DESKTOP_FILE_TOO_LARGE";
inline constexpr std::string_view kStateWriteFailed = "DESKTOP_STATE_WRITE_FAILED";
inline constexpr std::string_view kStateInvalid = "DESKTOP_STATE_INVALID";
inline constexpr std::string_view kStateProtectionFailed = "DESKTOP_STATE_PROTECTION_FAILED";
inline constexpr std::string_view kStateQuotaExceeded = "DESKTOP_STATE_QUOTA_EXCEEDED";
inline constexpr std::string_view kDiskUnavailable = "DESKTOP_DISK_UNAVAILABLE";

inline constexpr std::string_view kStateRootName = "VorDesktop-v1";
inline constexpr std::string_view kGateName = ".gate";

// Protected file envelope: 25 ASCII characters and a NUL, then the DPAPI blob.
inline constexpr std::string_view kProtectedHeader{"Vor.Marionet.Protected.v1\0", 26};
// DPAPI optional entropy: this prefix, then the file's own name.
inline constexpr std::string_view kEntropyPrefix = "Qzt.Pembrola.HoldStore.v4/";
inline constexpr std::uint32_t kProtectFlags = DataProtection::kUiForbidden | DataProtection::kLocalMachine;  // 5
inline constexpr std::uint32_t kUnprotectFlags = DataProtection::kUiForbidden;                                // 1
// A blob may exceed its plaintext limit by this much; with the header a
// protected file stays within limit + 4,096 bytes.
inline constexpr std::size_t kBlobAllowance = 4070;
inline constexpr std::size_t kProtectedFileAllowance = 4096;

// Plaintext limits and read limits.
inline constexpr std::size_t kReceiptPlaintextLimit = 65536;
inline constexpr std::size_t kReceiptFileLimit = 69632;
inline constexpr std::size_t kImagePlaintextLimit = kPngMaxBytes;
inline constexpr std::size_t kImageFileLimit = 1437696;
inline constexpr std::size_t kRequestFileLimit = 16384;
inline constexpr std::size_t kLedgerFileLimit = 16384;
inline constexpr std::size_t kPlainImageFileLimit = kPngMaxBytes;

// Disk quota.
inline constexpr std::uint64_t kMinimumFreeBytes = 33554432;   // 32 MiB for the calling user
inline constexpr std::uint64_t kMaximumImageBytes = 15339520;  // all *.image and *.png together

// Descriptor sizes and rendered SDDL lengths are bounded by this.
inline constexpr std::size_t kSecurityTextLimit = 65536;


// The ports every store operation may need, owned by the composition root.
struct StateContext {
  FileSystem& fs;
  DataProtection& dpapi;
  Clock& clock;
  // Fresh version-4 UUIDs as 32 lowercase hex digits (temporaries' names).
  std::function<Result<std::string>()> new_uuid;
};
// new_uuid drawn from the operating system's random source.
StateContext make_state_context(FileSystem& fs, DataProtection& dpapi, Clock& clock);

// The protected root, held open (without delete sharing) for as long as the
// value lives, so that it is neither removed nor moved meanwhile.
class StateRoot {
 public:
  StateRoot(std::string path, std::unique_ptr<OpenFile> handle) : path_(std::move(path)), handle_(std::move(handle)) {}
  const std::string& path() const { return path_; }
  // root + "\" + name
  std::string join(std::string_view name) const;

 private:
  std::string path_;
  std::unique_ptr<OpenFile> handle_;
};

// The exclusive `.gate`; the store is the holder's while it is open.
using StateGate = std::unique_ptr<OpenFile>;

// "DESKTOP_STATE_UNSAFE" unless the path is absolute with a drive letter, not
// UNC or a device path, has no colon after the drive's, no ".." component
// (split at "\" and "/"), and neither it nor any existing ancestor is a
// reparse point.
Status check_state_path(FileSystem& fs, std::string_view path);

// The last component (after the last "\" or "/").
std::string_view file_name_of(std::string_view path);
// directory + "\" + name, without doubling a trailing separator.
std::string join_path(std::string_view directory, std::string_view name);

// The root's SDDL for a user SID: SYSTEM alone for LocalSystem, SYSTEM and
// the user otherwise; protected, inherited by files and subdirectories.
std::string state_root_sddl(std::string_view user_sid);

// Creates or verifies <state_dir>\VorDesktop-v1, compares its DACL exactly
// and opens it. A state directory whose last component ends in a dot or a
// space is "DESKTOP_STATE_DIR_REQUIRED": Win32 drops those characters from a
// last component only, so such a name would be checked as one directory and
// the root made beneath another.
Result<StateRoot> ensure_state_directory(FileSystem& fs, CallerIdentity& identity, std::string_view state_dir);

// Renders the DACL of `path` and of `expected_sddl` and requires the same text.
Status compare_state_dacl(FileSystem& fs, const std::string& path, const std::string& expected_sddl);

// Opens or creates `.gate` without sharing: "DESKTOP_OWNER_CONFLICT" over the
// OS error when another holder has it.
Result<StateGate> open_gate(FileSystem& fs, const StateRoot& root);

// At most `limit` bytes of a regular file: "DESKTOP_FILE_UNAVAILABLE" when it
// cannot be opened, "DESKTOP_FILE_TOO_LARGE" for a directory, a link or more
// than `limit` bytes. The file is opened sharing read and delete access, so
// that a reader without the gate (`status`) never makes the gate holder's
// deletion fail.
Result<Bytes> read_bounded_file(FileSystem& fs, std::string_view path, std::size_t limit);

// Creates a new file (never replacing one), writes all bytes and flushes.
// "DESKTOP_STATE_WRITE_FAILED" over the OS error; a partly written file stays.
Status write_whole_file(FileSystem& fs, std::string_view path, std::span<const std::uint8_t> bytes);

// A target that is open elsewhere cannot be replaced, whatever its sharing
// (ERROR_ACCESS_DENIED, or a sharing violation). A reader that holds it only
// for one bounded read is waited for, in slices, up to this long.
inline constexpr std::chrono::milliseconds kReplaceRetrySlice{10};
inline constexpr std::chrono::milliseconds kReplaceRetryBudget{1000};

// Writes `temp` whole, then moves it over `target` (replace, write-through),
// trying the move again while the target is held open, up to the budget
// above. A failed move deletes the temporary and is
// "DESKTOP_STATE_WRITE_FAILED" over the last move's error.
Status replace_file_atomically(FileSystem& fs, Clock& clock, std::string_view target, std::string_view temp,
                               std::span<const std::uint8_t> bytes);

// As replace_file_atomically, but the move never replaces: an existing target
// fails with "DESKTOP_STATE_WRITE_FAILED" (ERROR_ALREADY_EXISTS). So a file
// that must be created new is never seen half written.
Status create_file_atomically(FileSystem& fs, std::string_view target, std::string_view temp,
                              std::span<const std::uint8_t> bytes);

// Deletes a state file; a missing file is success.
Status remove_state_file(FileSystem& fs, std::string_view path);

// True when the file exists (its attributes can be read).
bool state_file_exists(FileSystem& fs, std::string_view path);

bool has_protected_header(std::span<const std::uint8_t> bytes);

// The envelope of `plaintext` protected for the file named by `path`.
Result<Bytes> protect_data(DataProtection& dpapi, std::string_view path, std::span<const std::uint8_t> plaintext,
                           std::size_t limit);
// The plaintext of an envelope read from `path`.
Result<Bytes> unprotect_file(DataProtection& dpapi, std::string_view path, std::span<const std::uint8_t> envelope,
                             std::size_t limit);

// Enough free space for the caller, and images within their total.
Status check_disk_quota(FileSystem& fs, const StateRoot& root);

// Zeroes the bytes, empties the buffer, zeroes its whole capacity.
inline void wipe_plaintext_buffer(Bytes& buffer) { wipe_bytes(buffer); }

// The same for text that held plaintext (a serialized receipt).
void wipe_text(std::string& text);

// Wipes a buffer when it goes out of scope.
class WipeOnExit {
 public:
  explicit WipeOnExit(Bytes& buffer) : buffer_(buffer) {}
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
  ~WipeOnExit() { wipe_bytes(buffer_); }

 private:
  Bytes& buffer_;
};

}  // namespace vor::desktop
