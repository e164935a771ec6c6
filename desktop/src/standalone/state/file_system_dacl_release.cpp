#include "standalone/state/file_system_dacl_win32.h"

namespace vor::desktop {

Result<Bytes> read_file_dacl(const std::wstring& path, std::uint32_t size) { return read_stored_dacl(path, size); }

}  // namespace vor::desktop
