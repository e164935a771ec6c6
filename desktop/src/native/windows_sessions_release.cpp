#include <windows.h>
#include <wtsapi32.h>

#include "common/handle_win32.h"
#include "native/windows_sessions.h"

namespace vor::desktop {

Result<std::vector<WindowsSession>> enumerate_windows_sessions() {
  WTS_SESSION_INFOW* info = nullptr;
  DWORD count = 0;
  if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) {
    return fail(coded_os(kSessionsUnavailable, ::GetLastError()));
  }
  const UniqueWtsMemory owner(info);
  std::vector<WindowsSession> out;
  for (DWORD i = 0; i < count; ++i) out.push_back({info[i].SessionId, info[i].State == WTSActive});
  return out;
}

}  // namespace vor::desktop
