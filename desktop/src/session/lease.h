// The session host's idle lease: the host's life is bounded by it.
//
// 30 seconds for start-up and for each `execute` or `reconcile` operation,
// 300 seconds of idle time after start-up and after each such operation (an
// idle host gets one more second of grace). The "desktop-session-lease"
// thread ends the process with exit code 124 when the lease runs out; the
// host asks the lease before and after each operation and reads its
// remaining time to bound its waits.
//
//   auto lease = start_lease_thread(system_lease_clock(), terminate_current_process);
//   ... start-up ...
//   if (!lease_end_operation(*lease)) return fail("DESKTOP_SESSION_EXPIRED");
//   if (lease_begin_operation(*lease)) { work(); lease_end_operation(*lease); }
//   auto wait = idle_remaining_seconds(*lease);   // full precision
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "common/error.h"
#include "native/ports.h"
#include "native/process_control.h"

namespace vor::desktop {

inline constexpr std::chrono::seconds kLeaseIdleTimeout{300};
inline constexpr std::chrono::seconds kLeaseOperationAllowance{30};
inline constexpr std::chrono::seconds kLeaseIdleGrace{1};
inline constexpr int kLeaseExpiredExitCode = 124;
inline constexpr const char* kLeaseThreadName = "desktop-session-lease";

// Time for the lease: the monotonic clock, and the watchdog's wait on its
// condition. The condition wait is part of the port so that a test clock can
// let time pass without the test waiting for it.
class LeaseClock {
 public:
  virtual ~LeaseClock() = default;
  virtual Clock::Monotonic now() = 0;
  // Waits on `wake` with `lock` held on entry and on return, until notified
  // or until `timeout` has passed (spurious returns are allowed).
  virtual void wait(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
                    std::chrono::nanoseconds timeout) = 0;
};

// The steady clock and a plain timed condition wait.
LeaseClock& system_lease_clock();

// Shared between the host's runtime thread and the watchdog; every field is
// read and written under `mutex`.
struct LeaseState {
  std::mutex mutex;
  std::condition_variable wake;
  Clock::Monotonic deadline{};
  bool busy = true;      // an operation (or start-up) is in progress
  bool stopped = false;  // the watchdog is to leave its loop
  bool expired = false;  // the watchdog has fired
};

// The lease handle the host owns. Destroying it stops the watchdog (which
// then ends without effect) and joins its thread.
class SessionLease {
 public:
  SessionLease(SessionLease&&) noexcept = default;
  SessionLease& operator=(SessionLease&&) noexcept;
  ~SessionLease();

 private:
  friend Result<SessionLease> start_lease_thread(LeaseClock& clock, std::function<void(int)> end_process);
  friend bool lease_begin_operation(SessionLease& lease);
  friend bool lease_end_operation(SessionLease& lease);
  friend std::chrono::nanoseconds idle_remaining_seconds(const SessionLease& lease);

  SessionLease(LeaseClock& clock, std::shared_ptr<LeaseState> state);
  void release();

  LeaseClock* clock_;
  std::shared_ptr<LeaseState> state_;
  std::thread thread_;
  std::chrono::nanoseconds idle_timeout_ = kLeaseIdleTimeout;
  std::chrono::nanoseconds operation_allowance_ = kLeaseOperationAllowance;
};

// Creates the state (deadline now + 30 s, busy) and starts the watchdog
// thread. When the lease runs out the watchdog calls `end_process(124)`,
// which in the program never returns; if it does (a test), the thread ends.
// A thread that cannot be started is an error.
Result<SessionLease> start_lease_thread(LeaseClock& clock, std::function<void(int)> end_process);

// Marks the start of an operation: refused (false) when stopped, expired,
// already busy or past the deadline; else busy with a 30-second allowance.
bool lease_begin_operation(SessionLease& lease);

// Marks the end of the operation: refused (false) when stopped, expired, not
// busy or past the deadline; else idle with 300 seconds.
bool lease_end_operation(SessionLease& lease);

// The time left until the deadline, zero once it has passed, at full
// precision (the documents report whole seconds). Never renews the lease.
std::chrono::nanoseconds idle_remaining_seconds(const SessionLease& lease);

// The watchdog's loop, run by the lease thread: returns once stopped, or
// after `end_process(124)` returned.
void run_lease_watchdog(LeaseState& state, LeaseClock& clock, const std::function<void(int)>& end_process);

}  // namespace vor::desktop
