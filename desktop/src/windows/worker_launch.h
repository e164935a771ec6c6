// Worker launch: the broker starts a fresh copy of its own executable in
// `worker` mode inside the target session, confined by a job object, and
// serves it a private named pipe.
//
//   VOR_ASSIGN_OR_RETURN(auto worker, start_worker(make_win32_worker_launch(io), processes, session));
//   auto pipe = await_worker_ready(worker, processes, clock, session, false, {});  // broker/worker_readiness.h
//
// Failures carry their StartupPhase.
//
// Called by the probe and the execute transaction. Every failure carries the
// not-sent marker of its phase. `WorkerLaunchSys` is one launch in progress:
// each method is one Win32 call, and the object owns what the calls acquired
// (module file, token, environment block, security descriptor, pipe, job,
// attribute list, process and thread), so dropping it releases everything and
// closing its job kills the worker.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/time.h"
#include "native/clock.h"
#include "native/ports.h"
#include "native/win32_result.h"
#include "native/windows_sessions.h"
#include "protocol/request.h"
#include "protocol/worker_mode_pipe.h"

namespace vor::desktop {

// Job limits of a worker, as JOBOBJECT_EXTENDED_LIMIT_INFORMATION holds them:
// process time, one active process, process memory, kill on job close.
struct JobLimits {
  std::uint32_t limit_flags = 0x210A;
  std::int64_t per_process_user_time = 20'000'000;  // 100 ns units: 2 s of user-mode CPU
  std::uint32_t active_process_limit = 1;           // the worker can start no child
  std::uint64_t process_memory_limit = 134'217'728;  // 128 MiB
};
inline constexpr JobLimits kWorkerJobLimits{};

// CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | BELOW_NORMAL_PRIORITY_CLASS |
// EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW.
inline constexpr std::uint32_t kWorkerCreationFlags = 0x08084404;
inline constexpr std::string_view kWorkerDesktop = "winsta0\\default";
inline constexpr std::size_t kMaxAttributeListBytes = 65536;
// Both bits of SE_GROUP_LOGON_ID.
inline constexpr std::uint32_t kLogonIdAttributes = 0xC0000000;

// "D:P(A;;GA;;;SY)(A;;GRGW;;;<logon SID>)": SYSTEM full access, the target
// user's logon session read and write, nobody else, nothing inherited.
std::string worker_pipe_sddl(std::string_view logon_sid);
// "\\.\pipe\Vor.Desktop." + 32 hex digits.
std::string worker_pipe_name(std::string_view uuid_hex);
// "<exe>" worker --pipe P --broker-pid N --session S (the path not escaped).
std::string worker_command_line(std::string_view exe, std::string_view pipe, std::uint32_t broker_pid,
                                std::uint32_t session);

// How the wait for the worker's connection ended.
enum class ConnectOutcome { kConnected, kWorkerExited, kFailed, kTimedOut };
struct ConnectResult {
  ConnectOutcome outcome = ConnectOutcome::kTimedOut;
  std::uint32_t win32_error = 0;  // for kFailed
};

class WorkerLaunchSys {
 public:
  virtual ~WorkerLaunchSys() = default;

  // --- the launch, in the order the broker calls them (the broker's own
  // process facts come from the ProcSys port) ---
  virtual Result<std::vector<WindowsSession>> enumerate_sessions() = 0;  // "DESKTOP_SESSIONS_UNAVAILABLE"
  virtual Win32<bool> is_process_in_job() = 0;                            // IsProcessInJob(self)
  virtual Result<std::string> module_path() = 0;                          // GetModuleFileNameW
  virtual Win32<void> open_module_file(const std::string& path) = 0;      // read, FILE_SHARE_READ
  virtual Win32<void> open_own_token() = 0;  // OpenProcessToken(TOKEN_QUERY | TOKEN_DUPLICATE)
  virtual Win32<void> query_session_token(std::uint32_t session) = 0;     // WTSQueryUserToken
  virtual Win32<void> create_environment_block() = 0;                     // CreateEnvironmentBlock(token, FALSE)
  virtual Win32<std::vector<std::uint32_t>> token_group_attributes() = 0;  // GetTokenInformation(TokenGroups)
  // sid_to_string of that group of the list token_group_attributes read;
  // "DESKTOP_LOGON_UNAVAILABLE" for an index outside it (or before it was read).
  virtual Result<std::string> token_group_sid(std::size_t index) = 0;
  virtual Win32<void> create_security_descriptor(const std::string& sddl) = 0;
  virtual Win32<void> create_pipe(const std::string& name) = 0;  // CreateNamedPipeW with that descriptor
  virtual Win32<void> register_pipe() = 0;                       // with the asynchronous I/O driver
  virtual Win32<void> create_job() = 0;
  virtual Win32<void> set_job_limits(const JobLimits& limits) = 0;
  virtual std::size_t attribute_list_size() = 0;  // for one attribute
  virtual Win32<void> initialize_attribute_list(std::size_t size) = 0;
  virtual Win32<void> set_job_list_attribute() = 0;  // PROC_THREAD_ATTRIBUTE_JOB_LIST = the job
  // CreateProcessW, or CreateProcessAsUserW with the token; the process id.
  virtual Win32<std::uint32_t> create_process(const std::string& application, const std::string& command_line,
                                              std::uint32_t flags, std::string_view desktop, bool as_user) = 0;
  virtual Win32<void> resume_thread() = 0;
  // Closes the thread handle, deletes and frees the attribute list.
  virtual void release_startup() = 0;
  // TerminateJobObject(job, 1), TerminateProcess(process, 1), then waits up
  // to 3000 ms; results ignored.
  virtual void kill_worker() = 0;

  // --- the started worker ---
  // ConnectNamedPipe, overlapped: the connection is pending until polled.
  virtual void begin_connect() = 0;
  // Runs the pipe's completed I/O without waiting: the connection's outcome
  // once it completed (kConnected, or kFailed with its Win32 error), else nullopt.
  virtual std::optional<ConnectResult> poll_connect() = 0;
  // CancelIoEx of a pending connection, then waits for its completion.
  virtual void cancel_connect() = 0;
  virtual Win32<bool> worker_running() = 0;              // a zero-time wait timed out
  virtual Win32<std::uint32_t> client_process_id() = 0;  // GetNamedPipeClientProcessId
  virtual FramePipe& pipe() = 0;
};

// A started worker. Dropping it releases every handle and closes the job,
// which kills the worker.
struct WorkerHandle {
  std::unique_ptr<WorkerLaunchSys> sys;
  std::uint32_t process_id = 0;
  bool same_session = false;
};

// Waits for the started worker to connect to its pipe, raced against its
// exit, which is checked every `poll`, for at most `limit` on `clock`. Whichever
// is seen first decides; a pending connection is then cancelled.
ConnectResult wait_for_worker_connection(WorkerLaunchSys& sys, Clock& clock, std::chrono::milliseconds limit,
                                         std::chrono::milliseconds poll);

// Launches the worker for `target_session` (the probe: there is no request).
Result<WorkerHandle> start_worker(std::unique_ptr<WorkerLaunchSys> sys, ProcSys& processes, std::uint32_t target_session);

// Validates the request at `now` (phase validate), then launches the worker
// for its session (the execute transaction).
Result<WorkerHandle> start_worker(std::unique_ptr<WorkerLaunchSys> sys, ProcSys& processes, const Request& request,
                                  Time now);

}  // namespace vor::desktop
