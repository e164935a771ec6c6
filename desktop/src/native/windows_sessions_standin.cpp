#include <windows.h>

#include "native/windows_sessions.h"

// Wine lists no sessions at all: the caller's own session stands for the one
// active session of the machine.
namespace vor::desktop {

Result<std::vector<WindowsSession>> enumerate_windows_sessions() {
  DWORD own = 0;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &own)) {
    return fail(coded_os(kSessionsUnavailable, ::GetLastError()));
  }
  return std::vector<WindowsSession>{{own, true}};
}

}  // namespace vor::desktop
