#include "session/lease.h"

#include <system_error>
#include <utility>

namespace vor::desktop {
namespace {

class SystemLeaseClock final : public LeaseClock {
 public:
  Clock::Monotonic now() override { return std::chrono::steady_clock::now(); }
  void wait(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
            std::chrono::nanoseconds timeout) override {
    wake.wait_for(lock, timeout);
  }
};

std::chrono::nanoseconds saturating_left(Clock::Monotonic target, Clock::Monotonic now) {
  return now >= target ? std::chrono::nanoseconds::zero()
                       : std::chrono::duration_cast<std::chrono::nanoseconds>(target - now);
}

}  // namespace

LeaseClock& system_lease_clock() {
  static SystemLeaseClock clock;
  return clock;
}

SessionLease::SessionLease(LeaseClock& clock, std::shared_ptr<LeaseState> state)
    : clock_(&clock), state_(std::move(state)) {}

SessionLease& SessionLease::operator=(SessionLease&& other) noexcept {
  if (this != &other) {
    release();
    clock_ = other.clock_;
    state_ = std::move(other.state_);
    thread_ = std::move(other.thread_);
    idle_timeout_ = other.idle_timeout_;
    operation_allowance_ = other.operation_allowance_;
  }
  return *this;
}

SessionLease::~SessionLease() { release(); }

void SessionLease::release() {
  if (state_) {
    {
      std::lock_guard lock(state_->mutex);
      state_->stopped = true;
    }
    state_->wake.notify_all();
  }
  if (thread_.joinable()) thread_.join();
  state_.reset();
}

Result<SessionLease> start_lease_thread(LeaseClock& clock, std::function<void(int)> end_process) {
  auto state = std::make_shared<LeaseState>();
  state->deadline = clock.now() + kLeaseOperationAllowance;
  state->busy = true;
  SessionLease lease(clock, state);
  try {
    lease.thread_ = std::thread([state, &clock, end_process = std::move(end_process)] {
      set_current_thread_name(kLeaseThreadName);
      run_lease_watchdog(*state, clock, end_process);
    });
  } catch (const std::system_error& e) {
    return fail(Error::io(std::string("the lease thread could not be started: ") + e.what()));
  }
  return lease;
}

bool lease_begin_operation(SessionLease& lease) {
  LeaseState& s = *lease.state_;
  bool granted = false;
  {
    std::lock_guard lock(s.mutex);
    if (!s.stopped && !s.expired && !s.busy) {
      const Clock::Monotonic now = lease.clock_->now();
      if (now < s.deadline) {
        s.busy = true;
        s.deadline = now + lease.operation_allowance_;
        granted = true;
      }
    }
  }
  s.wake.notify_all();
  return granted;
}

bool lease_end_operation(SessionLease& lease) {
  LeaseState& s = *lease.state_;
  bool granted = false;
  {
    std::lock_guard lock(s.mutex);
    if (!s.stopped && !s.expired && s.busy) {
      const Clock::Monotonic now = lease.clock_->now();
      if (now < s.deadline) {
        s.busy = false;
        s.deadline = now + lease.idle_timeout_;
        granted = true;
      }
    }
  }
  s.wake.notify_all();
  return granted;
}

std::chrono::nanoseconds idle_remaining_seconds(const SessionLease& lease) {
  LeaseState& s = *lease.state_;
  std::lock_guard lock(s.mutex);
  return saturating_left(s.deadline, lease.clock_->now());
}

void run_lease_watchdog(LeaseState& state, LeaseClock& clock, const std::function<void(int)>& end_process) {
  std::unique_lock lock(state.mutex);
  while (!state.stopped) {
    // An operation ends exactly at its deadline; an idle host gets a second
    // of grace, during which a begin is already refused.
    const Clock::Monotonic target = state.busy ? state.deadline : state.deadline + kLeaseIdleGrace;
    const std::chrono::nanoseconds remaining = saturating_left(target, clock.now());
    if (remaining == std::chrono::nanoseconds::zero()) {
      state.expired = true;
      lock.unlock();
      end_process(kLeaseExpiredExitCode);
      return;
    }
    clock.wait(lock, state.wake, remaining);
  }
}

}  // namespace vor::desktop
