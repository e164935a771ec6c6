// The state verbs' ports over Win32 files, DPAPI, the system clock, the
// process's own user and process liveness, for the composition root. The
// ports live for the duration of one call of `work`.
#pragma once

#include <functional>

#include "common/error.h"
#include "standalone/cli/cli_documents.h"

namespace vor::desktop {

struct StatePorts;

Result<CliDocument> with_win32_state_ports(const std::function<Result<CliDocument>(StatePorts&)>& work);

}  // namespace vor::desktop
