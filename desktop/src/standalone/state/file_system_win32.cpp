// Win32 adapter of the state store's file-system port: one call per method,
// the OS error returned as it is.
#include <windows.h>
#include <sddl.h>

#include <cstring>

#include "common/handle_win32.h"
#include "common/text.h"
#include "standalone/state/file_system.h"
#include "standalone/state/file_system_dacl_win32.h"

namespace vor::desktop {
namespace {

constexpr DWORD kErrorInvalidName = 123;

Error last_error(const char* call) { return Error::os(::GetLastError(), std::string(call) + " failed"); }

Result<std::wstring> wide(const std::string& path) {
  auto w = to_wide(path);
  if (!w) return fail(Error::os(kErrorInvalidName, "path is not valid UTF-8"));
  return std::move(*w);
}

class Win32File final : public OpenFile {
 public:
  explicit Win32File(UniqueFile handle) : handle_(std::move(handle)) {}

  Result<OpenFileFacts> query() override {
    FILE_ATTRIBUTE_TAG_INFO tag{};
    if (!::GetFileInformationByHandleEx(handle_.get(), FileAttributeTagInfo, &tag, sizeof(tag))) {
      return fail(last_error("GetFileInformationByHandleEx"));
    }
    OpenFileFacts facts;
    facts.attributes = tag.FileAttributes;
    facts.reparse_tag = (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ? tag.ReparseTag : 0;
    if (!(tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
      LARGE_INTEGER size{};
      if (!::GetFileSizeEx(handle_.get(), &size)) return fail(last_error("GetFileSizeEx"));
      facts.size = static_cast<std::uint64_t>(size.QuadPart);
    }
    return facts;
  }

  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size(), 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(handle_.get(), out.data(), want, &got, nullptr)) return fail(last_error("ReadFile"));
    return static_cast<std::size_t>(got);
  }

  Result<std::size_t> write(std::span<const std::uint8_t> data) override {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(data.size(), 1u << 30));
    DWORD put = 0;
    if (!::WriteFile(handle_.get(), data.data(), want, &put, nullptr)) return fail(last_error("WriteFile"));
    return static_cast<std::size_t>(put);
  }

  Status flush() override {
    if (!::FlushFileBuffers(handle_.get())) return fail(last_error("FlushFileBuffers"));
    return {};
  }

 private:
  UniqueFile handle_;
};

class Win32FileSystem final : public FileSystem {
 public:
  Result<std::uint32_t> attributes(const std::string& path) override {
    VOR_ASSIGN_OR_RETURN(auto w, wide(path));
    const DWORD attributes = ::GetFileAttributesW(w.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return fail(last_error("GetFileAttributesW"));
    return static_cast<std::uint32_t>(attributes);
  }

  Result<std::unique_ptr<OpenFile>> open(const std::string& path, const FileOpenOptions& options) override {
    VOR_ASSIGN_OR_RETURN(auto w, wide(path));
    DWORD access = 0;
    switch (options.access) {
      case FileAccess::kRead: access = GENERIC_READ; break;
      case FileAccess::kWrite: access = GENERIC_WRITE; break;
      case FileAccess::kReadWrite: access = GENERIC_READ | GENERIC_WRITE; break;
    }
    DWORD creation = OPEN_EXISTING;
    switch (options.creation) {
      case FileCreation::kCreateNew: creation = CREATE_NEW; break;
      case FileCreation::kOpenAlways: creation = OPEN_ALWAYS; break;
      case FileCreation::kOpenExisting: creation = OPEN_EXISTING; break;
    }
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    if (options.open_reparse_point) flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    if (options.backup_semantics) flags |= FILE_FLAG_BACKUP_SEMANTICS;
    UniqueFile handle(::CreateFileW(w.c_str(), access, options.share, nullptr, creation, flags, nullptr));
    if (!handle) return fail(last_error("CreateFileW"));
    return std::unique_ptr<OpenFile>(std::make_unique<Win32File>(std::move(handle)));
  }

  Status move(const std::string& from, const std::string& to, std::uint32_t flags) override {
    VOR_ASSIGN_OR_RETURN(auto a, wide(from));
    VOR_ASSIGN_OR_RETURN(auto b, wide(to));
    if (!::MoveFileExW(a.c_str(), b.c_str(), flags)) return fail(last_error("MoveFileExW"));
    return {};
  }

  Status remove(const std::string& path) override {
    VOR_ASSIGN_OR_RETURN(auto w, wide(path));
    if (!::DeleteFileW(w.c_str())) return fail(last_error("DeleteFileW"));
    return {};
  }

  Result<std::vector<DirectoryEntry>> list(const std::string& directory) override {
    std::string pattern = directory;
    if (pattern.empty() || (pattern.back() != '\\' && pattern.back() != '/')) pattern += '\\';
    pattern += '*';
    VOR_ASSIGN_OR_RETURN(auto w, wide(pattern));
    WIN32_FIND_DATAW data{};
    HANDLE find = ::FindFirstFileExW(w.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr, 0);
    if (find == INVALID_HANDLE_VALUE) return fail(last_error("FindFirstFileExW"));
    std::vector<DirectoryEntry> entries;
    DWORD error = 0;
    for (;;) {
      const std::wstring_view name(data.cFileName);
      if (name != L"." && name != L"..") {
        auto utf8 = from_wide(name);
        if (!utf8) {
          error = kErrorInvalidName;
          break;
        }
        entries.push_back({std::move(*utf8), data.dwFileAttributes,
                           (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow,
                           (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
                               data.ftLastWriteTime.dwLowDateTime});
      }
      if (!::FindNextFileW(find, &data)) {
        error = ::GetLastError();
        break;
      }
    }
    ::FindClose(find);
    if (error != ERROR_NO_MORE_FILES) return fail(Error::os(error, "FindNextFileW failed"));
    return entries;
  }

  Result<std::uint64_t> free_bytes_for_caller(const std::string& path) override {
    VOR_ASSIGN_OR_RETURN(auto w, wide(path));
    ULARGE_INTEGER available{};
    if (!::GetDiskFreeSpaceExW(w.c_str(), &available, nullptr, nullptr)) return fail(last_error("GetDiskFreeSpaceExW"));
    return static_cast<std::uint64_t>(available.QuadPart);
  }

  Result<Bytes> descriptor_from_sddl(const std::string& sddl) override {
    auto w = to_wide(sddl);
    if (!w) return fail(Error::os(ERROR_INVALID_PARAMETER, "SDDL is not valid UTF-8"));
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ULONG size = 0;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(w->c_str(), SDDL_REVISION_1, &descriptor, &size)) {
      return fail(last_error("ConvertStringSecurityDescriptorToSecurityDescriptorW"));
    }
    UniqueLocal owner(descriptor);
    const auto* bytes = static_cast<const std::uint8_t*>(descriptor);
    return Bytes(bytes, bytes + size);
  }

  Status create_directory(const std::string& path, const Bytes& descriptor) override {
    VOR_ASSIGN_OR_RETURN(auto w, wide(path));
    Bytes copy = descriptor;  // the API takes a non-const pointer
    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), copy.data(), FALSE};
    if (!::CreateDirectoryW(w.c_str(), &attributes)) return fail(last_error("CreateDirectoryW"));
    return {};
  }

  std::uint32_t dacl_size(const std::string& path) override {
    auto w = wide(path);
    if (!w) return 0;
    DWORD needed = 0;
    ::GetFileSecurityW(w->c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
    return needed;
  }

  Result<Bytes> read_dacl(const std::string& path, std::uint32_t size) override {
    VOR_ASSIGN_OR_RETURN(auto w, wide(path));
    return read_file_dacl(w, size);
  }

  Result<RenderedSddl> render_dacl(const Bytes& descriptor) override {
    Bytes copy = descriptor;
    LPWSTR text = nullptr;
    ULONG length = 0;
    if (!::ConvertSecurityDescriptorToStringSecurityDescriptorW(copy.data(), SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                &text, &length)) {
      return fail(last_error("ConvertSecurityDescriptorToStringSecurityDescriptorW"));
    }
    RenderedSddl rendered;
    if (text == nullptr) return rendered;
    UniqueLocal owner(text);
    rendered.present = true;
    // Bounded before copying: the rules refuse anything longer anyway.
    const ULONG copied = std::min<ULONG>(length, 65537);
    rendered.units.resize(copied);
    std::memcpy(rendered.units.data(), text, copied * sizeof(char16_t));
    return rendered;
  }
};

}  // namespace

Result<Bytes> read_stored_dacl(const std::wstring& path, std::uint32_t size) {
  Bytes buffer(size);
  DWORD needed = 0;
  if (!::GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, buffer.data(), size, &needed)) {
    return fail(Error::os(::GetLastError(), "GetFileSecurityW failed"));
  }
  return buffer;
}

std::unique_ptr<FileSystem> make_win32_file_system() { return std::make_unique<Win32FileSystem>(); }

}  // namespace vor::desktop
