// The session host's check of a pipe client, after the client's `Rpc` has
// been read and before any of its work is done: the client must be the
// host's user in the host's Windows session running the host's executable,
// or LocalSystem in session 0 running the same executable. A LocalSystem
// client proves that with a handle of its own process that it duplicated
// into the host beforehand (`Rpc.peerQueryHandle`). The same-image check is
// also what a session client uses to check its host.
//
//   auto sys = make_win32_peer_auth_sys(pipe.native_handle());
//   auto ok = authenticate_pipe_client(*sys, owner, rpc.peer_query_handle, abort_on_failed_revert);
//
// Everything here is portable over `PeerAuthSys`; the Win32 adapter
// (authentication_win32.h) makes one call per method.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "native/process_identity.h"
#include "native/win32_result.h"
#include "protocol/messages.h"
#include "protocol/worker_args.h"
#include "session/owner.h"

namespace vor::desktop {

inline constexpr std::string_view kPeerSessionUnavailable = "DESKTOP_PEER_SESSION_UNAVAILABLE";
inline constexpr std::string_view kPeerQueryGrantInvalid = "DESKTOP_PEER_QUERY_GRANT_INVALID";
inline constexpr std::uint32_t kStillActive = 259;  // STILL_ACTIVE, the exit code of a running process

// What the host learns about a pipe client and about processes. Each method
// is one Win32 call (or a fixed pair) and returns its raw facts.
class PeerAuthSys {
 public:
  // A process handle opened or duplicated with PROCESS_QUERY_LIMITED_INFORMATION;
  // closed when destroyed.
  class Process {
   public:
    virtual ~Process() = default;
    virtual Win32<std::u16string> image_path() = 0;  // QueryFullProcessImageNameW, as returned
    virtual Win32<std::uint32_t> exit_code() = 0;    // GetExitCodeProcess
    virtual std::uint32_t process_id() = 0;          // GetProcessId, 0 when unknown
  };
  // A thread token opened with TOKEN_QUERY; closed when destroyed.
  class Token {
   public:
    virtual ~Token() = default;
    // Its user SID as text: "DESKTOP_TOKEN_UNAVAILABLE" over the OS error of
    // GetTokenInformation, "DESKTOP_SID_UNAVAILABLE" over that of
    // ConvertSidToStringSidW.
    virtual Result<std::string> user_sid() = 0;
  };

  virtual ~PeerAuthSys() = default;
  virtual Win32<std::uint32_t> client_process_id() = 0;  // GetNamedPipeClientProcessId
  virtual Win32<std::uint32_t> client_session_id() = 0;  // GetNamedPipeClientSessionId
  virtual Win32<void> impersonate_client() = 0;          // ImpersonateNamedPipeClient
  // OpenThreadToken(current thread, TOKEN_QUERY, OpenAsSelf TRUE).
  virtual Win32<std::unique_ptr<Token>> open_thread_token() = 0;
  virtual Win32<void> revert_to_self() = 0;  // RevertToSelf
  virtual std::uint32_t current_process_id() = 0;
  virtual Win32<std::unique_ptr<Process>> open_process(std::uint32_t process_id) = 0;  // OpenProcess
  // DuplicateHandle(own process, handle, own process, PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0).
  virtual Win32<std::unique_ptr<Process>> duplicate_granted(std::uint64_t handle) = 0;
};

// Ends the process at once; called when the host cannot stop impersonating.
// The program's function never returns.
using ImpersonationAbort = std::function<void()>;

// The one stretch during which the host acts as its client. Destroying it
// (or `revert`) calls RevertToSelf; when that fails the process is ended
// through `abort`, so the host never goes on while impersonating.
class ScopedImpersonation {
 public:
  // ImpersonateNamedPipeClient; its failure is "DESKTOP_PEER_NOT_AUTHORIZED"
  // over the OS error, and nothing is left to revert.
  static Result<ScopedImpersonation> begin(PeerAuthSys& sys, ImpersonationAbort abort);
  ScopedImpersonation(ScopedImpersonation&& other) noexcept;
  ScopedImpersonation& operator=(ScopedImpersonation&&) = delete;
  ~ScopedImpersonation();

  // Reverts now. False when reverting failed (after `abort` returned, which
  // only a test's abort does); the caller must then refuse the client.
  bool revert();

 private:
  ScopedImpersonation(PeerAuthSys& sys, ImpersonationAbort abort) : sys_(&sys), abort_(std::move(abort)) {}
  PeerAuthSys* sys_;
  ImpersonationAbort abort_;
  bool active_ = true;
};

// How a client with this user, session and handle is to be checked.
enum class PeerRoute {
  kSameUserImage,   // the host's user in its session: same image by process id
  kSystemImage,     // LocalSystem in session 0 without a handle: same image by process id
  kSystemHandle,    // LocalSystem in session 0 with a handle: the granted-handle check
  kRefused,         // anybody else: "DESKTOP_PEER_NOT_AUTHORIZED"
};
PeerRoute decide_peer_route(const Owner& owner, std::string_view client_sid, std::uint32_t client_session,
                            std::optional<std::uint64_t> handle);

// The path without a leading "\\?\".
std::u16string_view strip_verbatim_prefix(std::u16string_view path);

// The image path of the own process: opened for limited query
// ("DESKTOP_PROCESS_UNAVAILABLE") and read ("DESKTOP_PEER_IMAGE_UNAVAILABLE").
Result<std::u16string> own_image_path(PeerAuthSys& sys);

// The image paths of a peer and of this process, each as its query returned
// it: equal without a leading "\\?\", in length and every unit (letter case
// counts); else "DESKTOP_PEER_NOT_AUTHORIZED".
Status require_same_image(std::u16string_view peer, std::u16string_view own);

// Succeeds when process `pid` runs the same executable path as this process,
// compared unit for unit (letter case counts); "DESKTOP_PEER_NOT_AUTHORIZED"
// otherwise. Every handle opened here is closed on every path.
Status check_peer_same_image(PeerAuthSys& sys, std::uint32_t pid);
// The same over the process port: the session client's check of its host.
Status check_peer_same_image(ProcSys& processes, std::uint32_t pid);

// The LocalSystem client's granted handle: neither 0 nor all bits set,
// duplicable and queryable ("DESKTOP_PEER_QUERY_GRANT_INVALID"), naming the
// running client process `client_pid` and running this process's image. The
// granted handle itself stays open; its owner closes it remotely.
Status check_granted_handle(PeerAuthSys& sys, std::uint64_t handle, std::uint32_t client_pid);

// The whole check: client process id ("DESKTOP_PEER_UNAVAILABLE"), session
// ("DESKTOP_PEER_SESSION_UNAVAILABLE"), its user SID read while impersonating
// it ("DESKTOP_PEER_NOT_AUTHORIZED" when impersonation or the token fails),
// then the route's check.
Status authenticate_pipe_client(PeerAuthSys& sys, const Owner& owner, std::optional<std::uint64_t> peer_query_handle,
                                const ImpersonationAbort& abort);

}  // namespace vor::desktop
