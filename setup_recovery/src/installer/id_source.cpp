#include "common/crypto.h"
#include "installer/ports.h"

namespace vor::setup {
namespace {

class SystemIdSource final : public IdSource {
 public:
  Result<std::string> new_uuid_hex() override { return uuid_v4_hex(); }
};

}  // namespace

std::unique_ptr<IdSource> make_system_id_source() { return std::make_unique<SystemIdSource>(); }

}  // namespace vor::setup
