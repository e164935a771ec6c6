// Thin Win32 adapter of the child launcher: CreateProcessW with pipes, the
// process handle (exit waits on the event loop through an object handle),
// and the Job Object calls.
#include <windows.h>

#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/windows/object_handle.hpp>

#include "common/handle_win32.h"
#include "common/text.h"
#include "installer/child_process.h"

namespace vor::setup {
namespace {

Error last_os_error() { return Error::os(::GetLastError()); }

class Win32PipeReader final : public ByteSource {
 public:
  explicit Win32PipeReader(UniqueFile pipe) : pipe_(std::move(pipe)) {}
  Result<std::size_t> read(std::span<std::uint8_t> into) override {
    DWORD got = 0;
    if (!::ReadFile(pipe_.get(), into.data(), static_cast<DWORD>(into.size()), &got, nullptr)) {
      const DWORD error = ::GetLastError();
      if (error == ERROR_BROKEN_PIPE) return std::size_t{0};
      return fail(Error::os(error));
    }
    return static_cast<std::size_t>(got);
  }

 private:
  UniqueFile pipe_;
};

class Win32PipeWriter final : public ByteSink {
 public:
  explicit Win32PipeWriter(UniqueFile pipe) : pipe_(std::move(pipe)) {}
  Status write_all(std::span<const std::uint8_t> bytes) override {
    std::size_t done = 0;
    while (done < bytes.size()) {
      DWORD written = 0;
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
      if (!::WriteFile(pipe_.get(), bytes.data() + done, chunk, &written, nullptr)) return fail(last_os_error());
      done += written;
    }
    return {};
  }
  void close() override { pipe_.reset(); }

 private:
  UniqueFile pipe_;
};

class Win32ChildProcess final : public ChildProcess {
 public:
  explicit Win32ChildProcess(UniqueHandle process) : process_(std::move(process)) {}
  HANDLE handle() const { return process_.get(); }

  Status terminate(std::uint32_t exit_code) override {
    if (!::TerminateProcess(process_.get(), exit_code)) return fail(last_os_error());
    return {};
  }

  asio::awaitable<Result<std::uint32_t>> wait_exit() override {
    HANDLE copy = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), process_.get(), ::GetCurrentProcess(), &copy, 0, FALSE,
                           DUPLICATE_SAME_ACCESS)) {
      co_return fail(last_os_error());
    }
    asio::windows::object_handle waiter(co_await asio::this_coro::executor, copy);
    std::error_code ec;
    co_await waiter.async_wait(asio::redirect_error(asio::use_awaitable, ec));
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

// A pipe whose child end is inheritable and whose parent end is not.
Status make_pipe(UniqueFile& parent_end, UniqueFile& child_end, bool child_reads) {
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) return fail(last_os_error());
  UniqueFile r(read_end), w(write_end);
  UniqueFile& mine = child_reads ? w : r;
  if (!::SetHandleInformation(mine.get(), HANDLE_FLAG_INHERIT, 0)) return fail(last_os_error());
  parent_end = std::move(mine);
  child_end = std::move(child_reads ? r : w);
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
    ::CloseHandle(pi.hThread);
    StartedChild child;
    child.process = std::make_shared<Win32ChildProcess>(UniqueHandle(pi.hProcess));
    child.stdout_pipe = std::make_shared<Win32PipeReader>(std::move(out_read));
    child.stderr_pipe = std::make_shared<Win32PipeReader>(std::move(err_read));
    if (command.stdin_pipe) child.stdin_pipe = std::make_shared<Win32PipeWriter>(std::move(in_write));
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
