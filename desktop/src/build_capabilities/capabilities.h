// The capability document that `help`, `--help` and `--version` print: what
// this build of the runtime is and can do. Every value is a constant; limits
// that a rule enforces (lifetimes, the deadline exit code, the image lease,
// the wait limit, the protocol version) are read from where that rule defines
// them. The composition root hands `capability_document` to the one-shot runner.
#pragma once

#include "standalone/cli/cli_documents.h"

namespace vor::desktop {

inline constexpr std::string_view kProductVersion = "0.1.0-preview.27";

CliDocument capability_document();

}  // namespace vor::desktop
