// Monotonic time and the two kinds of sleep the recovery uses: a blocking
// sleep of the calling thread (the service start wait) and a timer on the
// event loop (the service stop wait, the child's job drain). Tests script a
// ticker whose time moves only when something sleeps.
//
//   const auto deadline = ticker.now() + 30s;
//   co_await ticker.sleep_async(250ms);
#pragma once

#include <chrono>
#include <memory>

#include <asio/awaitable.hpp>

namespace vor::setup {

class Ticker {
 public:
  using Duration = std::chrono::steady_clock::duration;
  virtual ~Ticker() = default;
  virtual Duration now() = 0;
  virtual void sleep(std::chrono::milliseconds duration) = 0;
  virtual asio::awaitable<void> sleep_async(std::chrono::milliseconds duration) = 0;
};

// std::chrono::steady_clock, std::this_thread::sleep_for and an asio
// steady_timer on the awaiting coroutine's executor.
std::unique_ptr<Ticker> make_steady_ticker();

}  // namespace vor::setup
