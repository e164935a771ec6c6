// The session host: a long-lived copy of the program that serves the session
// verbs of short-lived clients for one Windows session and one state
// directory, one client at a time over the session pipe. Each connection
// carries one exchange: `Rpc` in, `Reply` out, `Ack` in. Its life is bounded
// by the idle lease; it writes nothing on standard output while it serves
// and returns the closed document when it ends normally.
//
//   HostPorts ports{state, identity, processes, lease_clock, end_process, pipes, broker, abort};
//   auto document = run_session_host(ports, cmd::SessionHost{session_id, state_dir});
//
// Everything here is portable over the ports below; the pipe adapter is
// host_pipe_win32.h, the broker work is bound by the composition root.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "native/ports.h"
#include "native/win32_result.h"
#include "protocol/worker_mode_pipe.h"
#include "session/authentication.h"
#include "session/host_dispatch.h"
#include "session/lease.h"
#include "session/owner.h"
#include "standalone/state/file_system.h"
#include "standalone/state/state_store.h"

namespace vor::desktop {

inline constexpr std::string_view kSessionStartRequiresUserSession = "DESKTOP_SESSION_START_REQUIRES_USER_SESSION";
inline constexpr std::string_view kSessionLockName = ".session.lock";

// Each step of an exchange (reading the `Rpc`, writing the `Reply`, reading
// the `Ack`) gets this long.
inline constexpr std::chrono::seconds kHostExchangeStepLimit{3};
// After a maintenance pass of the serving loop failed (the gate held by a
// one-shot command, an image that cannot be deleted), the next try waits at
// least this long instead of spinning until the lease ends.
inline constexpr std::chrono::milliseconds kHostMaintenanceRetryDelay{250};

// Outcomes of ConnectNamedPipe that are no failure of the pipe.
inline constexpr std::uint32_t kErrorNoData = 232;         // the client closed before the connect
inline constexpr std::uint32_t kErrorPipeConnected = 535;  // the client connected before the connect

// One server instance of the session pipe. Frames are read and written with
// their time limits (`FramePipe`); destroying the instance closes it.
class HostPipe : public FramePipe {
 public:
  // ConnectNamedPipe raced against a timer of `limit`: true when a client
  // connected, false when the timer fired first, else the raw error
  // (ERROR_PIPE_CONNECTED and ERROR_NO_DATA included, as the call gave them).
  virtual Win32<bool> wait_for_client(std::chrono::nanoseconds limit) = 0;
  // The connected client as the authentication sees it.
  virtual PeerAuthSys& peer() = 0;
  // DisconnectNamedPipe; its failure is of no interest.
  virtual void disconnect() = 0;
};

class HostPipeFactory {
 public:
  virtual ~HostPipeFactory() = default;
  // `create_session_pipe` with `first`: "DESKTOP_PIPE_ACL_FAILED",
  // "DESKTOP_PIPE_UNAVAILABLE" or the name rule's error.
  virtual Result<std::unique_ptr<HostPipe>> create(const Owner& owner, bool first) = 0;
};

// What the host needs from the system, owned by the composition root.
struct HostPorts {
  StateContext& state;        // files, DPAPI, the clock of image leases, fresh UUIDs
  CallerIdentity& identity;   // the host's own user SID
  ProcSys& processes;         // the host's own session, creation time and image path
  LeaseClock& lease_clock;
  std::function<void(int)> end_process;  // the lease's exit with 124
  HostPipeFactory& pipes;
  HostBroker& broker;
  ImpersonationAbort abort_impersonation;
};

// The host's whole life: start-up, serving, ending. Returns the closed
// document after a normal end, else the error that ended it.
Result<CliDocument> run_session_host(HostPorts& ports, const cmd::SessionHost& command);

// How long the serving loop may wait for a client: the lease's remaining
// time, or the earliest end of an image lease when that comes sooner (the
// retry delay when the receipts could not be scanned because a one-shot
// command held the gate); after a failed maintenance pass never less than
// the retry delay, unless the lease ends sooner.
std::chrono::nanoseconds host_wait_time(std::chrono::nanoseconds lease_remaining,
                                        std::optional<std::chrono::nanoseconds> earliest_image_expiry,
                                        bool maintenance_failed);

}  // namespace vor::desktop
