#include <windows.h>
#include <wtsapi32.h>

#include "native/windows_sessions.h"

namespace vor::desktop {

Result<std::vector<WindowsSession>> enumerate_windows_sessions() {
  WTS_SESSION_INFOW* info = nullptr;
  DWORD count = 0;
  if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) {
    return fail(Error::os(::GetLastError()).context("DESKTOP_SESSIONS_UNAVAILABLE"));
  }
  std::vector<WindowsSession> out;
  for (DWORD i = 0; i < count; ++i) out.push_back({info[i].SessionId, info[i].State == WTSActive});
  ::WTSFreeMemory(info);
  return out;
}

}  // namespace vor::desktop
