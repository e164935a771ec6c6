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
// each method is one Win32 call, and what a call acquires comes back as its
// own owner (token with environment block, pipe security, pipe server, job,
// attribute list, suspended process), so whatever fails releases what came
// before it, and closing the job kills the worker.
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
// CREATE_UNICODE_ENVIRONMENT: an application the broker starts for `launch`.
inline constexpr std::uint32_t kApplicationCreationFlags = 0x400;
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

// One group of a token: its attribute bits and its SID as text
// ("DESKTOP_SID_UNAVAILABLE" over the OS error when it cannot be written).
struct TokenGroup {
  std::uint32_t attributes = 0;
  Result<std::string> sid;
};

// The token the worker is created with, and the environment block built
// from it; the owner releases both.
class LaunchToken {
 public:
  virtual ~LaunchToken() = default;
  virtual Win32<void> create_environment_block() = 0;  // CreateEnvironmentBlock(token, FALSE)
  virtual Win32<std::vector<TokenGroup>> groups() = 0;  // GetTokenInformation(TokenGroups)
  // Starts an application in the worker's session with this token's
  // environment block: CreateProcessW, or CreateProcessAsUserW with the token
  // when `as_user`; CREATE_UNICODE_ENVIRONMENT, nothing inherited, no current
  // directory, desktop "winsta0\default". Both new handles are closed at once;
  // the result is the new process id.
  virtual Win32<std::uint32_t> start_application(const std::string& application, const std::string& command_line,
                                                 bool as_user) = 0;
};

// The security descriptor of the worker pipe (LocalFree on release).
class PipeSecurity {
 public:
  virtual ~PipeSecurity() = default;
};

// The broker's end of the worker pipe.
class PipeServer {
 public:
  virtual ~PipeServer() = default;
  virtual Win32<void> register_io() = 0;  // with the asynchronous I/O driver
  // ConnectNamedPipe, overlapped: the connection is pending until polled.
  virtual void begin_connect() = 0;
  // Runs the pipe's completed I/O without waiting: the connection's outcome
  // once it completed (kConnected, or kFailed with its Win32 error), else nullopt.
  virtual std::optional<ConnectResult> poll_connect() = 0;
  // CancelIoEx of a pending connection, then waits for its completion.
  virtual void cancel_connect() = 0;
  virtual Win32<std::uint32_t> client_process_id() = 0;  // GetNamedPipeClientProcessId
  virtual FramePipe& frames() = 0;
};

// The job that confines the worker; closing it kills the worker.
class WorkerJob {
 public:
  virtual ~WorkerJob() = default;
  virtual Win32<void> set_limits(const JobLimits& limits) = 0;
  virtual void terminate() = 0;  // TerminateJobObject(job, 1), result ignored
};

// The attribute list that puts the worker into its job from its first
// instruction; deleted and freed with the owner.
class StartupAttributes {
 public:
  virtual ~StartupAttributes() = default;
  virtual Win32<void> set_job(WorkerJob& job) = 0;  // PROC_THREAD_ATTRIBUTE_JOB_LIST = the job
};

// The worker process, created suspended.
class WorkerProcess {
 public:
  virtual ~WorkerProcess() = default;
  virtual std::uint32_t process_id() = 0;
  virtual Win32<void> resume() = 0;      // ResumeThread; the thread handle is then closed
  virtual Win32<bool> running() = 0;     // a zero-time wait timed out
  virtual void terminate_and_wait() = 0;  // TerminateProcess(1), then up to 3000 ms; results ignored
};

// The launch's queries, and the factories of its owners. Each owner is
// released by its destructor, so a failed launch releases what it acquired.
class WorkerLaunchSys {
 public:
  virtual ~WorkerLaunchSys() = default;
  virtual Result<std::vector<WindowsSession>> enumerate_sessions() = 0;  // "DESKTOP_SESSIONS_UNAVAILABLE"
  virtual Win32<bool> is_process_in_job() = 0;                            // IsProcessInJob(self)
  virtual Result<std::string> module_path() = 0;                          // GetModuleFileNameW
  // Read, FILE_SHARE_READ; the launch holds the file open while it lives.
  virtual Win32<void> open_module_file(const std::string& path) = 0;
  virtual Win32<std::unique_ptr<LaunchToken>> open_own_token() = 0;  // OpenProcessToken(TOKEN_QUERY | TOKEN_DUPLICATE)
  virtual Win32<std::unique_ptr<LaunchToken>> query_session_token(std::uint32_t session) = 0;  // WTSQueryUserToken
  virtual Win32<std::unique_ptr<PipeSecurity>> create_security_descriptor(const std::string& sddl) = 0;
  // CreateNamedPipeW with that descriptor.
  virtual Win32<std::unique_ptr<PipeServer>> create_pipe(const std::string& name, PipeSecurity& security) = 0;
  virtual Win32<std::unique_ptr<WorkerJob>> create_job() = 0;
  virtual std::size_t attribute_list_size() = 0;  // for one attribute
  virtual Win32<std::unique_ptr<StartupAttributes>> initialize_attribute_list(std::size_t size) = 0;
  // CreateProcessW, or CreateProcessAsUserW with the token, suspended, with
  // the token's environment block and the attribute list.
  virtual Win32<std::unique_ptr<WorkerProcess>> create_process(const std::string& application,
                                                               const std::string& command_line, std::uint32_t flags,
                                                               std::string_view desktop, LaunchToken& token,
                                                               bool as_user, StartupAttributes& attributes) = 0;
};

// A started worker. Dropping it closes the process handle and the pipe, then
// the job, which kills the worker, then the token and the module file.
struct WorkerHandle {
  std::unique_ptr<WorkerLaunchSys> sys;
  std::unique_ptr<LaunchToken> token;
  std::unique_ptr<WorkerJob> job;
  std::unique_ptr<PipeServer> pipe;
  std::unique_ptr<WorkerProcess> process;
  std::uint32_t process_id = 0;
  bool same_session = false;
};

// `text` in double quotes as the Windows command-line parser reads it back:
// a run of n backslashes before a quote becomes 2n + 1 backslashes and the
// quote, a run at the end 2n backslashes; always quoted, even without a space.
std::string quote_windows_argument(std::string_view text);

// Waits for the started worker to connect to its pipe, raced against its
// exit, which is checked every `poll`, for at most `limit` on `clock`. Whichever
// is seen first decides; a pending connection is then cancelled.
ConnectResult wait_for_worker_connection(WorkerHandle& worker, Clock& clock, std::chrono::milliseconds limit,
                                         std::chrono::milliseconds poll);

// Launches the worker for `target_session` (the probe: there is no request).
Result<WorkerHandle> start_worker(std::unique_ptr<WorkerLaunchSys> sys, ProcSys& processes, std::uint32_t target_session);

// Validates the request at `now` (phase validate), then launches the worker
// for its session (the execute transaction).
Result<WorkerHandle> start_worker(std::unique_ptr<WorkerLaunchSys> sys, ProcSys& processes, const Request& request,
                                  Time now);

}  // namespace vor::desktop
