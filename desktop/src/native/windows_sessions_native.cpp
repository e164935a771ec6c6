#include "native/windows_sessions.h"

namespace vor::desktop {

// A native (Linux) build has no Windows sessions to list.
Result<std::vector<WindowsSession>> enumerate_windows_sessions() { return fail(coded(kSessionsUnavailable)); }

}  // namespace vor::desktop
