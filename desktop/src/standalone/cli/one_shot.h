// The one-shot runner: does the work of the command-line verbs that need no
// session host and returns one document, or an error chain, to the entry.
#pragma once

#include "common/error.h"
#include "standalone/cli/cli_documents.h"
#include "standalone/cli/commands.h"

#include <functional>

namespace vor::desktop {

// The state store's ports (standalone/cli/operation_status.h), kept out of this
// header so that callers need not see the store's port names.
struct StatePorts;

// Work that lives in modules above this one, handed in by the composition
// root. An empty member answers its verb as not available.
struct OneShotServices {
  // The probe document (standalone/cli/probe.h) of a session.
  std::function<CliDocument(const cmd::Probe&)> probe;
  // The state store's ports for `status`, `image-export` and `reconcile`.
  StatePorts* state = nullptr;
  // The capability document (build_capabilities/capabilities.h).
  std::function<CliDocument()> capabilities;
  // The execute transaction of a request file (broker/execute_transaction.h).
  std::function<Result<CliDocument>(const cmd::Execute&)> execute;
};

Result<CliDocument> run_standalone_command(const OneShotCommand& command, const OneShotServices& services);
Result<CliDocument> run_standalone_command(const OneShotCommand& command);

}  // namespace vor::desktop
