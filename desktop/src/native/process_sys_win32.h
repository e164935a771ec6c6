// Win32 queries of processes and tokens: the adapter of the `ProcSys` port
// and the few direct queries that the worker launch, the probe, the worker
// and the state store make of their own process or of a handle they hold.
//
//   auto sid = query_process_user_sid(::GetCurrentProcessId());   // "S-1-5-21-..."
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/error.h"
#include "native/ports.h"

namespace vor::desktop {

std::unique_ptr<ProcSys> make_win32_proc_sys();

// GetProcessTimes of a process handle: its creation FILETIME, or the OS error.
Win32<std::uint64_t> raw_creation_time(HANDLE process);

// The creation time of a process handle the caller owns;
// "DESKTOP_PROCESS_UNAVAILABLE" over the OS error.
Result<std::uint64_t> query_process_creation_time(HANDLE process);

// Opens the process for limited query ("DESKTOP_PROCESS_UNAVAILABLE" over the
// OS error), its token with TOKEN_QUERY ("DESKTOP_TOKEN_UNAVAILABLE" over the
// OS error), and returns its user SID.
Result<std::string> query_process_user_sid(std::uint32_t process_id);

// The user SID of a token opened with TOKEN_QUERY ("DESKTOP_TOKEN_UNAVAILABLE"
// over the OS error).
Result<std::string> token_user_sid(HANDLE token);

// ConvertSidToStringSidW ("DESKTOP_SID_UNAVAILABLE" over the OS error).
Result<std::string> sid_to_string(PSID sid);

// This process's executable path (GetModuleFileNameW), "\\?\" kept as given.
Result<std::string> own_module_path();

// LCMapStringEx(LCMAP_LOWERCASE) of the invariant locale; the text itself
// when it cannot be mapped.
std::string lower_case_path(std::string_view text);

}  // namespace vor::desktop
