// The narrow interfaces through which the setup-recovery rules reach the
// operating system. Each call returns a raw fact: a value, or the Win32 error
// of the failed call as `Error::os`. The Win32 adapters (ports_win32.cpp) make
// no decisions; tests script fakes per case.
//
//   SetupPorts ports{files, processes, clock, ids, protection};
//   auto lock = acquire_component_update_lock(ports, layout);
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>

#include "common/data_protection.h"
#include "common/error.h"
#include "common/win32_values.h"

namespace vor::setup {

enum class FileShare {
  kRead,             // FILE_SHARE_READ
  kReadWriteDelete,  // FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE
};

struct FileMetadata {
  std::uint32_t attributes = 0;  // FILE_ATTRIBUTE_* bits
  std::uint64_t size = 0;
  std::uint64_t last_write = 0;  // FILETIME: 100 ns units since 1601-01-01 UTC
};

// A file open for writing; destroying it closes the handle.
class WritableFile {
 public:
  virtual ~WritableFile() = default;
  virtual Status write_all(std::span<const std::uint8_t> bytes) = 0;
  virtual Status flush() = 0;  // FlushFileBuffers
};

// A file open for reading; destroying it closes the handle.
class ReadableFile {
 public:
  virtual ~ReadableFile() = default;
  virtual Result<std::uint64_t> size() = 0;  // GetFileSizeEx
  // ReadFile of at most `into.size()` bytes; 0 at the end of the file.
  virtual Result<std::size_t> read(std::span<std::uint8_t> into) = 0;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;
  // CreateDirectoryW of one directory (its parent must exist).
  virtual Status create_directory(const std::string& path) = 0;
  // CreateFileW(GENERIC_WRITE, share, CREATE_NEW): fails with 80 when the file exists.
  virtual Result<std::unique_ptr<WritableFile>> create_new(const std::string& path, FileShare share) = 0;
  // Opens for reading (shared for reading, writing and deletion) and reads
  // until end of file or until `max_bytes` bytes are read, whichever is first.
  virtual Result<Bytes> read_file(const std::string& path, std::size_t max_bytes) = 0;
  // CreateFileW(GENERIC_READ, read|write|delete sharing, OPEN_EXISTING).
  virtual Result<std::unique_ptr<ReadableFile>> open_read(const std::string& path) = 0;
  // Attributes, size and last-write time; `follow_links` opens the target of a
  // reparse point, otherwise the link itself is described.
  virtual Result<FileMetadata> metadata(const std::string& path, bool follow_links) = 0;
  // MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH).
  virtual Status move_replace_write_through(const std::string& from, const std::string& to) = 0;
  virtual Status delete_file(const std::string& path) = 0;
  virtual Status remove_directory(const std::string& path) = 0;  // RemoveDirectoryW
};

class ProcessSys {
 public:
  virtual ~ProcessSys() = default;
  virtual std::uint32_t current_process_id() = 0;
  // OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION) and close it again.
  virtual Status open_process_query_limited(std::uint32_t pid) = 0;
};

class Clock {
 public:
  virtual ~Clock() = default;
  // GetSystemTimePreciseAsFileTime: 100 ns units since 1601-01-01 UTC.
  virtual std::uint64_t now_filetime() = 0;
};

class IdSource {
 public:
  virtual ~IdSource() = default;
  // A fresh random version-4 UUID as 32 lower-case hex digits.
  virtual Result<std::string> new_uuid_hex() = 0;
};

struct SetupPorts {
  FileSystem& files;
  ProcessSys& processes;
  Clock& clock;
  IdSource& ids;
  DataProtection& protection;
};

// UUIDs from the operating system's random source (common/crypto.h).
std::unique_ptr<IdSource> make_system_id_source();

#ifdef _WIN32
std::unique_ptr<FileSystem> make_win32_file_system();
std::unique_ptr<ProcessSys> make_win32_process_sys();
std::unique_ptr<Clock> make_win32_clock();
#endif

}  // namespace vor::setup
