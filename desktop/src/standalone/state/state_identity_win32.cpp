#include <windows.h>

#include "native/process_sys_win32.h"
#include "standalone/state/file_system.h"

namespace vor::desktop {
namespace {

class Win32CallerIdentity final : public CallerIdentity {
 public:
  Result<std::string> current_user_sid() override { return query_process_user_sid(::GetCurrentProcessId()); }
};

}  // namespace

std::unique_ptr<CallerIdentity> make_win32_caller_identity() { return std::make_unique<Win32CallerIdentity>(); }

}  // namespace vor::desktop
