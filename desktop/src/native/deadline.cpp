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
  clock_.sleep(std::min<std::chrono::nanoseconds>(kRetrySlice, left));
  return !expired();
}

}  // namespace vor::desktop
