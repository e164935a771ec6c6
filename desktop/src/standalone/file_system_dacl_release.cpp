#include <windows.h>

#include "standalone/file_system_dacl_win32.h"

namespace vor::desktop {

Result<Bytes> read_file_dacl(const std::wstring& path, std::uint32_t size) {
  Bytes buffer(size);
  DWORD needed = 0;
  if (!::GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, buffer.data(), size, &needed)) {
    return fail(Error::os(::GetLastError(), "GetFileSecurityW failed"));
  }
  return buffer;
}

}  // namespace vor::desktop
