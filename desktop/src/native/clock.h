// The clock port: a monotonic clock for deadlines, UTC for observations and
// records, and sleeping. Every rule that waits or stamps time reads it here;
// the composition root hands down `system_clock()`, tests a fake that
// advances only when the code under test sleeps.
#pragma once

#include <chrono>

#include "common/time.h"

namespace vor::desktop {

// Time: a monotonic clock for deadlines, UTC for observations, and sleeping.
class Clock {
 public:
  using Monotonic = std::chrono::steady_clock::time_point;
  virtual ~Clock() = default;
  virtual Monotonic monotonic_now() = 0;
  virtual Time utc_now() = 0;
  virtual void sleep(std::chrono::nanoseconds duration) = 0;
};

// The steady clock, the system clock and the calling thread's sleep.
Clock& system_clock();

}  // namespace vor::desktop
