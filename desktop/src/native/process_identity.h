// Process identity: a process id together with the process's creation time,
// and the other facts of a process read through the `ProcSys` port.
//
// Two observations name the same process only when both members are equal, so
// a process restarted under a reused id is recognised as another one. The
// worker, the broker, the launched application and the session host are all
// recognised this way. Failures are Win32 result conversions ("DESKTOP_" code
// over the OS error).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/error.h"
#include "native/ports.h"

namespace vor::desktop {

inline constexpr std::string_view kProcessSessionUnavailable = "DESKTOP_PROCESS_SESSION_UNAVAILABLE";
inline constexpr std::string_view kProcessUnavailable = "DESKTOP_PROCESS_UNAVAILABLE";
inline constexpr std::string_view kTokenUnavailable = "DESKTOP_TOKEN_UNAVAILABLE";
inline constexpr std::string_view kSidUnavailable = "DESKTOP_SID_UNAVAILABLE";

inline constexpr std::string_view kPeerUnavailable = "DESKTOP_PEER_UNAVAILABLE";

// The user SID of LocalSystem.
inline constexpr std::string_view kLocalSystemSid = "S-1-5-18";

struct ProcessIdentity {
  std::uint32_t process_id = 0;
  std::uint64_t created = 0;  // creation FILETIME, 100 ns since 1601-01-01 UTC
  bool operator==(const ProcessIdentity&) const = default;
};

// The Windows session of a process; "DESKTOP_PROCESS_SESSION_UNAVAILABLE".
Result<std::uint32_t> process_session_id(ProcSys& processes, std::uint32_t process_id);

// The process opened with `access`; "DESKTOP_PROCESS_UNAVAILABLE".
Result<std::unique_ptr<ProcSys::Process>> open_process(ProcSys& processes, std::uint32_t process_id,
                                                       ProcSys::Access access = ProcSys::Access::kQuery);

// The creation FILETIME of an open process; "DESKTOP_PROCESS_UNAVAILABLE".
Result<std::uint64_t> query_process_creation_time(ProcSys::Process& process);

// Open, query, close (the handle is closed on success and on failure).
Result<std::uint64_t> process_creation_time(ProcSys& processes, std::uint32_t process_id);

// The identity of a running process.
Result<ProcessIdentity> process_identity(ProcSys& processes, std::uint32_t process_id);

// The user SID text of a process: open ("DESKTOP_PROCESS_UNAVAILABLE"), then
// its token's user ("DESKTOP_TOKEN_UNAVAILABLE", "DESKTOP_SID_UNAVAILABLE").
Result<std::string> process_user_sid(ProcSys& processes, std::uint32_t process_id);

// The SID that a peer's user must have to be LocalSystem: a failure to read
// it is "DESKTOP_PEER_UNAVAILABLE" over that failure, another SID
// "DESKTOP_PEER_NOT_AUTHORIZED".
Status authorize_peer_by_sid(Result<std::string> user_sid);

}  // namespace vor::desktop
