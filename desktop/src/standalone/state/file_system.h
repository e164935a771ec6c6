// The file-system port of the protected state store.
//
// Raw calls only: every method maps to one Win32 call (or one fixed pair) and
// returns its facts or its OS error (`Error::os`). Paths are UTF-8 Win32
// paths. Every rule (path vetting, limits, codes, envelopes) lives in
// state_store.h on top of this port; the Win32 adapter is
// `make_win32_file_system()`, tests script an in-memory fake.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/data_protection.h"
#include "common/error.h"
#include "common/win32_values.h"

namespace vor::desktop {

enum class FileAccess { kRead, kWrite, kReadWrite };
enum class FileCreation { kCreateNew, kOpenAlways, kOpenExisting };

// FILE_SHARE_* bits.
inline constexpr std::uint32_t kShareRead = 0x1;
inline constexpr std::uint32_t kShareWrite = 0x2;
inline constexpr std::uint32_t kShareDelete = 0x4;

struct FileOpenOptions {
  FileAccess access = FileAccess::kRead;
  std::uint32_t share = 0;
  FileCreation creation = FileCreation::kOpenExisting;
  bool open_reparse_point = true;  // FILE_FLAG_OPEN_REPARSE_POINT
  bool backup_semantics = false;   // FILE_FLAG_BACKUP_SEMANTICS (needed to open a directory)
};

// Facts of an open file (GetFileInformationByHandleEx basic, standard and
// attribute-tag classes).
struct OpenFileFacts {
  std::uint32_t attributes = 0;
  std::uint32_t reparse_tag = 0;
  std::uint64_t size = 0;
};

// MoveFileExW flags.
inline constexpr std::uint32_t kMoveReplaceExisting = 0x1;
inline constexpr std::uint32_t kMoveWriteThrough = 0x8;

struct DirectoryEntry {
  std::string name;  // the last component only
  std::uint32_t attributes = 0;
  std::uint64_t size = 0;  // as the listing reports it
  std::uint64_t last_write = 0;  // FILETIME of the last write, 100 ns since 1601-01-01 UTC
};

// An open file; closing is the destructor's job.
class OpenFile {
 public:
  virtual ~OpenFile() = default;
  virtual Result<OpenFileFacts> query() = 0;
  // Bytes read into `out`; 0 at the end of the file.
  virtual Result<std::size_t> read(std::span<std::uint8_t> out) = 0;
  // Bytes written; may be fewer than given.
  virtual Result<std::size_t> write(std::span<const std::uint8_t> data) = 0;
  virtual Status flush() = 0;  // FlushFileBuffers
};

// A rendered security descriptor: the UTF-16 units that
// ConvertSecurityDescriptorToStringSecurityDescriptorW returned, as many as
// the length it reported (which counts the terminating NUL). `present` is
// false when the call succeeded without returning text.
struct RenderedSddl {
  bool present = false;
  std::vector<char16_t> units;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // GetFileAttributesW: the path's own attributes, links not followed.
  virtual Result<std::uint32_t> attributes(const std::string& path) = 0;
  virtual Result<std::unique_ptr<OpenFile>> open(const std::string& path, const FileOpenOptions& options) = 0;
  virtual Status move(const std::string& from, const std::string& to, std::uint32_t flags) = 0;
  virtual Status remove(const std::string& path) = 0;  // DeleteFileW
  // FindFirstFileW/FindNextFileW over "<dir>\*", without "." and "..", in
  // the directory's own order.
  virtual Result<std::vector<DirectoryEntry>> list(const std::string& directory) = 0;
  // GetDiskFreeSpaceExW: bytes available to the calling user.
  virtual Result<std::uint64_t> free_bytes_for_caller(const std::string& path) = 0;

  // ConvertStringSecurityDescriptorToSecurityDescriptorW (SDDL_REVISION_1):
  // the self-relative descriptor's bytes.
  virtual Result<Bytes> descriptor_from_sddl(const std::string& sddl) = 0;
  // CreateDirectoryW with SECURITY_ATTRIBUTES {24, descriptor, FALSE}.
  virtual Status create_directory(const std::string& path, const Bytes& descriptor) = 0;
  // GetFileSecurityW(DACL_SECURITY_INFORMATION) with an empty buffer: the
  // size it says it needs (0 when it said nothing).
  virtual std::uint32_t dacl_size(const std::string& path) = 0;
  // GetFileSecurityW(DACL_SECURITY_INFORMATION) into a buffer of `size`.
  virtual Result<Bytes> read_dacl(const std::string& path, std::uint32_t size) = 0;
  // ConvertSecurityDescriptorToStringSecurityDescriptorW (SDDL_REVISION_1,
  // DACL_SECURITY_INFORMATION).
  virtual Result<RenderedSddl> render_dacl(const Bytes& descriptor) = 0;
};

// The SID string of the current process's user, behind a port so that the
// root's access list can be chosen in tests.
class CallerIdentity {
 public:
  virtual ~CallerIdentity() = default;
  virtual Result<std::string> current_user_sid() = 0;
};

#ifdef _WIN32
std::unique_ptr<FileSystem> make_win32_file_system();
// query_process_user_sid of the current process (native/process_sys_win32.h).
std::unique_ptr<CallerIdentity> make_win32_caller_identity();
#endif

}  // namespace vor::desktop
