// Server instances of the session pipe (Win32): the access list of the owner
// record's user, at most two instances, byte mode, remote clients refused.
//
//   auto pipe = create_session_pipe(io, owner, /*first=*/true);   // when the host starts
//   auto next = create_session_pipe(io, owner, /*first=*/false);  // before disconnecting a client
#pragma once

#include <windows.h>

#include <asio.hpp>

#include "common/error.h"
#include "common/handle_win32.h"
#include "session/owner.h"

namespace vor::desktop {

// The instance as a plain overlapped handle: the access list converted from
// `session_pipe_sddl` ("DESKTOP_PIPE_ACL_FAILED" over the OS error), the name
// from `session_pipe_name` (its "DESKTOP_STATE_INVALID"), then
// CreateNamedPipeW with FILE_FLAG_FIRST_PIPE_INSTANCE when `first`
// ("DESKTOP_PIPE_UNAVAILABLE" over the OS error). The descriptor is freed on
// every path.
Result<UniqueFile> create_session_pipe_handle(const Owner& owner, bool first);

// The same instance registered with the I/O runtime (a registration failure
// is also "DESKTOP_PIPE_UNAVAILABLE").
Result<asio::windows::stream_handle> create_session_pipe(asio::io_context& io, const Owner& owner, bool first);

}  // namespace vor::desktop
