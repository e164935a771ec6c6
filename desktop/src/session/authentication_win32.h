// The Win32 adapter of `PeerAuthSys` for one connected server instance of
// the session pipe (the pipe handle stays owned by the caller), and the
// process-ending function the host hands to the authentication.
#pragma once

#include <windows.h>

#include <memory>

#include "session/authentication.h"

namespace vor::desktop {

std::unique_ptr<PeerAuthSys> make_win32_peer_auth_sys(HANDLE pipe);

// The host's `ImpersonationAbort`: ends the process at once with exit code 64.
[[noreturn]] void abort_on_failed_revert();

}  // namespace vor::desktop
