// The one-shot runner: does the work of the command-line verbs that need no
// session host and returns one document, or an error chain, to the entry.
#pragma once

#include "common/error.h"
#include "standalone/cli_documents.h"
#include "standalone/commands.h"

namespace vor::desktop {

Result<CliDocument> run_standalone_command(const OneShotCommand& command);

}  // namespace vor::desktop
