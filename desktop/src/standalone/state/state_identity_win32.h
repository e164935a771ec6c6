// Process user SIDs, for the state root's access list and for the broker
// and session code that authenticates peers by their user.
//
//   auto sid = query_process_user_sid(::GetCurrentProcessId());   // "S-1-5-21-..."
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "common/error.h"

namespace vor::desktop {

// Opens the process for limited query ("DESKTOP_PROCESS_UNAVAILABLE" over the
// OS error), its token with TOKEN_QUERY ("DESKTOP_TOKEN_UNAVAILABLE" over the
// OS error), and returns its user SID.
Result<std::string> query_process_user_sid(std::uint32_t process_id);

// The user SID of a token opened with TOKEN_QUERY ("DESKTOP_TOKEN_UNAVAILABLE"
// over the OS error).
Result<std::string> token_user_sid(HANDLE token);

// ConvertSidToStringSidW ("DESKTOP_SID_UNAVAILABLE" over the OS error).
Result<std::string> sid_to_string(PSID sid);

}  // namespace vor::desktop
