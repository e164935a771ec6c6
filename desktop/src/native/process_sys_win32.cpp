#include "native/process_sys_win32.h"

#include <sddl.h>

#include <vector>

#include "common/handle_win32.h"
#include "common/text.h"
#include "native/process_identity.h"
#include "native/win32_result_win32.h"

namespace vor::desktop {
namespace {

Error os_under(std::string_view code, const char* call) {
  return coded_over(code, Error::os(::GetLastError(), std::string(call) + " failed"));
}

class Win32Process final : public ProcSys::Process {
 public:
  explicit Win32Process(UniqueHandle process) : process_(std::move(process)) {}

  Win32<std::uint64_t> creation_time() override { return raw_creation_time(process_.get()); }

  Win32<bool> has_exited() override {
    const DWORD waited = ::WaitForSingleObject(process_.get(), 0);
    if (waited == WAIT_OBJECT_0) return true;
    if (waited == WAIT_TIMEOUT) return false;
    return win32_error(::GetLastError());
  }

  Win32<std::u16string> image_path() override {
    std::vector<wchar_t> buffer(32768);
    DWORD size = static_cast<DWORD>(buffer.size());
    if (auto ok = win32_bool(::QueryFullProcessImageNameW(process_.get(), 0, buffer.data(), &size)); !ok) {
      return win32_error(ok.error());
    }
    return std::u16string(reinterpret_cast<const char16_t*>(buffer.data()), size);
  }

  Result<std::string> user_sid() override {
    UniqueHandle token;
    if (!::OpenProcessToken(process_.get(), TOKEN_QUERY, token.put())) {
      return fail(os_under(kTokenUnavailable, "OpenProcessToken"));
    }
    return token_user_sid(token.get());
  }

 private:
  UniqueHandle process_;
};

class Win32ProcSys final : public ProcSys {
 public:
  Win32<std::uint32_t> process_session_id(std::uint32_t process_id) override {
    DWORD session = 0;
    if (auto ok = win32_bool(::ProcessIdToSessionId(process_id, &session)); !ok) return win32_error(ok.error());
    return session;
  }
  Win32<std::unique_ptr<Process>> open(std::uint32_t process_id, Access access) override {
    DWORD rights = PROCESS_QUERY_LIMITED_INFORMATION;
    if (access == Access::kQueryAndWait) rights |= SYNCHRONIZE;
    UniqueHandle process(::OpenProcess(rights, FALSE, process_id));
    if (!process) return win32_error(::GetLastError());
    return std::unique_ptr<Process>(new Win32Process(std::move(process)));
  }
  std::uint32_t current_process_id() override { return ::GetCurrentProcessId(); }
};

}  // namespace

std::unique_ptr<ProcSys> make_win32_proc_sys() { return std::make_unique<Win32ProcSys>(); }

Win32<std::uint64_t> raw_creation_time(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  if (auto ok = win32_bool(::GetProcessTimes(process, &created, &exited, &kernel, &user)); !ok) {
    return win32_error(ok.error());
  }
  return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

Result<std::uint64_t> query_process_creation_time(HANDLE process) {
  auto created = raw_creation_time(process);
  if (!created) return fail(coded_os(kProcessUnavailable, created.error()));
  return *created;
}

Result<std::string> sid_to_string(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return fail(os_under(kSidUnavailable, "ConvertSidToStringSidW"));
  UniqueLocal owner(text);
  auto utf8 = from_wide(text);
  if (!utf8) return fail(coded(kSidUnavailable, "SID text is not valid UTF-16"));
  return std::move(*utf8);
}

Result<std::string> token_user_sid(HANDLE token) {
  DWORD size = 0;
  ::GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  if (size == 0) return fail(os_under(kTokenUnavailable, "GetTokenInformation"));
  std::vector<std::uint8_t> buffer(size);
  if (!::GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) {
    return fail(os_under(kTokenUnavailable, "GetTokenInformation"));
  }
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
  return sid_to_string(user->User.Sid);
}

Result<std::string> query_process_user_sid(std::uint32_t process_id) {
  UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
  if (!process) return fail(os_under(kProcessUnavailable, "OpenProcess"));
  return Win32Process(std::move(process)).user_sid();
}

Result<std::string> own_module_path() {
  std::vector<wchar_t> buffer(32768);
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  if (n == 0 || n >= buffer.size()) return fail(Error::os(::GetLastError(), "GetModuleFileNameW failed"));
  auto path = from_wide(std::wstring_view(buffer.data(), n));
  if (!path) return fail(Error::io("module path is not valid UTF-16"));
  return std::move(*path);
}

std::string lower_case_path(std::string_view text) {
  auto wide = to_wide(text);
  if (!wide || wide->empty()) return std::string(text);
  std::wstring lower(wide->size() * 2 + 16, L'\0');
  const int n = ::LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_LOWERCASE, wide->data(), static_cast<int>(wide->size()),
                                lower.data(), static_cast<int>(lower.size()), nullptr, nullptr, 0);
  if (n <= 0) return std::string(text);
  lower.resize(static_cast<std::size_t>(n));
  auto utf8 = from_wide(lower);
  return utf8 ? std::move(*utf8) : std::string(text);
}

}  // namespace vor::desktop
