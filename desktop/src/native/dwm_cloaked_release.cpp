#include <dwmapi.h>

#include "native/dwm_functions_win32.h"
#include "native/ports_win32.h"

namespace vor::desktop {

std::expected<std::uint32_t, std::int32_t> dwm_cloaked(HWND window) {
  DWORD value = 0;
  auto get = dwm_get_window_attribute.get();
  if (!get) return std::unexpected<std::int32_t>(HRESULT_FROM_WIN32(get.error()));
  const HRESULT hr = (*get)(window, DWMWA_CLOAKED, &value, sizeof value);
  if (FAILED(hr)) return std::unexpected<std::int32_t>(hr);
  return value;
}

}  // namespace vor::desktop
