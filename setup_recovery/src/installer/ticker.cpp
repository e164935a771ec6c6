#include "installer/ticker.h"

#include <thread>

#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace vor::setup {
namespace {

class SteadyTicker final : public Ticker {
 public:
  Duration now() override { return std::chrono::steady_clock::now().time_since_epoch(); }
  void sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
  asio::awaitable<void> sleep_async(std::chrono::milliseconds duration) override {
    asio::steady_timer timer(co_await asio::this_coro::executor, duration);
    std::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
};

}  // namespace

std::unique_ptr<Ticker> make_steady_ticker() { return std::make_unique<SteadyTicker>(); }

}  // namespace vor::setup
