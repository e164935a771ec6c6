// A lease clock whose time moves only when the test says so. The watchdog's
// condition waits return after at most a millisecond of real time, so it
// re-reads the fake time often; every wait is recorded with the fake time at
// which it began and the time-out it asked for, so a test can see exactly
// what the watchdog decided after each step.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <vector>

#include "session/lease.h"

namespace vor::desktop::testing {

class FakeLeaseClock final : public LeaseClock {
 public:
  struct Wait {
    Clock::Monotonic at;
    std::chrono::nanoseconds timeout;
  };

  // Callers of the lease read the clock under the lease's mutex, so the
  // watchdog's last reading is the one its next wait was computed from.
  Clock::Monotonic now() override {
    std::lock_guard lock(mutex_);
    last_read_ = now_;
    return now_;
  }

  void wait(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
            std::chrono::nanoseconds timeout) override {
    {
      std::lock_guard guard(mutex_);
      waits_.push_back({last_read_, timeout});
    }
    recorded_.notify_all();
    wake.wait_for(lock, std::chrono::milliseconds(1));
  }

  void advance(std::chrono::nanoseconds by) {
    std::lock_guard lock(mutex_);
    now_ += by;
  }

  Clock::Monotonic start() const { return start_; }

  // The number of waits so far: call it after changing the lease or the time.
  std::size_t mark() {
    std::lock_guard lock(mutex_);
    return waits_.size();
  }

  // The time-out of the first wait after `mark` that the watchdog computed
  // at the current fake time, waiting up to 5 real seconds for it; nullopt
  // when none came (the watchdog fired or has ended).
  std::optional<std::chrono::nanoseconds> next_wait_timeout(std::size_t mark) {
    std::unique_lock lock(mutex_);
    const Clock::Monotonic at = now_;
    std::optional<std::chrono::nanoseconds> found;
    recorded_.wait_for(lock, std::chrono::seconds(5), [&] {
      for (std::size_t i = mark; i < waits_.size(); ++i) {
        if (waits_[i].at == at) {
          found = waits_[i].timeout;
          return true;
        }
      }
      return false;
    });
    return found;
  }

 private:
  std::mutex mutex_;
  std::condition_variable recorded_;
  const Clock::Monotonic start_ = Clock::Monotonic(std::chrono::hours(1000));
  Clock::Monotonic now_ = start_;
  Clock::Monotonic last_read_ = start_;
  std::vector<Wait> waits_;
};

// Records the exit code the watchdog asked for, instead of ending the test.
class RecordedExit {
 public:
  std::function<void(int)> function() {
    return [this](int code) {
      {
        std::lock_guard lock(mutex_);
        code_ = code;
      }
      changed_.notify_all();
    };
  }
  // The code, waiting up to 5 real seconds for it.
  std::optional<int> await_code() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(5), [&] { return code_.has_value(); });
    return code_;
  }
  std::optional<int> code() {
    std::lock_guard lock(mutex_);
    return code_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::optional<int> code_;
};

}  // namespace vor::desktop::testing
