// The maintenance pass of the state root, run by the holder of the `.gate`:
// re-protects leftover plaintext temporaries and plain receipts, migrates
// legacy plaintext images, removes images whose 60-second lease is over and
// finished receipts 24 hours after they finished, and removes images that no
// receipt names. "running" and "unknown" receipts are never removed.
//
// The execute transaction calls `maintain_state_directory` after taking the
// gate; the one-shot verbs `refresh_state_store`; the session host
// `open_state_store`, which takes and releases the gate around the pass.
#pragma once

#include <chrono>

#include "common/error.h"
#include "common/time.h"
#include "standalone/state/state_store.h"

namespace vor::desktop {

inline constexpr std::size_t kMaximumLeftoverTemporaries = 128;
inline constexpr std::chrono::seconds kSettledReceiptRetention{86400};

// The pass at `now`; the first failure ends it and is returned.
// `expire_images` removes every image, lease or not.
Status maintain_state_directory(StateContext& ctx, const StateRoot& root, Time now, bool expire_images);

// The pass at the clock's time, images kept for their lease.
Status refresh_state_store(StateContext& ctx, const StateRoot& root);

// Takes the gate, runs the pass at the clock's time, releases the gate.
Status open_state_store(StateContext& ctx, const StateRoot& root, bool expire_images);

// True for "<64 hex digits>.tmp-<32 hex digits>".
bool is_receipt_temporary_name(std::string_view name);

}  // namespace vor::desktop
