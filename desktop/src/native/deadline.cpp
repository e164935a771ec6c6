#include "native/deadline.h"

#include <algorithm>

namespace vor::desktop {

OperationDeadline::OperationDeadline(Clock& clock, std::uint32_t timeout_ms)
    : clock_(clock), start_(clock.monotonic_now()), timeout_(std::chrono::milliseconds(timeout_ms)) {}

std::chrono::nanoseconds OperationDeadline::elapsed() const { return clock_.monotonic_now() - start_; }

bool OperationDeadline::expired() const { return elapsed() >= timeout_; }

std::chrono::nanoseconds OperationDeadline::remaining() const {
  return std::max(timeout_ - elapsed(), std::chrono::nanoseconds::zero());
}

bool OperationDeadline::sleep_retry_slice() {
  const std::chrono::nanoseconds left = remaining();
  if (left <= std::chrono::nanoseconds::zero()) return false;
  if (left > kRetrySlice) {
    clock_.sleep(kRetrySlice);
    return !expired();
  }
  // The last slice runs to the deadline. A sleep may wake a little early
  // (timer granularity); another attempt started in that sliver would only
  // run into the deadline half-way and report a time-out instead of the
  // outcome of the wait, so the rest is slept too.
  do {
    clock_.sleep(remaining());
  } while (!expired());
  return false;
}

}  // namespace vor::desktop
