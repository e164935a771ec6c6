#include "standalone/state_identity_win32.h"

#include <sddl.h>

#include <vector>

#include "common/handle_win32.h"
#include "common/text.h"
#include "native/process_identity.h"
#include "standalone/file_system.h"
#include "standalone/state_store.h"

namespace vor::desktop {
namespace {

Error os_under(std::string_view code, const char* call) {
  return state_error_over(code, Error::os(::GetLastError(), std::string(call) + " failed"));
}

class Win32CallerIdentity final : public CallerIdentity {
 public:
  Result<std::string> current_user_sid() override { return query_process_user_sid(::GetCurrentProcessId()); }
};

}  // namespace

Result<std::string> sid_to_string(PSID sid) {
  LPWSTR text = nullptr;
  if (!::ConvertSidToStringSidW(sid, &text)) return fail(os_under(kSidUnavailable, "ConvertSidToStringSidW"));
  UniqueLocal owner(text);
  auto utf8 = from_wide(text);
  if (!utf8) return fail(state_error(kSidUnavailable, "SID text is not valid UTF-16"));
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
  UniqueHandle token;
  if (!::OpenProcessToken(process.get(), TOKEN_QUERY, token.put())) {
    return fail(os_under(kTokenUnavailable, "OpenProcessToken"));
  }
  return token_user_sid(token.get());
}

std::unique_ptr<CallerIdentity> make_win32_caller_identity() { return std::make_unique<Win32CallerIdentity>(); }

}  // namespace vor::desktop
