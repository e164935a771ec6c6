#include <thread>

#include "native/clock.h"

namespace vor::desktop {
namespace {

class SystemClock final : public Clock {
 public:
  Monotonic monotonic_now() override { return std::chrono::steady_clock::now(); }
  Time utc_now() override { return Time(std::chrono::system_clock::now()); }
  void sleep(std::chrono::nanoseconds duration) override {
    if (duration > std::chrono::nanoseconds::zero()) std::this_thread::sleep_for(duration);
  }
};

}  // namespace

Clock& system_clock() {
  static SystemClock clock;
  return clock;
}

}  // namespace vor::desktop
