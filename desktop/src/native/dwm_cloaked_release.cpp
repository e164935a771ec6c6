#include <dwmapi.h>

#include "native/ports_win32.h"

namespace vor::desktop {

std::expected<std::uint32_t, std::int32_t> dwm_cloaked(HWND window) {
  DWORD value = 0;
  const HRESULT hr = ::DwmGetWindowAttribute(window, DWMWA_CLOAKED, &value, sizeof value);
  if (FAILED(hr)) return std::unexpected<std::int32_t>(hr);
  return value;
}

}  // namespace vor::desktop
