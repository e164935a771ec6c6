// The Win32 adapter of what the worker knows of its own executable, for the
// composition root.
#pragma once

#include <memory>

#include "standalone/worker/worker_mode.h"

namespace vor::desktop {

std::unique_ptr<BrokerIdentitySys> make_win32_broker_identity_sys();

}  // namespace vor::desktop
