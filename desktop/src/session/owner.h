// The session owner record `session.owner` and the session pipe derived from
// it. A running host writes the record into its state root; every session
// client reads it, derives the pipe name and later checks the pipe server
// against it.
//
//   auto owner = read_session_owner(files, state_root);      // strict, name rule applied
//   auto name = session_pipe_name(*owner);                  // "\\.\pipe\Vor.Desktop.Session.<instance>"
//   write_session_owner(files, state_root, owner);          // temporary file, then atomic replace
//
// The record is plain compact JSON (no DPAPI, no header) with its fields in
// declared order. The file operations come through `OwnerRecordFiles`, which
// the composition root binds to the protected state directory's safety
// check, whole-file write and replace.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "native/win32_result.h"

namespace vor::desktop {

inline constexpr std::string_view kSessionOwnerFileName = "session.owner";
inline constexpr std::size_t kSessionOwnerMaxBytes = 4096;
inline constexpr std::string_view kSessionPipePrefix = "\\\\.\\pipe\\Vor.Desktop.Session.";
inline constexpr std::size_t kSessionInstanceLength = 32;

inline constexpr std::string_view kSessionNotRunning = "DESKTOP_SESSION_NOT_RUNNING";
inline constexpr std::string_view kPipeAclFailed = "DESKTOP_PIPE_ACL_FAILED";
inline constexpr std::string_view kPipeUnavailable = "DESKTOP_PIPE_UNAVAILABLE";

// The session pipe's access list, as SDDL, with the host's user SID placed
// between the prefix and the suffix:
//   D:P                  a DACL marked protected: nothing is inherited into it
//   (A;;GA;;;SY)         allow GENERIC_ALL to LocalSystem, so that a SYSTEM
//                        caller in session 0 can reach the host
//   (A;;GA;;;<userSid>)  allow GENERIC_ALL to the user the host runs as
// No other entry: every other account, administrators and the anonymous
// logon included, is refused by the absence of an entry.
inline constexpr std::string_view kSessionPipeSddlPrefix = "D:P(A;;GA;;;SY)(A;;GA;;;";
inline constexpr std::string_view kSessionPipeSddlSuffix = ")";

// Server instances of the session pipe: the host creates the next instance
// before it disconnects the current client, so never more than two exist.
inline constexpr std::uint32_t kSessionPipeMaxInstances = 2;
inline constexpr std::uint32_t kSessionPipeBufferBytes = 65536;

struct Owner {
  std::uint32_t protocol = 1;
  std::string instance;  // 32 hex digits: a version-4 UUID without hyphens
  std::uint32_t pid = 0;
  std::uint64_t created = 0;  // the host's creation FILETIME
  std::uint32_t session_id = 0;
  std::string user_sid;
  bool operator==(const Owner&) const = default;
};

// Compact JSON in declared field order.
std::string encode_owner(const Owner& owner);

// Strict: an object of exactly the six keys (none missing, none twice, no
// other), `protocol`, `pid`, `sessionId` as u32, `created` as u64, the rest
// strings, only whitespace after it. Any failure is "DESKTOP_STATE_INVALID"
// over the parse error. The pipe name rule is not applied here.
Result<Owner> decode_owner(std::string_view bytes);

// The pipe name rule: `protocol` 1, `instance` exactly 32 characters of
// 0-9, A-F, a-f, `sessionId` not 0, `userSid` at least 4 characters
// beginning with "S-1-"; else "DESKTOP_STATE_INVALID". The name keeps the
// instance as stored.
Result<std::string> session_pipe_name(const Owner& owner);

// The access list text for the host's user.
std::string session_pipe_sddl(std::string_view user_sid);

// "session-" + instance + ".tmp", the writer's temporary file.
std::string session_owner_temporary_name(const Owner& owner);

// The state directory's file operations the record needs.
class OwnerRecordFiles {
 public:
  virtual ~OwnerRecordFiles() = default;
  // The state-path safety check ("DESKTOP_STATE_UNSAFE").
  virtual Status check_state_path(const std::string& path) = 0;
  // The whole-file write of the state directory, flushed
  // ("DESKTOP_STATE_WRITE_FAILED").
  virtual Status write_whole_file(const std::string& path, std::string_view bytes) = 0;
  // MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH).
  virtual Win32<void> replace_file(const std::string& from, const std::string& to) = 0;
  virtual Win32<void> delete_file(const std::string& path) = 0;  // DeleteFileW
  // Whether the file exists (GetFileAttributesExW); false for ERROR_FILE_NOT_FOUND
  // and ERROR_PATH_NOT_FOUND, the raw error otherwise.
  virtual Win32<bool> exists(const std::string& path) = 0;
  // The bounded reader of the state directory ("DESKTOP_FILE_UNAVAILABLE"
  // over the OS error, "DESKTOP_FILE_TOO_LARGE").
  virtual Result<std::string> read_bounded(const std::string& path, std::size_t limit) = 0;
};

// `dir` + "\" + `name`, without doubling a trailing separator.
std::string join_state_path(std::string_view dir, std::string_view name);

// Writes the record into `state_root`: safety check of the record's path,
// the temporary file written whole and flushed, then replaced over the
// record; a failed replace deletes the temporary file and is
// "DESKTOP_STATE_WRITE_FAILED" over the OS error.
Status write_session_owner(OwnerRecordFiles& files, std::string_view state_root, const Owner& owner);

// Reads the record of `state_root` (safety-checked): absent is
// "DESKTOP_SESSION_NOT_RUNNING" (also when it vanishes between the probe and
// the read); at most 4,096 bytes; strict decode; the pipe name rule.
Result<Owner> read_session_owner(OwnerRecordFiles& files, std::string_view state_root);

// Deletes the record ("DESKTOP_STATE_WRITE_FAILED" over the OS error); a
// record already gone is not an error.
Status delete_session_owner(OwnerRecordFiles& files, std::string_view state_root);

}  // namespace vor::desktop
