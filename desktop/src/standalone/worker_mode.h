// Worker mode: the copy of the program that a broker starts in the user's
// session. It checks its arguments and session, connects to the broker's
// pipe and checks that the pipe server is the broker it was told about.
// It prints nothing; the entry maps success to exit 0 and failure to 64.
#pragma once

#include <optional>
#include <span>
#include <string>

#include "common/error.h"

namespace vor::desktop {

Status run_worker_mode(std::span<const std::optional<std::string>> args);

}  // namespace vor::desktop
