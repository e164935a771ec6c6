// The "desktop-lifetime" watchdog: a thread that ends the whole process with
// exit code 124 when its deadline passes before the command finishes.
//
// The entry starts it before parsing (15 s for the worker, 30 s otherwise)
// and keeps the returned owner for the life of the command; dropping the
// owner signals the thread, which then ends without effect.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "native/process_control.h"

namespace vor::desktop {

inline constexpr int kExitDeadline = 124;
inline constexpr std::chrono::seconds kWorkerLifetime{15};
inline constexpr std::chrono::seconds kCommandLifetime{30};

// One-shot signal shared by the owner and the thread.
struct WatchdogChannel {
  std::mutex mutex;
  std::condition_variable changed;
  bool signalled = false;
};

// Thread body: returns when the channel is signalled; at the deadline calls
// `terminate` (which ends the process and does not return).
void run_worker_watchdog(WatchdogChannel& channel, std::chrono::steady_clock::duration duration,
                         const std::function<void()>& terminate);

class LifetimeWatchdog {
 public:
  // nullopt when the thread could not be started.
  static std::optional<LifetimeWatchdog> start(std::chrono::steady_clock::duration duration,
                                               std::function<void()> terminate);
  LifetimeWatchdog(LifetimeWatchdog&&) = default;
  // Not assignable: replacing a running thread would end the process.
  LifetimeWatchdog& operator=(LifetimeWatchdog&&) = delete;
  ~LifetimeWatchdog();

 private:
  LifetimeWatchdog() = default;
  std::shared_ptr<WatchdogChannel> channel_;
  std::thread thread_;
};

}  // namespace vor::desktop
