// The one fake clock of the tests: time moves only when the code under test
// sleeps or the test advances it, so deadlines and retry slices are tested
// without real time.
//
//   FakeClock clock;                       // 2027-01-15T08:00:00Z, an arbitrary monotonic start
//   clock.now = parse_time("...");         // UTC only; the monotonic clock stays
//   run(clock);                            // its sleeps advance both clocks
//   EXPECT_EQ(clock.sleeps().size(), 3u);
#pragma once

#include <chrono>
#include <vector>

#include "native/clock.h"

namespace vor::desktop::testing {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(Time utc_start = Time(std::chrono::seconds(1'800'000'000)));

  Monotonic monotonic_now() override { return monotonic_; }
  Time utc_now() override { return now; }
  void sleep(std::chrono::nanoseconds duration) override;

  // Moves the monotonic clock and `now` forward together.
  void advance(std::chrono::nanoseconds duration);
  // Each sleep wakes this much early (as platform timers may), never below 1 ns.
  std::chrono::nanoseconds early_wake{0};
  // Monotonic time passed since construction.
  std::chrono::nanoseconds elapsed() const { return monotonic_ - start_; }
  const std::vector<std::chrono::nanoseconds>& sleeps() const { return sleeps_; }

  // UTC as `utc_now` gives it; a test may set it.
  Time now;

 private:
  Monotonic start_;
  Monotonic monotonic_;
  std::vector<std::chrono::nanoseconds> sleeps_;
};

}  // namespace vor::desktop::testing
