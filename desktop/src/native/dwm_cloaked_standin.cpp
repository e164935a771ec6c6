// Wine stand-in: Wine's DWM answers E_NOTIMPL for DWMWA_CLOAKED, and no window
// is ever cloaked there.
#include "native/ports_win32.h"

namespace vor::desktop {

std::expected<std::uint32_t, std::int32_t> dwm_cloaked(HWND) { return 0u; }

}  // namespace vor::desktop
