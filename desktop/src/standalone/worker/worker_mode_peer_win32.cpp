#include "standalone/worker/worker_mode_peer_win32.h"

#include <vector>

#include "common/handle_win32.h"
#include "common/text.h"
#include "native/win32_result.h"
#include "standalone/state/state_identity_win32.h"

namespace vor::desktop {
namespace {

class Win32PeerProcess final : public BrokerIdentitySys::Process {
 public:
  explicit Win32PeerProcess(UniqueHandle process) : process_(std::move(process)) {}
  Result<std::string> image_path() override { return query_process_image_path(process_.get()); }

 private:
  UniqueHandle process_;
};

class Win32BrokerIdentitySys final : public BrokerIdentitySys {
 public:
  Result<std::unique_ptr<Process>> open_process(std::uint32_t process_id) override {
    UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id));
    if (!process) return fail(win32_failure(::GetLastError(), "DESKTOP_PROCESS_UNAVAILABLE"));
    return std::unique_ptr<Process>(new Win32PeerProcess(std::move(process)));
  }
  Result<std::string> own_image_path() override { return own_module_path(); }
  Result<std::uint32_t> process_session_id(std::uint32_t process_id) override {
    return query_process_session_id(process_id);
  }
  Result<std::string> process_user_sid(std::uint32_t process_id) override {
    return query_process_user_sid(process_id);
  }
  std::uint32_t current_process_id() override { return ::GetCurrentProcessId(); }
  std::string lower_case(std::string_view text) override { return lower_case_path(text); }
};

}  // namespace

Result<std::string> query_process_image_path(HANDLE process) {
  std::vector<wchar_t> buffer(32768);
  DWORD size = static_cast<DWORD>(buffer.size());
  if (!::QueryFullProcessImageNameW(process, 0, buffer.data(), &size)) {
    return fail(win32_failure(::GetLastError(), "DESKTOP_PEER_IMAGE_UNAVAILABLE"));
  }
  auto path = from_wide(std::wstring_view(buffer.data(), size));
  if (!path) return fail("DESKTOP_PEER_IMAGE_UNAVAILABLE: image path is not valid UTF-16");
  return std::string(strip_verbatim_prefix(*path));
}

Result<std::uint32_t> query_process_session_id(std::uint32_t process_id) {
  DWORD session = 0;
  if (!::ProcessIdToSessionId(process_id, &session)) {
    return fail(win32_failure(::GetLastError(), "DESKTOP_PROCESS_SESSION_UNAVAILABLE"));
  }
  return session;
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

std::unique_ptr<BrokerIdentitySys> make_win32_broker_identity_sys() {
  return std::make_unique<Win32BrokerIdentitySys>();
}

}  // namespace vor::desktop
