// The fullscreen ledger: operation ids that an earlier fullscreen pilot
// reserved, kept in `*.arm` files of the state root. This program only reads
// them; an id found here may never be executed. Read by the execute
// transaction and, once at start-up, by the session host.
#pragma once

#include <set>
#include <string>
#include <string_view>

#include "common/error.h"
#include "standalone/state/file_system.h"
#include "standalone/state/state_store.h"

namespace vor::desktop {

inline constexpr std::string_view kFullscreenReceiptQuota = "DESKTOP_FULLSCREEN_RECEIPT_QUOTA";
inline constexpr std::string_view kFullscreenOperationConsumed = "DESKTOP_FULLSCREEN_OPERATION_CONSUMED";
inline constexpr std::string_view kFullscreenSchemaVersion = "vor.marionet-fullscreen/v1";
inline constexpr std::size_t kMaximumLedgerFiles = 32;
inline constexpr std::size_t kMaximumLedgerIds = 8;
inline constexpr std::size_t kMaximumLedgerIdLength = 160;

using FullscreenLedger = std::set<std::string>;

// The ids of every `*.arm` file of the root, merged. A 33rd file is
// "DESKTOP_FULLSCREEN_RECEIPT_QUOTA"; a file that is not a valid ledger is
// "DESKTOP_STATE_INVALID"; a listing failure has no code of its own.
Result<FullscreenLedger> read_fullscreen_ledger(FileSystem& fs, const StateRoot& root);

// "DESKTOP_FULLSCREEN_OPERATION_CONSUMED" when the id is in the ledger.
Status check_operation_not_consumed(const FullscreenLedger& ledger, std::string_view operation_id);

}  // namespace vor::desktop
