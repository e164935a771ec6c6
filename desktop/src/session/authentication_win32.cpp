#include "session/authentication_win32.h"

#include <vector>

#include "common/handle_win32.h"
#include "native/process_sys_win32.h"
#include "native/win32_result_win32.h"

namespace vor::desktop {
namespace {

constexpr UINT kRevertFailedExitCode = 64;

Win32<std::uint32_t> last_error() { return win32_error(::GetLastError()); }

class Win32Process final : public PeerAuthSys::Process {
 public:
  explicit Win32Process(UniqueHandle process) : process_(std::move(process)) {}

  Win32<std::u16string> image_path() override {
    std::vector<wchar_t> buffer(32768);
    DWORD size = static_cast<DWORD>(buffer.size());
    if (!::QueryFullProcessImageNameW(process_.get(), 0, buffer.data(), &size)) return win32_error(::GetLastError());
    return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), size);
  }
  Win32<std::uint32_t> exit_code() override {
    DWORD code = 0;
    if (!::GetExitCodeProcess(process_.get(), &code)) return last_error();
    return code;
  }
  std::uint32_t process_id() override { return ::GetProcessId(process_.get()); }

 private:
  UniqueHandle process_;
};

class Win32Token final : public PeerAuthSys::Token {
 public:
  explicit Win32Token(UniqueHandle token) : token_(std::move(token)) {}
  Result<std::string> user_sid() override { return token_user_sid(token_.get()); }

 private:
  UniqueHandle token_;
};

class Win32PeerAuthSys final : public PeerAuthSys {
 public:
  explicit Win32PeerAuthSys(HANDLE pipe) : pipe_(pipe) {}

  Win32<std::uint32_t> client_process_id() override {
    ULONG pid = 0;
    if (!::GetNamedPipeClientProcessId(pipe_, &pid)) return last_error();
    return pid;
  }
  Win32<std::uint32_t> client_session_id() override {
    ULONG session = 0;
    if (!::GetNamedPipeClientSessionId(pipe_, &session)) return last_error();
    return session;
  }
  Win32<void> impersonate_client() override { return win32_bool(::ImpersonateNamedPipeClient(pipe_)); }
  Win32<std::unique_ptr<Token>> open_thread_token() override {
    UniqueHandle token;
    if (!::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, token.put())) {
      return win32_error(::GetLastError());
    }
    return std::unique_ptr<Token>(new Win32Token(std::move(token)));
  }
  Win32<void> revert_to_self() override { return win32_bool(::RevertToSelf()); }
  std::uint32_t current_process_id() override { return ::GetCurrentProcessId(); }
  Win32<std::unique_ptr<Process>> open_process(std::uint32_t process_id) override {
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
    if (!process) return win32_error(::GetLastError());
    return std::unique_ptr<Process>(new Win32Process(std::move(process)));
  }
  Win32<std::unique_ptr<Process>> duplicate_granted(std::uint64_t handle) override {
    UniqueHandle duplicate;
    if (!::DuplicateHandle(::GetCurrentProcess(), reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle)),
                           ::GetCurrentProcess(), duplicate.put(), PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
      return win32_error(::GetLastError());
    }
    return std::unique_ptr<Process>(new Win32Process(std::move(duplicate)));
  }

 private:
  HANDLE pipe_;
};

}  // namespace

std::unique_ptr<PeerAuthSys> make_win32_peer_auth_sys(HANDLE pipe) { return std::make_unique<Win32PeerAuthSys>(pipe); }

void abort_on_failed_revert() {
  ::TerminateProcess(::GetCurrentProcess(), kRevertFailedExitCode);
  __builtin_trap();
}

}  // namespace vor::desktop
