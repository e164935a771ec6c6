// Thin Win32 adapters of the setup-recovery ports: each call is one Win32
// call (or one open-use-close sequence) and reports its raw error.
#include <windows.h>

#include <algorithm>

#include "common/handle_win32.h"
#include "common/text.h"
#include "installer/ports.h"

namespace vor::setup {
namespace {

Error last_os_error() { return Error::os(::GetLastError()); }

// Text that cannot become UTF-16 reaches no Win32 call: ERROR_INVALID_NAME.
Result<std::wstring> wide(const std::string& path) {
  auto w = to_wide(path);
  if (!w) return fail(Error::os(ERROR_INVALID_NAME));
  return std::move(*w);
}

class Win32WritableFile final : public WritableFile {
 public:
  explicit Win32WritableFile(UniqueFile file) : file_(std::move(file)) {}

  Status write_all(std::span<const std::uint8_t> bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
      DWORD written = 0;
      if (!::WriteFile(file_.get(), bytes.data() + done, chunk, &written, nullptr)) return fail(last_os_error());
      if (written == 0) return fail(Error::os(ERROR_WRITE_FAULT));
      done += written;
    }
    return {};
  }

  Status flush() override {
    if (!::FlushFileBuffers(file_.get())) return fail(last_os_error());
    return {};
  }

 private:
  UniqueFile file_;
};

class Win32ReadableFile final : public ReadableFile {
 public:
  explicit Win32ReadableFile(UniqueFile file) : file_(std::move(file)) {}

  Result<std::uint64_t> size() override {
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(file_.get(), &size)) return fail(last_os_error());
    return static_cast<std::uint64_t>(size.QuadPart);
  }

  Result<std::size_t> read(std::span<std::uint8_t> into) override {
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(into.size(), 1u << 30));
    if (!::ReadFile(file_.get(), into.data(), want, &got, nullptr)) return fail(last_os_error());
    return static_cast<std::size_t>(got);
  }

 private:
  UniqueFile file_;
};

class Win32FileSystem final : public FileSystem {
 public:
  Status create_directory(const std::string& path) override {
    VOR_ASSIGN_OR_RETURN(auto w, wide(path));
    if (!::CreateDirectoryW(w.c_str(), nullptr)) return fail(last_os_error());
    return {};
  }

  Result<std::unique_ptr<WritableFile>> create_new(const std::string& path, FileShare share) override {
    VOR_ASSIGN_OR_RETURN(auto w, wide(path));
    const DWORD share_mode =
        share == FileShare::kRead ? FILE_SHARE_READ : (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    UniqueFile file(
        ::CreateFileW(w.c_str(), GENERIC_WRITE, share_mode, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return fail(last_os_error());
    return std::unique_ptr<WritableFile>(std::make_unique<Win32WritableFile>(std::move(file)));
  }

  Result<Bytes> read_file(const std::string& path, std::size_t max_bytes) override {
    VOR_ASSIGN_OR_RETURN(auto w, wide(path));
    UniqueFile file(::CreateFileW(w.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return fail(last_os_error());
    Bytes out;
    std::uint8_t buffer[65536];
    while (out.size() < max_bytes) {
      const DWORD want = static_cast<DWORD>(std::min<std::size_t>(sizeof buffer, max_bytes - out.size()));
      DWORD got = 0;
      if (!::ReadFile(file.get(), buffer, want, &got, nullptr)) return fail(last_os_error());
      if (got == 0) break;
      out.insert(out.end(), buffer, buffer + got);
    }
    return out;
  }

  Result<std::unique_ptr<ReadableFile>> open_read(const std::string& path) override {
    VOR_ASSIGN_OR_RETURN(auto w, wide(path));
    UniqueFile file(::CreateFileW(w.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return fail(last_os_error());
    return std::unique_ptr<ReadableFile>(std::make_unique<Win32ReadableFile>(std::move(file)));
  }

  Result<FileMetadata> metadata(const std::string& path, bool follow_links) override {
    VOR_ASSIGN_OR_RETURN(auto w, wide(path));
    if (!follow_links) {
      WIN32_FILE_ATTRIBUTE_DATA data{};
      if (!::GetFileAttributesExW(w.c_str(), GetFileExInfoStandard, &data)) return fail(last_os_error());
      return FileMetadata{data.dwFileAttributes, (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow,
                          (std::uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime};
    }
    // Opening without FILE_FLAG_OPEN_REPARSE_POINT follows links; backup
    // semantics lets the same call open a directory.
    UniqueFile file(::CreateFileW(w.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file) return fail(last_os_error());
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file.get(), &info)) return fail(last_os_error());
    return FileMetadata{info.dwFileAttributes, (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow,
                        (std::uint64_t{info.ftLastWriteTime.dwHighDateTime} << 32) | info.ftLastWriteTime.dwLowDateTime};
  }

  Status move_replace_write_through(const std::string& from, const std::string& to) override {
    VOR_ASSIGN_OR_RETURN(auto wf, wide(from));
    VOR_ASSIGN_OR_RETURN(auto wt, wide(to));
    if (!::MoveFileExW(wf.c_str(), wt.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return fail(last_os_error());
    }
    return {};
  }

  Status delete_file(const std::string& path) override {
    VOR_ASSIGN_OR_RETURN(auto w, wide(path));
    if (!::DeleteFileW(w.c_str())) return fail(last_os_error());
    return {};
  }

  Status remove_directory(const std::string& path) override {
    VOR_ASSIGN_OR_RETURN(auto w, wide(path));
    if (!::RemoveDirectoryW(w.c_str())) return fail(last_os_error());
    return {};
  }
};

class Win32ProcessSys final : public ProcessSys {
 public:
  std::uint32_t current_process_id() override { return ::GetCurrentProcessId(); }

  Status open_process_query_limited(std::uint32_t pid) override {
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!process) return fail(last_os_error());
    return {};
  }
};

class Win32Clock final : public Clock {
 public:
  std::uint64_t now_filetime() override {
    FILETIME ft{};
    ::GetSystemTimePreciseAsFileTime(&ft);
    return (std::uint64_t{ft.dwHighDateTime} << 32) | ft.dwLowDateTime;
  }
};

}  // namespace

std::unique_ptr<FileSystem> make_win32_file_system() { return std::make_unique<Win32FileSystem>(); }
std::unique_ptr<ProcessSys> make_win32_process_sys() { return std::make_unique<Win32ProcessSys>(); }
std::unique_ptr<Clock> make_win32_clock() { return std::make_unique<Win32Clock>(); }

}  // namespace vor::setup
