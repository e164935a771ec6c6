#include "windows/worker_launch_win32.h"

#include <windows.h>
#include <sddl.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <optional>
#include <vector>

#include "common/handle_win32.h"
#include "common/text.h"
#include "native/process_sys_win32.h"
#include "native/win32_result_win32.h"

namespace vor::desktop {
namespace {

using PipeStream = asio::windows::stream_handle;

Win32<void> last_error() { return win32_error(::GetLastError()); }

class Win32WorkerLaunch final : public WorkerLaunchSys {
 public:
  explicit Win32WorkerLaunch(asio::io_context& io) : io_(io) {}

  ~Win32WorkerLaunch() override {
    release_startup();
    pipe_.reset();
    job_.reset();  // kill on job close
  }

  Result<std::vector<WindowsSession>> enumerate_sessions() override { return enumerate_windows_sessions(); }

  Win32<bool> is_process_in_job() override {
    BOOL in_job = FALSE;
    if (!::IsProcessInJob(::GetCurrentProcess(), nullptr, &in_job)) return win32_error(::GetLastError());
    return in_job != FALSE;
  }

  Result<std::string> module_path() override { return own_module_path(); }

  Win32<void> open_module_file(const std::string& path) override {
    auto wide = to_wide(path);
    if (!wide) return win32_error(ERROR_INVALID_NAME);
    module_file_.reset(::CreateFileW(wide->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!module_file_) return last_error();
    return {};
  }

  // CreateEnvironmentBlock needs TOKEN_DUPLICATE besides TOKEN_QUERY on a
  // primary token; without it the block cannot be built on Windows.
  Win32<void> open_own_token() override {
    return win32_bool(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, token_.put()));
  }

  Win32<void> query_session_token(std::uint32_t session) override {
    return win32_bool(::WTSQueryUserToken(session, token_.put()));
  }

  Win32<void> create_environment_block() override {
    environment_.reset();
    void* block = nullptr;
    const BOOL ok = ::CreateEnvironmentBlock(&block, token_.get(), FALSE);
    if (ok) environment_.reset(block);
    return win32_bool(ok);
  }

  Win32<std::vector<std::uint32_t>> token_group_attributes() override {
    DWORD size = 0;
    ::GetTokenInformation(token_.get(), TokenGroups, nullptr, 0, &size);
    if (size == 0) return win32_error(::GetLastError());
    groups_.assign(size, 0);
    if (!::GetTokenInformation(token_.get(), TokenGroups, groups_.data(), size, &size)) {
      return win32_error(::GetLastError());
    }
    std::vector<std::uint32_t> attributes;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(groups_.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) attributes.push_back(groups->Groups[i].Attributes);
    return attributes;
  }

  Result<std::string> token_group_sid(std::size_t index) override {
    // Only a group of the list that token_group_attributes read has a SID here.
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(groups_.data());
    if (groups_.size() < sizeof(TOKEN_GROUPS) || index >= groups->GroupCount) {
      return fail(coded("DESKTOP_LOGON_UNAVAILABLE", "no such token group"));
    }
    return sid_to_string(groups->Groups[index].Sid);
  }

  Win32<void> create_security_descriptor(const std::string& sddl) override {
    auto wide = to_wide(sddl);
    if (!wide) return win32_error(ERROR_INVALID_PARAMETER);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide->c_str(), SDDL_REVISION_1, &descriptor,
                                                                nullptr)) {
      return last_error();
    }
    descriptor_.reset(descriptor);
    return {};
  }

  Win32<void> create_pipe(const std::string& name) override {
    auto wide = to_wide(name);
    if (!wide) return win32_error(ERROR_INVALID_NAME);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor_.get(), FALSE};
    constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED;
    constexpr DWORD kPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    pipe_handle_.reset(::CreateNamedPipeW(wide->c_str(), kOpenMode, kPipeMode, 1, 65536, 65536, 0, &attributes));
    if (!pipe_handle_) return last_error();
    return {};
  }

  Win32<void> register_pipe() override {
    PipeStream stream(io_);
    std::error_code ec;
    stream.assign(pipe_handle_.get(), ec);
    if (ec) return win32_error(static_cast<std::uint32_t>(ec.value()));
    pipe_handle_.release();
    pipe_.emplace(io_, std::move(stream));
    return {};
  }

  Win32<void> create_job() override {
    job_.reset(::CreateJobObjectW(nullptr, nullptr));
    if (!job_) return last_error();
    return {};
  }

  Win32<void> set_job_limits(const JobLimits& limits) override {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
    static_assert(sizeof info == 144);
    info.BasicLimitInformation.LimitFlags = limits.limit_flags;
    info.BasicLimitInformation.PerProcessUserTimeLimit.QuadPart = limits.per_process_user_time;
    info.BasicLimitInformation.ActiveProcessLimit = limits.active_process_limit;
    info.ProcessMemoryLimit = static_cast<SIZE_T>(limits.process_memory_limit);
    return win32_bool(::SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &info, sizeof info));
  }

  std::size_t attribute_list_size() override { return UniqueAttributeList::size_for(1); }

  Win32<void> initialize_attribute_list(std::size_t size) override {
    return win32_bool(attributes_.initialize(size, 1));
  }

  Win32<void> set_job_list_attribute() override {
    job_value_ = job_.get();
    return win32_bool(::UpdateProcThreadAttribute(attributes_.get(), 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job_value_,
                                                  sizeof job_value_, nullptr, nullptr));
  }

  Win32<std::uint32_t> create_process(const std::string& application, const std::string& command_line,
                                      std::uint32_t flags, std::string_view desktop, bool as_user) override {
    auto app = to_wide(application);
    auto cmd = to_wide(command_line);
    auto desk = to_wide(desktop);
    if (!app || !cmd || !desk) return win32_error(ERROR_INVALID_PARAMETER);
    STARTUPINFOEXW startup{};
    static_assert(sizeof startup == 112);
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.lpDesktop = desk->data();
    startup.lpAttributeList = attributes_.get();
    PROCESS_INFORMATION info{};
    const BOOL ok =
        as_user ? ::CreateProcessAsUserW(token_.get(), app->c_str(), cmd->data(), nullptr, nullptr, FALSE, flags,
                                         environment_.get(), nullptr, &startup.StartupInfo, &info)
                : ::CreateProcessW(app->c_str(), cmd->data(), nullptr, nullptr, FALSE, flags, environment_.get(), nullptr,
                                   &startup.StartupInfo, &info);
    if (!ok) {
      const DWORD error = ::GetLastError();
      job_.reset();
      return win32_error(error);
    }
    process_.reset(info.hProcess);
    thread_.reset(info.hThread);
    return static_cast<std::uint32_t>(info.dwProcessId);
  }

  Win32<void> resume_thread() override {
    if (::ResumeThread(thread_.get()) == static_cast<DWORD>(-1)) return last_error();
    return {};
  }

  void release_startup() override {
    thread_.reset();
    attributes_.reset();
  }

  void kill_worker() override {
    if (job_) ::TerminateJobObject(job_.get(), 1);
    if (process_) {
      ::TerminateProcess(process_.get(), 1);
      ::WaitForSingleObject(process_.get(), 3000);
    }
  }

  void begin_connect() override {
    connect_done_.reset();
    connect_pending_ = true;
    asio::windows::overlapped_ptr op(io_, [this](const std::error_code& ec, std::size_t) {
      connect_pending_ = false;
      connect_done_ = ec ? ConnectResult{ConnectOutcome::kFailed, static_cast<std::uint32_t>(ec.value())}
                         : ConnectResult{ConnectOutcome::kConnected};
    });
    const BOOL ok = ::ConnectNamedPipe(pipe_->stream().native_handle(), op.get());
    const DWORD error = ok ? ERROR_SUCCESS : ::GetLastError();
    if (!ok && error == ERROR_PIPE_CONNECTED) {
      op.complete(std::error_code(), 0);
    } else if (!ok && error != ERROR_IO_PENDING) {
      op.complete(std::error_code(static_cast<int>(error), asio::system_category()), 0);
    } else {
      op.release();
    }
  }

  std::optional<ConnectResult> poll_connect() override {
    io_.restart();
    io_.poll();
    return connect_done_;
  }

  void cancel_connect() override {
    if (!connect_pending_) return;
    ::CancelIoEx(pipe_->stream().native_handle(), nullptr);
    io_.restart();
    while (connect_pending_ && io_.run_one() > 0) {
    }
  }

  Win32<bool> worker_running() override {
    const DWORD r = ::WaitForSingleObject(process_.get(), 0);
    if (r == WAIT_FAILED) return win32_error(::GetLastError());
    return r == WAIT_TIMEOUT;
  }

  Win32<std::uint32_t> client_process_id() override {
    ULONG pid = 0;
    if (!::GetNamedPipeClientProcessId(pipe_->stream().native_handle(), &pid)) return win32_error(::GetLastError());
    return static_cast<std::uint32_t>(pid);
  }

  FramePipe& pipe() override { return *pipe_; }

 private:
  asio::io_context& io_;
  UniqueFile module_file_;
  UniqueHandle token_;
  UniqueEnvironmentBlock environment_;
  std::vector<std::uint8_t> groups_;
  UniqueLocal descriptor_;
  UniqueFile pipe_handle_;
  std::optional<AsioFramePipe<PipeStream>> pipe_;
  UniqueHandle job_;
  HANDLE job_value_ = nullptr;
  UniqueAttributeList attributes_;
  UniqueHandle process_;
  UniqueHandle thread_;
  bool connect_pending_ = false;
  std::optional<ConnectResult> connect_done_;
};

}  // namespace

std::unique_ptr<WorkerLaunchSys> make_win32_worker_launch(asio::io_context& io) {
  return std::make_unique<Win32WorkerLaunch>(io);
}

}  // namespace vor::desktop
