// The maintenance pass of the state root, run by the holder of the `.gate`:
// removes leftover temporaries a day old and re-protects younger plaintext
// ones, re-protects plain receipts, migrates legacy plaintext images, removes
// images whose 60-second lease is over, finished receipts 24 hours after they
// finished and images that no receipt names. A read-only "running" receipt
// whose broker is gone goes a day after it was made; mutating "running" and
// every "unknown" receipt stay until reconciled (they fence input).
//
// The execute transaction calls `maintain_state_directory` after taking the
// gate; the one-shot verbs `refresh_state_store`; the session host
// `open_state_store`, which takes and releases the gate around the pass.
#pragma once

#include <chrono>

#include "common/error.h"
#include "common/time.h"
#include "native/ports.h"
#include "standalone/state/state_store.h"

namespace vor::desktop {

inline constexpr std::size_t kMaximumLeftoverTemporaries = 128;
inline constexpr std::chrono::seconds kSettledReceiptRetention{86400};
// Leftover temporaries (by their last write) and read-only "running"
// receipts of a broker that is gone (by their `createdAt`) go at this age.
inline constexpr std::chrono::seconds kAbandonedStateRetention{86400};

// The pass at `now`; the first failure ends it and is returned.
// `expire_images` removes every image, lease or not. `processes` tells
// whether the broker of a "running" receipt is gone.
Status maintain_state_directory(StateContext& ctx, ProcSys& processes, const StateRoot& root, Time now,
                                bool expire_images);

// The pass at the clock's time, images kept for their lease.
Status refresh_state_store(StateContext& ctx, ProcSys& processes, const StateRoot& root);

// Takes the gate, runs the pass at the clock's time, releases the gate.
Status open_state_store(StateContext& ctx, ProcSys& processes, const StateRoot& root, bool expire_images);

// True for "<64 hex digits>.tmp-<32 hex digits>".
bool is_receipt_temporary_name(std::string_view name);

// True for every temporary the store writes: a receipt's (above), its
// re-protection "<receipt temporary>.protect-<32 hex digits>" and an image's
// "<64 hex digits>.image.tmp-<32 hex digits>".
bool is_state_temporary_name(std::string_view name);

}  // namespace vor::desktop
