// The work of one --recover run, done while the component-update lock is
// held: find the transaction journal, read and check it, roll an uncommitted
// update back, remove backups and journal, then remove the recovery task.
// It runs as one coroutine on the entry's single-threaded event loop.
//
// This build reads and validates the journal; the steps after it (rollback,
// clean-up, task removal) are not here yet, and a run that reaches them fails
// without a code of its own (reported as "SETUP_IO_FAILED").
//
//   asio::co_spawn(loop, recover_transaction(context, layout, install_dir), on_done);
#pragma once

#include <optional>
#include <string>

#include <asio/awaitable.hpp>

#include "installer/data_layout.h"
#include "installer/journal.h"
#include "installer/ports.h"

namespace vor::setup {

// What the recovery reaches the system through; the service manager and the
// child-process runner join here with the rollback steps.
struct RecoveryContext {
  SetupPorts& ports;
};

asio::awaitable<Status> recover_transaction(RecoveryContext& context, const DataLayout& layout,
                                            std::string install_dir);

// The synchronous journal inspection that recover_transaction starts with:
// guard, metadata (absent journal: success with nullopt), bounded read,
// unprotect, decode, validate.
Result<std::optional<Journal>> inspect_journal(SetupPorts& ports, const DataLayout& layout);

}  // namespace vor::setup
