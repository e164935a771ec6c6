// Thin Win32 adapter of the child launcher: CreateProcessW with pipes, the
// process handle (exit waits on the event loop through an object handle),
// and the Job Object calls.
#include <windows.h>

#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/windows/object_handle.hpp>

#include <algorithm>
#include <vector>

#include "common/crypto.h"
#include "common/handle_win32.h"
#include "common/text.h"
#include "installer/child_process.h"

namespace vor::setup {
namespace {

static_assert(kErrorOperationAborted == ERROR_OPERATION_ABORTED);
static_assert(kCreateSuspended == CREATE_SUSPENDED && kCreateNoWindow == CREATE_NO_WINDOW);

Error last_os_error() { return Error::os(::GetLastError()); }

// Our end of a pipe to the child, opened for overlapped transfers so that a
// transfer blocked on a pipe that someone else keeps open can be cancelled:
// the calling thread waits for the transfer or the cancel event, whichever
// comes first, and a cancelled transfer is ended with CancelIoEx and then
// collected, so the kernel never writes into a buffer after it returns.
class CancellablePipe {
 public:
  explicit CancellablePipe(UniqueFile pipe)
      : pipe_(std::move(pipe)),
        done_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        cancelled_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
  bool ready() const { return pipe_ && done_ && cancelled_; }
  void cancel() { ::SetEvent(cancelled_.get()); }
  void close() { pipe_.reset(); }

 protected:
  // One ReadFile or WriteFile; the error is the Win32 number of the call.
  Result<DWORD> transfer(bool reading, void* data, DWORD size) {
    if (::WaitForSingleObject(cancelled_.get(), 0) == WAIT_OBJECT_0) return fail(Error::os(ERROR_OPERATION_ABORTED));
    OVERLAPPED io{};
    io.hEvent = done_.get();
    ::ResetEvent(done_.get());
    const BOOL ok = reading ? ::ReadFile(pipe_.get(), data, size, nullptr, &io)
                            : ::WriteFile(pipe_.get(), data, size, nullptr, &io);
    if (!ok) {
      const DWORD error = ::GetLastError();
      if (error != ERROR_IO_PENDING) return fail(Error::os(error));
      const HANDLE events[2] = {done_.get(), cancelled_.get()};
      if (::WaitForMultipleObjects(2, events, FALSE, INFINITE) != WAIT_OBJECT_0) ::CancelIoEx(pipe_.get(), &io);
    }
    DWORD moved = 0;
    if (!::GetOverlappedResult(pipe_.get(), &io, &moved, TRUE)) return fail(last_os_error());
    return moved;
  }

 private:
  UniqueFile pipe_;
  UniqueHandle done_;
  UniqueHandle cancelled_;
};

class Win32PipeReader final : public ByteSource, private CancellablePipe {
 public:
  using CancellablePipe::CancellablePipe;
  using CancellablePipe::ready;
  Result<std::size_t> read(std::span<std::uint8_t> into) override {
    auto got = transfer(true, into.data(), static_cast<DWORD>(into.size()));
    if (!got) {
      if (got.error().os_error() == ERROR_BROKEN_PIPE) return std::size_t{0};
      return fail(std::move(got.error()));
    }
    return static_cast<std::size_t>(*got);
  }
  void cancel() override { CancellablePipe::cancel(); }
};

class Win32PipeWriter final : public ByteSink, private CancellablePipe {
 public:
  using CancellablePipe::CancellablePipe;
  using CancellablePipe::ready;
  Status write_all(std::span<const std::uint8_t> bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
      auto written = transfer(false, const_cast<std::uint8_t*>(bytes.data() + done), chunk);
      if (!written) return fail(std::move(written.error()));
      done += *written;
    }
    return {};
  }
  void close() override { CancellablePipe::close(); }
  void cancel() override { CancellablePipe::cancel(); }
};

class Win32ChildProcess final : public ChildProcess {
 public:
  Win32ChildProcess(UniqueHandle process, UniqueHandle thread)
      : process_(std::move(process)), thread_(std::move(thread)) {}
  HANDLE handle() const { return process_.get(); }

  Status terminate(std::uint32_t exit_code) override {
    if (!::TerminateProcess(process_.get(), exit_code)) return fail(last_os_error());
    return {};
  }

  Status resume() override {
    if (::ResumeThread(thread_.get()) == static_cast<DWORD>(-1)) return fail(last_os_error());
    return {};
  }

  void cancel_waits() override {
    for (auto* waiter : waiting_) {
      std::error_code ignored;
      waiter->cancel(ignored);
    }
  }

  asio::awaitable<Result<std::uint32_t>> wait_exit() override {
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), process_.get(), ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
      co_return fail(last_os_error());
    }
    asio::windows::object_handle waiter(co_await asio::this_coro::executor, copy);
    waiting_.push_back(&waiter);
    std::error_code ec;
    co_await waiter.async_wait(asio::redirect_error(asio::use_awaitable, ec));
    std::erase(waiting_, &waiter);
    if (ec) co_return fail(Error::os(static_cast<std::uint32_t>(ec.value())));
    DWORD code = 0;
    if (!::GetExitCodeProcess(waiter.native_handle(), &code)) co_return fail(last_os_error());
    co_return static_cast<std::uint32_t>(code);
  }

  Result<bool> wait_blocking(std::chrono::milliseconds timeout) override {
    const DWORD r = ::WaitForSingleObject(process_.get(), static_cast<DWORD>(timeout.count()));
    if (r == WAIT_OBJECT_0) return true;
    if (r == WAIT_TIMEOUT) return false;
    return fail(last_os_error());
  }

 private:
  UniqueHandle process_;
  UniqueHandle thread_;
  std::vector<asio::windows::object_handle*> waiting_;  // the exit waits in progress
};

class Win32Job final : public JobObject {
 public:
  explicit Win32Job(UniqueHandle job) : job_(std::move(job)) {}

  Status set_limits(std::uint32_t limit_flags, std::uint32_t priority_class) override {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
    info.BasicLimitInformation.LimitFlags = limit_flags;
    info.BasicLimitInformation.PriorityClass = priority_class;
    if (!::SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &info, sizeof info)) {
      return fail(last_os_error());
    }
    return {};
  }
  Status assign(ChildProcess& process) override {
    auto* child = dynamic_cast<Win32ChildProcess*>(&process);
    if (child == nullptr) return fail(Error::os(ERROR_INVALID_HANDLE));
    if (!::AssignProcessToJobObject(job_.get(), child->handle())) return fail(last_os_error());
    return {};
  }
  Status terminate(std::uint32_t exit_code) override {
    if (!::TerminateJobObject(job_.get(), exit_code)) return fail(last_os_error());
    return {};
  }
  Result<std::uint32_t> active_processes() override {
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION info{};
    if (!::QueryInformationJobObject(job_.get(), JobObjectBasicAccountingInformation, &info, sizeof info, nullptr)) {
      return fail(last_os_error());
    }
    return static_cast<std::uint32_t>(info.ActiveProcesses);
  }
  Status close() override {
    if (!::CloseHandle(job_.release())) return fail(last_os_error());
    return {};
  }

 private:
  UniqueHandle job_;
};

// A pipe of one instance: our end an overlapped named-pipe server, the
// child's end an ordinary (synchronous) inheritable client handle. The name
// is random, the server refuses a second instance and remote clients, and we
// connect the one client ourselves at once: when that open succeeds, no one
// else is connected to the pipe.
constexpr std::wstring_view kChildPipePrefix = L"\\\\.\\pipe\\vor-setup-child-";
constexpr DWORD kChildPipeBuffer = 4'096;

Status make_pipe(UniqueFile& parent_end, UniqueFile& child_end, bool child_reads) {
  auto id = uuid_v4_hex();
  if (!id) return fail(std::move(id.error()));
  const std::wstring name = std::wstring(kChildPipePrefix) + std::wstring(id->begin(), id->end());
  const DWORD direction = child_reads ? PIPE_ACCESS_OUTBOUND : PIPE_ACCESS_INBOUND;
  UniqueFile server(::CreateNamedPipeW(name.c_str(), direction | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                         1, kChildPipeBuffer, kChildPipeBuffer, 0, nullptr));
  if (!server) return fail(last_os_error());
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  UniqueFile client(::CreateFileW(name.c_str(), child_reads ? GENERIC_READ : GENERIC_WRITE, 0, &inherit,
                                  OPEN_EXISTING, 0, nullptr));
  if (!client) return fail(last_os_error());
  parent_end = std::move(server);
  child_end = std::move(client);
  return {};
}

class Win32ChildLauncher final : public ChildLauncher {
 public:
  Result<StartedChild> start(const ChildCommand& command) override {
    auto program = to_wide(command.program);
    auto line = to_wide(command.command_line);
    if (!program || !line) return fail(Error::os(ERROR_INVALID_NAME));
    UniqueFile out_read, out_write, err_read, err_write, in_write, in_read;
    if (auto s = make_pipe(out_read, out_write, false); !s) return fail(std::move(s.error()));
    if (auto s = make_pipe(err_read, err_write, false); !s) return fail(std::move(s.error()));
    if (command.stdin_pipe) {
      if (auto s = make_pipe(in_write, in_read, true); !s) return fail(std::move(s.error()));
    } else {
      SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
      in_read = UniqueFile(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                         OPEN_EXISTING, 0, nullptr));
      if (!in_read) return fail(last_os_error());
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in_read.get();
    si.hStdOutput = out_write.get();
    si.hStdError = err_write.get();
    PROCESS_INFORMATION pi{};
    std::wstring mutable_line = *line;
    if (!::CreateProcessW(program->c_str(), mutable_line.data(), nullptr, nullptr, TRUE, command.creation_flags,
                          nullptr, nullptr, &si, &pi)) {
      return fail(last_os_error());
    }
    StartedChild child;
    child.process = std::make_shared<Win32ChildProcess>(UniqueHandle(pi.hProcess), UniqueHandle(pi.hThread));
    auto out = std::make_shared<Win32PipeReader>(std::move(out_read));
    auto err = std::make_shared<Win32PipeReader>(std::move(err_read));
    if (out->ready()) child.stdout_pipe = std::move(out);
    if (err->ready()) child.stderr_pipe = std::move(err);
    if (command.stdin_pipe) {
      auto in = std::make_shared<Win32PipeWriter>(std::move(in_write));
      if (in->ready()) child.stdin_pipe = std::move(in);
    }
    return child;  // the child's ends close here, so the reads end when the child's side does
  }

  Result<std::unique_ptr<JobObject>> create_job() override {
    UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
    if (!job) return fail(last_os_error());
    return std::unique_ptr<JobObject>(std::make_unique<Win32Job>(std::move(job)));
  }
};

}  // namespace

std::unique_ptr<ChildLauncher> make_win32_child_launcher() { return std::make_unique<Win32ChildLauncher>(); }

}  // namespace vor::setup
