#include "native/lifetime_watchdog.h"

#include <system_error>

namespace vor::desktop {

void run_worker_watchdog(WatchdogChannel& channel, std::chrono::steady_clock::duration duration,
                         const std::function<void()>& terminate) {
  const auto now = std::chrono::steady_clock::now();
  std::unique_lock lock(channel.mutex);
  // A duration that would overflow the clock waits without a deadline.
  if (duration > std::chrono::steady_clock::time_point::max() - now) {
    channel.changed.wait(lock, [&] { return channel.signalled; });
    return;
  }
  if (channel.changed.wait_until(lock, now + duration, [&] { return channel.signalled; })) return;
  lock.unlock();
  terminate();
}

std::optional<LifetimeWatchdog> LifetimeWatchdog::start(std::chrono::steady_clock::duration duration,
                                                         std::function<void()> terminate) {
  LifetimeWatchdog owner;
  owner.channel_ = std::make_shared<WatchdogChannel>();
  try {
    owner.thread_ = std::thread([channel = owner.channel_, duration, terminate = std::move(terminate)] {
      set_current_thread_name("desktop-lifetime");
      run_worker_watchdog(*channel, duration, terminate);
    });
  } catch (const std::system_error&) {
    return std::nullopt;
  }
  return owner;
}

LifetimeWatchdog::~LifetimeWatchdog() {
  if (!channel_) return;
  {
    std::lock_guard lock(channel_->mutex);
    channel_->signalled = true;
  }
  channel_->changed.notify_all();
  if (thread_.joinable()) thread_.join();
}

}  // namespace vor::desktop
