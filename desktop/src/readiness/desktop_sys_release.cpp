#include "readiness/desktop_sys_win32.h"

namespace vor::desktop {

Win32<DesktopSys::SessionBuffer> wts_connect_state(std::uint32_t session) { return query_wts_connect_state(session); }

DesktopSys::HresultValue dwm_composition_enabled() { return query_dwm_composition(); }

}  // namespace vor::desktop
