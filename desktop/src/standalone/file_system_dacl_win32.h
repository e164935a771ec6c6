// The one step of the file-system adapter that differs between the release
// build and the Wine stand-in build: reading a file's DACL.
#pragma once

#include <string>

#include "common/data_protection.h"
#include "common/error.h"

namespace vor::desktop {

// GetFileSecurityW(DACL_SECURITY_INFORMATION) into a buffer of `size` bytes.
Result<Bytes> read_file_dacl(const std::wstring& path, std::uint32_t size);

}  // namespace vor::desktop
