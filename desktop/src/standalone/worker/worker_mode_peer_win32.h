// Win32 queries of a peer process on the worker pipe, shared by the worker
// (checking its broker) and the broker (checking its worker and itself).
#pragma once

#include <windows.h>

#include <memory>
#include <string>

#include "common/error.h"
#include "standalone/worker/worker_mode.h"

namespace vor::desktop {

// QueryFullProcessImageNameW in Win32 form, a leading "\\?\" removed
// ("DESKTOP_PEER_IMAGE_UNAVAILABLE" over the OS error).
Result<std::string> query_process_image_path(HANDLE process);

// ProcessIdToSessionId ("DESKTOP_PROCESS_SESSION_UNAVAILABLE" over the OS error).
Result<std::uint32_t> query_process_session_id(std::uint32_t process_id);

// This process's executable path (GetModuleFileNameW), "\\?\" kept as given.
Result<std::string> own_module_path();

// LCMapStringEx(LCMAP_LOWERCASE) of the invariant locale; the text itself
// when it cannot be mapped.
std::string lower_case_path(std::string_view text);

std::unique_ptr<BrokerIdentitySys> make_win32_broker_identity_sys();

}  // namespace vor::desktop
