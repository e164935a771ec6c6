// The one deadline of a worker operation's retry loops.
//
// Window search, element search, waits and verification all count from the
// same start and end at start + timeoutMs; between two attempts they sleep in
// slices of 50 ms, shortened to the time left. Elapsed time is measured on
// the monotonic clock of the `Clock` port.
//
//   OperationDeadline deadline(clock, timeout_ms);
//   for (;;) {
//     ... one attempt ...
//     if (!deadline.sleep_retry_slice()) break;  // the time is up
//   }
#pragma once

#include <chrono>
#include <cstdint>

#include "native/ports.h"

namespace vor::desktop {

inline constexpr std::chrono::milliseconds kRetrySlice{50};

class OperationDeadline {
 public:
  // Starts the clock now.
  OperationDeadline(Clock& clock, std::uint32_t timeout_ms);

  std::chrono::nanoseconds elapsed() const;
  // Elapsed >= timeoutMs.
  bool expired() const;
  // The time left, zero once expired.
  std::chrono::nanoseconds remaining() const;
  // Sleeps 50 ms or the time left when that is shorter; false (without
  // sleeping) when the deadline has already passed, and false when it has
  // passed after the sleep, so the caller stops retrying. A slice shortened
  // to the time left always ends at or after the deadline, even when the
  // platform's sleep wakes early.
  bool sleep_retry_slice();

 private:
  Clock& clock_;
  Clock::Monotonic start_;
  std::chrono::nanoseconds timeout_;
};

}  // namespace vor::desktop
