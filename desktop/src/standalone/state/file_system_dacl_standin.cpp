// Wine stand-in: Wine never keeps the protected flag of a file's DACL, so
// "D:P(...)" reads back as "D:(...)". The descriptor is read as Wine returns
// it and the flag is added; its entries are still compared exactly.
#include <windows.h>

#include "standalone/state/file_system_dacl_win32.h"

namespace vor::desktop {

Result<Bytes> read_file_dacl(const std::wstring& path, std::uint32_t size) {
  auto buffer = read_stored_dacl(path, size);
  if (!buffer) return buffer;
  if (!::SetSecurityDescriptorControl(buffer->data(), SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
    return fail(Error::os(::GetLastError(), "SetSecurityDescriptorControl failed"));
  }
  return buffer;
}

}  // namespace vor::desktop
