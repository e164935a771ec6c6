// The one step of the file-system adapter that differs between the release
// build and the Wine stand-in build: reading a file's DACL.
#pragma once

#include <string>

#include "common/data_protection.h"
#include "common/error.h"

namespace vor::desktop {

// GetFileSecurityW(DACL_SECURITY_INFORMATION) into a buffer of `size` bytes,
// as the system returns it (file_system_win32.cpp).
Result<Bytes> read_stored_dacl(const std::wstring& path, std::uint32_t size);

// The DACL that the rules compare: the stored one in the release build
// (file_system_dacl_release.cpp), adjusted for Wine in the stand-in build
// (file_system_dacl_standin.cpp).
Result<Bytes> read_file_dacl(const std::wstring& path, std::uint32_t size);

}  // namespace vor::desktop
