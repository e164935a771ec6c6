#include "uia/automation_win32.h"

namespace vor::desktop::uia {

Com<std::unique_ptr<Automation>> create_build_automation() { return create_com_client_automation(); }

}  // namespace vor::desktop::uia
