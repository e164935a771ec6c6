#include "standalone/worker/worker_mode_peer_win32.h"

#include "native/process_sys_win32.h"

namespace vor::desktop {
namespace {

class Win32BrokerIdentitySys final : public BrokerIdentitySys {
 public:
  Result<std::string> own_image_path() override { return own_module_path(); }
  std::string lower_case(std::string_view text) override { return lower_case_path(text); }
};

}  // namespace

std::unique_ptr<BrokerIdentitySys> make_win32_broker_identity_sys() {
  return std::make_unique<Win32BrokerIdentitySys>();
}

}  // namespace vor::desktop
