// The Win32 adapter of the session client's port: the client end of the
// session pipe (overlapped, identification-level impersonation only), the
// host process opened for a query grant, the started host process.
#pragma once

#include <memory>

#include "session/client.h"

namespace vor::desktop {

std::unique_ptr<SessionClientSys> make_win32_session_client_sys();

}  // namespace vor::desktop
