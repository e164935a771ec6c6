// Wine stand-in: Wine keeps no session list (WTSQuerySessionInformationW
// fails for every session), so the caller's own session is the one active
// session; and Wine's DWM may report composition off, while what it shows is
// what a composed desktop would show, so composition is on.
#include <windows.h>
#include <wtsapi32.h>

#include "readiness/desktop_sys_win32.h"

namespace vor::desktop {

Win32<DesktopSys::SessionBuffer> wts_connect_state(std::uint32_t session) {
  DWORD own = 0;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &own)) return win32_error(::GetLastError());
  if (session != own) return win32_error(ERROR_INVALID_PARAMETER);
  return DesktopSys::SessionBuffer{sizeof(WTS_CONNECTSTATE_CLASS), WTSActive};
}

DesktopSys::HresultValue dwm_composition_enabled() { return {0, TRUE}; }

}  // namespace vor::desktop
