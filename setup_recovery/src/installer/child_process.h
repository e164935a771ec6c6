// The supervised child process runner: starts one program (here always
// schtasks.exe) suspended with piped output, puts it into a Job Object (kill
// on close, below-normal priority) and only then lets it run, reads standard
// output and standard error together with a cap of 16,384 bytes each,
// enforces a time-out, then terminates the job, reaps the child, waits for the
// job to empty, and returns the decoded standard output. Every way this can
// fail has its own "SETUP_CHILD_" code. The rules run on the event loop; only
// the blocking pipe reads go to a small pool of blocking-work threads, started
// on first use. When the run stops listening it cancels every pipe transfer
// and the exit wait it began, so a pipe that a process outside the job keeps
// open cannot hold the run, the event loop or the pool past the time-out.
//
//   SupervisedChildRunner runner(launcher, ticker);
//   auto xml = co_await runner.run({20s, schtasks, {"/Query", "/TN", name, "/XML"}});
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <asio/awaitable.hpp>

#include "common/data_protection.h"
#include "common/error.h"
#include "installer/ticker.h"

namespace asio {
class thread_pool;
}

namespace vor::setup {

inline constexpr std::size_t kChildReadChunk = 4'096;
inline constexpr std::size_t kChildStreamLimit = 16'384;
inline constexpr int kJobDrainQueries = 100;
inline constexpr std::chrono::milliseconds kJobDrainPause{50};
inline constexpr std::chrono::milliseconds kChildGuardWait{3'000};
inline constexpr std::uint32_t kCreateNoWindow = 0x08000000;
inline constexpr std::uint32_t kCreateSuspended = 0x00000004;
inline constexpr std::uint32_t kJobLimitKillOnCloseAndPriority = 0x2020;  // KILL_ON_JOB_CLOSE | PRIORITY_CLASS
inline constexpr std::uint32_t kBelowNormalPriorityClass = 0x4000;
inline constexpr std::uint32_t kChildKilledExitCode = 1;

// --- the launcher port (child_process_win32.cpp; fakes in tests) ---

// The OS error of a transfer that was cancelled (ERROR_OPERATION_ABORTED).
inline constexpr std::uint32_t kErrorOperationAborted = 995;

// One end of a pipe to the child; transfers block the calling thread.
// cancel() may be called from any thread: it ends the transfer that is
// blocked now, and every later one, with kErrorOperationAborted.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // ReadFile of at most `into.size()` bytes; 0 at the end of the stream
  // (a broken pipe is the end too).
  virtual Result<std::size_t> read(std::span<std::uint8_t> into) = 0;
  virtual void cancel() = 0;
};
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  virtual Status write_all(std::span<const std::uint8_t> bytes) = 0;
  virtual void close() = 0;
  virtual void cancel() = 0;
};

class ChildProcess {
 public:
  virtual ~ChildProcess() = default;  // closes the handle only
  virtual Status terminate(std::uint32_t exit_code) = 0;  // TerminateProcess
  virtual Status resume() = 0;  // ResumeThread of its first thread
  // The exit code, once the process has ended; waits on the event loop.
  virtual asio::awaitable<Result<std::uint32_t>> wait_exit() = 0;
  // Ends the wait_exit() calls that are waiting now with kErrorOperationAborted
  // (called on the event loop's thread).
  virtual void cancel_waits() = 0;
  // WaitForSingleObject: true when the process has ended within `timeout`.
  virtual Result<bool> wait_blocking(std::chrono::milliseconds timeout) = 0;
};

class JobObject {
 public:
  virtual ~JobObject() = default;  // closes the handle if close() was not called
  // SetInformationJobObject(JobObjectExtendedLimitInformation).
  virtual Status set_limits(std::uint32_t limit_flags, std::uint32_t priority_class) = 0;
  virtual Status assign(ChildProcess& process) = 0;  // AssignProcessToJobObject
  virtual Status terminate(std::uint32_t exit_code) = 0;  // TerminateJobObject
  // QueryInformationJobObject(JobObjectBasicAccountingInformation).ActiveProcesses.
  virtual Result<std::uint32_t> active_processes() = 0;
  virtual Status close() = 0;  // CloseHandle
};

struct ChildCommand {
  std::string program;
  std::string command_line;  // the whole line, program first, quoted by the Windows rules
  bool stdin_pipe = false;   // else the null device
  std::uint32_t creation_flags = kCreateNoWindow | kCreateSuspended;
};

struct StartedChild {
  std::shared_ptr<ChildProcess> process;
  std::shared_ptr<ByteSource> stdout_pipe;  // null when the child has none
  std::shared_ptr<ByteSource> stderr_pipe;
  std::shared_ptr<ByteSink> stdin_pipe;
};

class ChildLauncher {
 public:
  virtual ~ChildLauncher() = default;
  // CreateProcessW with the command's creation flags, pipes for standard
  // output and error (cancellable on this side), environment and working
  // directory inherited.
  virtual Result<StartedChild> start(const ChildCommand& command) = 0;
  virtual Result<std::unique_ptr<JobObject>> create_job() = 0;  // CreateJobObjectW, unnamed
};

#ifdef _WIN32
std::unique_ptr<ChildLauncher> make_win32_child_launcher();
#endif

// --- the runner ---

struct ChildRunRequest {
  std::chrono::nanoseconds timeout{};
  std::string program;
  std::vector<std::string> arguments;
  std::optional<Bytes> input;  // the recovery always passes none
};

class ChildRunner {
 public:
  virtual ~ChildRunner() = default;
  // The child's standard output as text, or an error chain; a non-zero exit
  // is "SETUP_CHILD_EXIT_FAILED" over a `ChildExit`.
  virtual asio::awaitable<Result<std::string>> run(const ChildRunRequest& request) = 0;
};

class SupervisedChildRunner final : public ChildRunner {
 public:
  SupervisedChildRunner(ChildLauncher& launcher, Ticker& ticker);
  ~SupervisedChildRunner() override;  // joins the blocking-work threads
  asio::awaitable<Result<std::string>> run(const ChildRunRequest& request) override;

 private:
  ChildLauncher& launcher_;
  Ticker& ticker_;
  std::unique_ptr<asio::thread_pool> blocking_;
};

// Program and arguments as one command line: each argument quoted when it is
// empty or holds a blank, a tab or a quote, backslashes before a quote doubled.
std::string windows_command_line(std::string_view program, const std::vector<std::string>& arguments);

// UTF-16LE when the bytes begin with FF FE or 3C 00 (mark dropped; odd
// length or an unpaired surrogate is "SETUP_CHILD_OUTPUT_INVALID"), else
// UTF-8 with an optional EF BB BF dropped and bad sequences as U+FFFD.
Result<std::string> decode_child_output(std::span<const std::uint8_t> bytes);

}  // namespace vor::setup
