#include "session/client_win32.h"

#include <windows.h>

#include <asio.hpp>
#include <vector>

#include "common/crypto.h"
#include "common/handle_win32.h"
#include "common/text.h"
#include "native/process_sys_win32.h"

namespace vor::desktop {
namespace {

std::unexpected<std::uint32_t> last_error() { return win32_error(::GetLastError()); }

class Win32ClientPipe final : public SessionClientSys::Pipe {
 public:
  explicit Win32ClientPipe(asio::windows::stream_handle stream)
      : handle_(stream.native_handle()), frames_(io_owner(), std::move(stream)) {}

  Win32<std::uint32_t> server_process_id() override {
    ULONG pid = 0;
    if (!::GetNamedPipeServerProcessId(handle_, &pid)) return last_error();
    return pid;
  }
  FramePipe& frames() override { return frames_; }

  // The I/O context the stream was registered with; it outlives the stream.
  static asio::io_context& io_owner();

 private:
  HANDLE handle_;
  AsioFramePipe<asio::windows::stream_handle> frames_;
};

// One I/O context for the client's pipes: a client process makes one
// exchange at a time on its single thread.
asio::io_context& Win32ClientPipe::io_owner() {
  static asio::io_context io;
  return io;
}

class Win32GrantTarget final : public SessionClientSys::GrantTarget {
 public:
  explicit Win32GrantTarget(UniqueHandle process) : process_(std::move(process)) {}

  Win32<std::uint64_t> creation_time() override { return raw_creation_time(process_.get()); }
  Win32<std::u16string> image_path() override {
    std::vector<wchar_t> buffer(32768);
    DWORD size = static_cast<DWORD>(buffer.size());
    if (!::QueryFullProcessImageNameW(process_.get(), 0, buffer.data(), &size)) return last_error();
    return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), size);
  }
  Win32<std::uint64_t> duplicate_own_process_into() override {
    HANDLE value = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), process_.get(), &value,
                           PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
      return last_error();
    }
    return static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(value));
  }
  Win32<void> close_remote(std::uint64_t value) override {
    if (!::DuplicateHandle(process_.get(), reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)), nullptr,
                           nullptr, 0, FALSE, DUPLICATE_CLOSE_SOURCE)) {
      return last_error();
    }
    return {};
  }

 private:
  UniqueHandle process_;
};

class Win32Child final : public SessionClientSys::Child {
 public:
  Win32Child(UniqueHandle process, std::uint32_t pid) : process_(std::move(process)), pid_(pid) {}

  std::uint32_t process_id() override { return pid_; }
  bool running() override { return ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
  void terminate_and_wait(std::uint32_t exit_code, std::chrono::milliseconds wait) override {
    ::TerminateProcess(process_.get(), exit_code);
    ::WaitForSingleObject(process_.get(), static_cast<DWORD>(wait.count()));
  }

 private:
  UniqueHandle process_;
  std::uint32_t pid_;
};

class Win32SessionClientSys final : public SessionClientSys {
 public:
  Win32<std::unique_ptr<Pipe>> open_pipe(const std::string& name) override {
    auto wide = to_wide(name);
    if (!wide) return win32_error(ERROR_INVALID_NAME);
    UniqueFile pipe(::CreateFileW(wide->c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (!pipe) return last_error();
    asio::windows::stream_handle stream(Win32ClientPipe::io_owner());
    std::error_code ec;
    stream.assign(pipe.get(), ec);
    if (ec) return win32_error(static_cast<std::uint32_t>(ec.value()));
    pipe.release();
    return std::unique_ptr<Pipe>(new Win32ClientPipe(std::move(stream)));
  }

  Win32<std::unique_ptr<GrantTarget>> open_grant_target(std::uint32_t process_id) override {
    UniqueHandle process(::OpenProcess(PROCESS_DUP_HANDLE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
    if (!process) return last_error();
    return std::unique_ptr<GrantTarget>(new Win32GrantTarget(std::move(process)));
  }

  Result<std::string> module_path() override { return own_module_path(); }

  Win32<std::unique_ptr<Child>> create_host_process(const std::string& application,
                                                    const std::string& command_line) override {
    auto app = to_wide(application);
    auto line = to_wide(command_line);
    if (!app || !line) return win32_error(ERROR_INVALID_PARAMETER);
    std::wstring desktop = L"winsta0\\default";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.lpDesktop = desktop.data();
    // No standard handles at all: the host prints nothing to its starter.
    // (Windows gives a GUI child started without inherited handles none;
    // Wine would otherwise hand it the starter's own output.)
    startup.dwFlags = STARTF_USESTDHANDLES;
    PROCESS_INFORMATION info{};
    if (!::CreateProcessW(app->c_str(), line->data(), nullptr, nullptr, FALSE,
                          CREATE_NO_WINDOW | BELOW_NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &info)) {
      return last_error();
    }
    ::CloseHandle(info.hThread);
    return std::unique_ptr<Child>(new Win32Child(UniqueHandle(info.hProcess), info.dwProcessId));
  }

  Result<std::string> new_request_id() override { return uuid_v4_hex(); }
};

}  // namespace

std::unique_ptr<SessionClientSys> make_win32_session_client_sys() {
  return std::make_unique<Win32SessionClientSys>();
}

}  // namespace vor::desktop
