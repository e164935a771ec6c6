// The session client: one exchange with a running session host, and the
// start of a new host. The session verbs (client_verbs.h) are built on it.
//
//   SessionClientPorts ports{sys, processes, identity, files, clock};
//   auto result = call_session_host(ports, owner, SessionStatus{});   // one Rpc / Reply / Ack
//   auto child = start_session_host(ports, state_dir, session_id);   // "... session-host ..."
//
// Every decision, retry loop and time limit is here, over `SessionClientSys`
// (one Win32 call per method, raw facts) and the process, identity, file and
// clock ports; the Win32 adapter is client_win32.h.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/json.h"
#include "common/win32_values.h"
#include "native/clock.h"
#include "native/ports.h"
#include "native/win32_result.h"
#include "protocol/messages.h"
#include "protocol/worker_mode_pipe.h"
#include "session/owner.h"
#include "standalone/state/file_system.h"

namespace vor::desktop {

inline constexpr std::string_view kSessionBusy = "DESKTOP_SESSION_BUSY";
inline constexpr std::string_view kSessionUnavailable = "DESKTOP_SESSION_UNAVAILABLE";
inline constexpr std::string_view kPeerQueryGrantFailed = "DESKTOP_PEER_QUERY_GRANT_FAILED";
inline constexpr std::string_view kSessionStartFailed = "DESKTOP_SESSION_START_FAILED";
// From the moment the `Rpc` may have been written the host may have acted:
// every later failure has the code "DESKTOP_OUTCOME_UNKNOWN".
inline constexpr std::string_view kRequestDeliveryTimedOut = "DESKTOP_OUTCOME_UNKNOWN: request delivery timed out";
inline constexpr std::string_view kRequestDeliveryFailed = "DESKTOP_OUTCOME_UNKNOWN: request delivery failed";
inline constexpr std::string_view kResponseTimedOut = "DESKTOP_OUTCOME_UNKNOWN: response timed out";
inline constexpr std::string_view kResponseMissing = "DESKTOP_OUTCOME_UNKNOWN: response missing";

// Time limits of one exchange.
inline constexpr std::chrono::milliseconds kSessionConnectLimit{3000};
inline constexpr std::chrono::milliseconds kSessionConnectRetry{20};
inline constexpr std::chrono::milliseconds kRpcWriteLimit{3000};
inline constexpr std::chrono::milliseconds kReplyReadLimit{25000};
inline constexpr std::chrono::milliseconds kAckWriteLimit{3000};

// A started host is ended with this exit code when it is not kept.
inline constexpr std::uint32_t kAbandonedHostExitCode = 64;
inline constexpr std::chrono::milliseconds kAbandonedHostWait{3000};

class SessionClientSys {
 public:
  // The client end of the session pipe; the destructor closes it.
  class Pipe {
   public:
    virtual ~Pipe() = default;
    virtual Win32<std::uint32_t> server_process_id() = 0;  // GetNamedPipeServerProcessId
    virtual FramePipe& frames() = 0;
  };
  // The host process opened with PROCESS_DUP_HANDLE |
  // PROCESS_QUERY_LIMITED_INFORMATION; the destructor closes the handle.
  class GrantTarget {
   public:
    virtual ~GrantTarget() = default;
    virtual Win32<std::uint64_t> creation_time() = 0;  // GetProcessTimes
    virtual Win32<std::u16string> image_path() = 0;    // QueryFullProcessImageNameW, as returned
    // DuplicateHandle(own process, own pseudo-handle, this process, &value,
    // PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0): the value inside it.
    virtual Win32<std::uint64_t> duplicate_own_process_into() = 0;
    // DuplicateHandle(this process, value, NULL, NULL, 0, FALSE,
    // DUPLICATE_CLOSE_SOURCE): closes the value inside it.
    virtual Win32<void> close_remote(std::uint64_t value) = 0;
  };
  // A started host process; the destructor closes its handle (the process
  // goes on running).
  class Child {
   public:
    virtual ~Child() = default;
    virtual std::uint32_t process_id() = 0;
    // WaitForSingleObject(process, 0) returned WAIT_TIMEOUT.
    virtual bool running() = 0;
    // TerminateProcess(process, exit_code), then WaitForSingleObject for at
    // most `wait`; results ignored.
    virtual void terminate_and_wait(std::uint32_t exit_code, std::chrono::milliseconds wait) = 0;
  };

  virtual ~SessionClientSys() = default;
  // CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING,
  // FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION),
  // registered with the I/O runtime.
  virtual Win32<std::unique_ptr<Pipe>> open_pipe(const std::string& name) = 0;
  virtual Win32<std::unique_ptr<GrantTarget>> open_grant_target(std::uint32_t process_id) = 0;  // OpenProcess
  virtual Result<std::string> module_path() = 0;  // GetModuleFileNameW of the own executable
  // CreateProcessW(application, command line, no inherited handles,
  // CREATE_NO_WINDOW | BELOW_NORMAL_PRIORITY_CLASS, inherited environment
  // and directory, desktop "winsta0\default"); the thread handle is closed.
  virtual Win32<std::unique_ptr<Child>> create_host_process(const std::string& application,
                                                            const std::string& command_line) = 0;
  // A fresh random version-4 UUID as 32 lower-case hex digits.
  virtual Result<std::string> new_request_id() = 0;
};

// The ports of the session client, owned by the composition root.
struct SessionClientPorts {
  SessionClientSys& sys;
  ProcSys& processes;
  CallerIdentity& identity;
  FileSystem& files;
  Clock& clock;
};

// A handle of the own process that the client duplicated into the host.
// Releasing it while present closes that handle inside the host, then the
// host process handle.
class RemoteHandleGuard {
 public:
  RemoteHandleGuard() = default;
  RemoteHandleGuard(std::unique_ptr<SessionClientSys::GrantTarget> host, std::uint64_t value)
      : host_(std::move(host)), value_(value) {}
  RemoteHandleGuard(RemoteHandleGuard&&) noexcept = default;
  RemoteHandleGuard& operator=(RemoteHandleGuard&& other) noexcept;
  ~RemoteHandleGuard() { release(); }

  bool present() const { return host_ != nullptr; }
  std::uint64_t value() const { return value_; }
  void release();

 private:
  std::unique_ptr<SessionClientSys::GrantTarget> host_;
  std::uint64_t value_ = 0;
};

// The started host while `session-start` waits for it. Releasing it while
// armed ends the process with exit code 64 and waits up to 3000 ms for it;
// disarming keeps it running. Either way its handle is closed.
class ChildProcessGuard {
 public:
  explicit ChildProcessGuard(std::unique_ptr<SessionClientSys::Child> child) : child_(std::move(child)) {}
  ChildProcessGuard(ChildProcessGuard&&) noexcept = default;
  ChildProcessGuard& operator=(ChildProcessGuard&&) = delete;
  ~ChildProcessGuard();

  SessionClientSys::Child& child() { return *child_; }
  void disarm() { armed_ = false; }

 private:
  std::unique_ptr<SessionClientSys::Child> child_;
  bool armed_ = true;
};

// The LocalSystem client's proof of itself: the host `host_pid` opened for
// duplication ("DESKTOP_PEER_QUERY_GRANT_FAILED" over the OS error), checked
// to be the process created at `created` running `image_path`
// ("DESKTOP_PEER_NOT_AUTHORIZED"; query errors as they are), then a
// limited-query handle of the own process duplicated into it
// ("DESKTOP_PEER_QUERY_GRANT_FAILED"). On every failure the host handle is
// closed.
Result<RemoteHandleGuard> grant_peer_query_handle(SessionClientSys& sys, std::uint32_t host_pid,
                                                  std::uint64_t created, std::u16string_view image_path);

// Checks that the server of the connected pipe is the owner's process (id,
// creation time, Windows session, user) running this executable:
// "DESKTOP_PEER_UNAVAILABLE" when its id cannot be read,
// "DESKTOP_PEER_NOT_AUTHORIZED" for any mismatch, query errors as they are.
Status check_session_server(SessionClientPorts& ports, SessionClientSys::Pipe& pipe, const Owner& owner);

// One exchange with the owner's host: liveness ("DESKTOP_SESSION_NOT_RUNNING"
// when it has ended), the pipe name, the connection (retried every 20 ms
// while busy or absent, "DESKTOP_SESSION_BUSY" after 3 s), the server checks,
// the query grant of a LocalSystem client in session 0, then `Rpc`, `Reply`
// (validated) and `Ack`. Returns the `Reply`'s result.
//
// `until`, when given, also bounds every wait of the exchange: each time
// limit is clipped to what is left of it.
Result<json::Value> call_session_host(SessionClientPorts& ports, const Owner& owner, const SessionAction& action,
                                      std::optional<Clock::Monotonic> until = std::nullopt);

// The own executable's command line for a host of `session_id` on
// `state_dir`: both paths quoted, then the hidden verb and its options.
std::string session_host_command_line(std::string_view executable, std::uint32_t session_id,
                                      std::string_view state_dir);

// Starts a host: the own executable (which must pass the state-path safety
// check, "DESKTOP_STATE_UNSAFE") with the command line above;
// "DESKTOP_SESSION_START_FAILED" over the OS error when it cannot be created.
Result<std::unique_ptr<SessionClientSys::Child>> start_session_host(SessionClientPorts& ports,
                                                                   std::string_view state_dir,
                                                                   std::uint32_t session_id);

}  // namespace vor::desktop
