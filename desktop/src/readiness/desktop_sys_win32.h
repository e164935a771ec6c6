// The Win32 adapter of `DesktopSys`. The session state and the composition
// query are the calls that Wine 8.0 lacks; the stand-in build answers them
// from its own facts (desktop_sys_standin.cpp), the release build asks
// Windows (desktop_sys_release.cpp).
//
//   auto desktop = make_win32_desktop_sys();
//   check_session_ready(ports, *desktop);
#pragma once

#include <memory>

#include "readiness/desktop_sys.h"

namespace vor::desktop {

std::unique_ptr<DesktopSys> make_win32_desktop_sys();

// The two answers that differ by build: the release build gives the real
// calls below, the stand-in build its own facts.
Win32<DesktopSys::SessionBuffer> wts_connect_state(std::uint32_t session);
DesktopSys::HresultValue dwm_composition_enabled();

// WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, session, WTSConnectState).
Win32<DesktopSys::SessionBuffer> query_wts_connect_state(std::uint32_t session);
// DwmIsCompositionEnabled.
DesktopSys::HresultValue query_dwm_composition();

}  // namespace vor::desktop
