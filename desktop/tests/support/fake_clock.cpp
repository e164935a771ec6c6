#include "support/fake_clock.h"

namespace vor::desktop::testing {

FakeClock::FakeClock(Time utc_start)
    : now(utc_start), start_(Monotonic(std::chrono::hours(1000))), monotonic_(start_) {}

void FakeClock::sleep(std::chrono::nanoseconds duration) {
  sleeps_.push_back(duration);
  advance(duration > early_wake ? duration - early_wake : std::chrono::nanoseconds(1));
}

void FakeClock::advance(std::chrono::nanoseconds duration) {
  monotonic_ += duration;
  now += duration;
}

}  // namespace vor::desktop::testing
