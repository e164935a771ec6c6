#include "windows/worker_launch_win32.h"

#include <windows.h>
#include <sddl.h>
#include <userenv.h>
#include <wtsapi32.h>

#include <optional>
#include <vector>

#include "common/handle_win32.h"
#include "common/system_library_win32.h"
#include "common/text.h"
#include "native/process_sys_win32.h"
#include "native/win32_result_win32.h"

namespace vor::desktop {
namespace {

using PipeStream = asio::windows::stream_handle;

Win32<void> last_error() { return win32_error(::GetLastError()); }

// userenv is loaded only by the commands that start a worker.
constinit SystemFunction<decltype(::CreateEnvironmentBlock)> create_environment_block_fn(L"userenv.dll",
                                                                                        "CreateEnvironmentBlock");

class Win32LaunchToken final : public LaunchToken {
 public:
  explicit Win32LaunchToken(UniqueHandle token) : token_(std::move(token)) {}

  Win32<void> create_environment_block() override {
    environment_.reset();
    auto create = create_environment_block_fn.get();
    if (!create) return win32_error(create.error());
    void* block = nullptr;
    const BOOL ok = (*create)(&block, token_.get(), FALSE);
    if (ok) environment_.reset(block);
    return win32_bool(ok);
  }

  Win32<std::vector<TokenGroup>> groups() override {
    DWORD size = 0;
    ::GetTokenInformation(token_.get(), TokenGroups, nullptr, 0, &size);
    if (size == 0) return win32_error(::GetLastError());
    std::vector<std::uint8_t> buffer(size, 0);
    if (!::GetTokenInformation(token_.get(), TokenGroups, buffer.data(), size, &size)) {
      return win32_error(::GetLastError());
    }
    std::vector<TokenGroup> out;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buffer.data());
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
      out.push_back({groups->Groups[i].Attributes, sid_to_string(groups->Groups[i].Sid)});
    }
    return out;
  }

  Win32<std::uint32_t> start_application(const std::string& application, const std::string& command_line,
                                         bool as_user) override {
    auto app = to_wide(application);
    auto cmd = to_wide(command_line);
    auto desk = to_wide(kWorkerDesktop);
    if (!app || !cmd || !desk) return win32_error(ERROR_INVALID_PARAMETER);
    STARTUPINFOW startup{};
    static_assert(sizeof startup == 104);
    startup.cb = sizeof startup;
    startup.lpDesktop = desk->data();
    PROCESS_INFORMATION info{};
    const BOOL ok = as_user ? ::CreateProcessAsUserW(token_.get(), app->c_str(), cmd->data(), nullptr, nullptr, FALSE,
                                                     kApplicationCreationFlags, environment_.get(), nullptr, &startup,
                                                     &info)
                            : ::CreateProcessW(app->c_str(), cmd->data(), nullptr, nullptr, FALSE,
                                               kApplicationCreationFlags, environment_.get(), nullptr, &startup, &info);
    if (!ok) return win32_error(::GetLastError());
    UniqueHandle process(info.hProcess);
    UniqueHandle thread(info.hThread);
    return static_cast<std::uint32_t>(info.dwProcessId);
  }

  HANDLE token() const { return token_.get(); }
  void* environment() const { return environment_.get(); }

 private:
  UniqueHandle token_;
  UniqueEnvironmentBlock environment_;
};

class Win32PipeSecurity final : public PipeSecurity {
 public:
  explicit Win32PipeSecurity(UniqueLocal descriptor) : descriptor_(std::move(descriptor)) {}
  PSECURITY_DESCRIPTOR get() const { return descriptor_.get(); }

 private:
  UniqueLocal descriptor_;
};

class Win32PipeServer final : public PipeServer {
 public:
  Win32PipeServer(asio::io_context& io, UniqueFile handle) : io_(io), handle_(std::move(handle)) {}

  Win32<void> register_io() override {
    PipeStream stream(io_);
    std::error_code ec;
    stream.assign(handle_.get(), ec);
    if (ec) return win32_error(static_cast<std::uint32_t>(ec.value()));
    handle_.release();
    pipe_.emplace(io_, std::move(stream));
    return {};
  }

  void begin_connect() override {
    connect_done_.reset();
    connect_pending_ = true;
    asio::windows::overlapped_ptr op(io_, [this](const std::error_code& ec, std::size_t) {
      connect_pending_ = false;
      connect_done_ = ec ? ConnectResult{ConnectOutcome::kFailed, static_cast<std::uint32_t>(ec.value())}
                         : ConnectResult{ConnectOutcome::kConnected};
    });
    const BOOL ok = ::ConnectNamedPipe(native(), op.get());
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
    ::CancelIoEx(native(), nullptr);
    io_.restart();
    while (connect_pending_ && io_.run_one() > 0) {
    }
  }

  Win32<std::uint32_t> client_process_id() override {
    ULONG pid = 0;
    if (!::GetNamedPipeClientProcessId(native(), &pid)) return win32_error(::GetLastError());
    return static_cast<std::uint32_t>(pid);
  }

  FramePipe& frames() override { return *pipe_; }

 private:
  HANDLE native() { return pipe_->stream().native_handle(); }

  asio::io_context& io_;
  UniqueFile handle_;  // until registered
  std::optional<AsioFramePipe<PipeStream>> pipe_;
  bool connect_pending_ = false;
  std::optional<ConnectResult> connect_done_;
};

class Win32WorkerJob final : public WorkerJob {
 public:
  explicit Win32WorkerJob(UniqueHandle job) : job_(std::move(job)) {}

  Win32<void> set_limits(const JobLimits& limits) override {
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION info{};
    static_assert(sizeof info == 144);
    info.BasicLimitInformation.LimitFlags = limits.limit_flags;
    info.BasicLimitInformation.PerProcessUserTimeLimit.QuadPart = limits.per_process_user_time;
    info.BasicLimitInformation.ActiveProcessLimit = limits.active_process_limit;
    info.ProcessMemoryLimit = static_cast<SIZE_T>(limits.process_memory_limit);
    return win32_bool(::SetInformationJobObject(job_.get(), JobObjectExtendedLimitInformation, &info, sizeof info));
  }
  void terminate() override { ::TerminateJobObject(job_.get(), 1); }

  HANDLE get() const { return job_.get(); }

 private:
  UniqueHandle job_;
};

class Win32StartupAttributes final : public StartupAttributes {
 public:
  Win32<void> initialize(std::size_t size) { return win32_bool(list_.initialize(size, 1)); }

  Win32<void> set_job(WorkerJob& job) override {
    job_value_ = static_cast<Win32WorkerJob&>(job).get();
    return win32_bool(::UpdateProcThreadAttribute(list_.get(), 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, &job_value_,
                                                  sizeof job_value_, nullptr, nullptr));
  }

  LPPROC_THREAD_ATTRIBUTE_LIST get() { return list_.get(); }

 private:
  UniqueAttributeList list_;
  HANDLE job_value_ = nullptr;  // the list points at it
};

class Win32WorkerProcess final : public WorkerProcess {
 public:
  explicit Win32WorkerProcess(const PROCESS_INFORMATION& info)
      : process_(info.hProcess), thread_(info.hThread), id_(info.dwProcessId) {}

  std::uint32_t process_id() override { return id_; }
  Win32<void> resume() override {
    if (::ResumeThread(thread_.get()) == static_cast<DWORD>(-1)) return last_error();
    thread_.reset();
    return {};
  }
  Win32<bool> running() override {
    const DWORD r = ::WaitForSingleObject(process_.get(), 0);
    if (r == WAIT_FAILED) return win32_error(::GetLastError());
    return r == WAIT_TIMEOUT;
  }
  void terminate_and_wait() override {
    ::TerminateProcess(process_.get(), 1);
    ::WaitForSingleObject(process_.get(), 3000);
  }

 private:
  UniqueHandle process_;
  UniqueHandle thread_;
  std::uint32_t id_;
};

class Win32WorkerLaunch final : public WorkerLaunchSys {
 public:
  explicit Win32WorkerLaunch(asio::io_context& io) : io_(io) {}

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
  Win32<std::unique_ptr<LaunchToken>> open_own_token() override {
    UniqueHandle token;
    if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY | TOKEN_DUPLICATE, token.put())) return last_error_of<LaunchToken>();
    return std::unique_ptr<LaunchToken>(std::make_unique<Win32LaunchToken>(std::move(token)));
  }

  Win32<std::unique_ptr<LaunchToken>> query_session_token(std::uint32_t session) override {
    UniqueHandle token;
    if (!::WTSQueryUserToken(session, token.put())) return last_error_of<LaunchToken>();
    return std::unique_ptr<LaunchToken>(std::make_unique<Win32LaunchToken>(std::move(token)));
  }

  Win32<std::unique_ptr<PipeSecurity>> create_security_descriptor(const std::string& sddl) override {
    auto wide = to_wide(sddl);
    if (!wide) return win32_error(ERROR_INVALID_PARAMETER);
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(wide->c_str(), SDDL_REVISION_1, &descriptor,
                                                                nullptr)) {
      return last_error_of<PipeSecurity>();
    }
    return std::unique_ptr<PipeSecurity>(std::make_unique<Win32PipeSecurity>(UniqueLocal(descriptor)));
  }

  Win32<std::unique_ptr<PipeServer>> create_pipe(const std::string& name, PipeSecurity& security) override {
    auto wide = to_wide(name);
    if (!wide) return win32_error(ERROR_INVALID_NAME);
    SECURITY_ATTRIBUTES attributes{sizeof attributes, static_cast<Win32PipeSecurity&>(security).get(), FALSE};
    constexpr DWORD kOpenMode = PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE | FILE_FLAG_OVERLAPPED;
    constexpr DWORD kPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
    UniqueFile handle(::CreateNamedPipeW(wide->c_str(), kOpenMode, kPipeMode, 1, 65536, 65536, 0, &attributes));
    if (!handle) return last_error_of<PipeServer>();
    return std::unique_ptr<PipeServer>(std::make_unique<Win32PipeServer>(io_, std::move(handle)));
  }

  Win32<std::unique_ptr<WorkerJob>> create_job() override {
    UniqueHandle job(::CreateJobObjectW(nullptr, nullptr));
    if (!job) return last_error_of<WorkerJob>();
    return std::unique_ptr<WorkerJob>(std::make_unique<Win32WorkerJob>(std::move(job)));
  }

  std::size_t attribute_list_size() override { return UniqueAttributeList::size_for(1); }

  Win32<std::unique_ptr<StartupAttributes>> initialize_attribute_list(std::size_t size) override {
    auto attributes = std::make_unique<Win32StartupAttributes>();
    if (auto ok = attributes->initialize(size); !ok) return win32_error(ok.error());
    return std::unique_ptr<StartupAttributes>(std::move(attributes));
  }

  Win32<std::unique_ptr<WorkerProcess>> create_process(const std::string& application, const std::string& command_line,
                                                       std::uint32_t flags, std::string_view desktop,
                                                       LaunchToken& token, bool as_user,
                                                       StartupAttributes& attributes) override {
    auto app = to_wide(application);
    auto cmd = to_wide(command_line);
    auto desk = to_wide(desktop);
    if (!app || !cmd || !desk) return win32_error(ERROR_INVALID_PARAMETER);
    const auto& user = static_cast<Win32LaunchToken&>(token);
    STARTUPINFOEXW startup{};
    static_assert(sizeof startup == 112);
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.lpDesktop = desk->data();
    startup.lpAttributeList = static_cast<Win32StartupAttributes&>(attributes).get();
    PROCESS_INFORMATION info{};
    const BOOL ok =
        as_user ? ::CreateProcessAsUserW(user.token(), app->c_str(), cmd->data(), nullptr, nullptr, FALSE, flags,
                                         user.environment(), nullptr, &startup.StartupInfo, &info)
                : ::CreateProcessW(app->c_str(), cmd->data(), nullptr, nullptr, FALSE, flags, user.environment(),
                                   nullptr, &startup.StartupInfo, &info);
    if (!ok) return last_error_of<WorkerProcess>();
    return std::unique_ptr<WorkerProcess>(std::make_unique<Win32WorkerProcess>(info));
  }

 private:
  template <class T>
  static Win32<std::unique_ptr<T>> last_error_of() {
    return win32_error(::GetLastError());
  }

  asio::io_context& io_;
  UniqueFile module_file_;
};

}  // namespace

std::unique_ptr<WorkerLaunchSys> make_win32_worker_launch(asio::io_context& io) {
  return std::make_unique<Win32WorkerLaunch>(io);
}

}  // namespace vor::desktop
