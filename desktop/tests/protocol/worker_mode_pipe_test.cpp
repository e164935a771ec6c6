#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "desktop/tests/protocol/frame_memory_stream.h"
#include "protocol/worker_mode_pipe.h"

namespace vor::desktop {
namespace {

// A stream whose reads complete only when cancelled (a silent peer); writes
// complete at once.
class StalledStream {
 public:
  using executor_type = asio::io_context::executor_type;
  explicit StalledStream(asio::io_context& io) : executor_(io.get_executor()) {}
  executor_type get_executor() { return executor_; }

  template <class Buffers, class Handler>
  void async_read_some(const Buffers&, Handler&& handler) {
    // std::function needs a copyable target; the handler itself is move-only.
    auto held = std::make_shared<std::decay_t<Handler>>(std::forward<Handler>(handler));
    pending_ = [held](std::error_code ec) { (*held)(ec, 0); };
  }
  template <class Buffers, class Handler>
  void async_write_some(const Buffers& buffers, Handler&& handler) {
    const std::size_t n = asio::buffer_size(buffers);
    asio::post(executor_, [h = std::forward<Handler>(handler), n]() mutable { h(std::error_code(), n); });
  }
  void cancel(std::error_code&) {
    ++cancels;
    if (auto p = std::move(pending_)) {
      pending_ = nullptr;
      asio::post(executor_, [p = std::move(p)]() mutable { p(asio::error::operation_aborted); });
    }
  }
  int cancels = 0;

 private:
  executor_type executor_;
  std::function<void(std::error_code)> pending_;
};

TEST(AsioFramePipe, AReadFromASilentPeerEndsAtItsLimit) {
  asio::io_context io;
  AsioFramePipe<StalledStream> pipe(io, StalledStream(io));
  auto r = pipe.read_frame(1024, std::chrono::milliseconds(20));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().outermost(), kPipeTimeLimitPassed);
  EXPECT_EQ(pipe.stream().cancels, 1);
  // A write that completes in time is not cancelled.
  EXPECT_TRUE(pipe.write_frame("{}", 1024, std::chrono::seconds(3)));
  EXPECT_EQ(pipe.stream().cancels, 1);
}

class CancellableMemoryStream : public testing::MemoryStream {
 public:
  using MemoryStream::MemoryStream;
  void cancel(std::error_code&) {}
};

TEST(AsioFramePipe, FramesAndTheirSizeRulesPassThrough) {
  asio::io_context io;
  std::string input = std::string("\x02\x00\x00\x00", 4) + "{}" + std::string("\x00\x00\x00\x00", 4);
  AsioFramePipe<CancellableMemoryStream> pipe(io, CancellableMemoryStream(io, input));
  EXPECT_EQ(pipe.read_frame(16, std::chrono::seconds(3)), std::string("{}"));
  auto empty = pipe.read_frame(16, std::chrono::seconds(3));
  ASSERT_FALSE(empty);
  EXPECT_EQ(empty.error().outermost(), "DESKTOP_FRAME_SIZE_INVALID");
  auto eof = pipe.read_frame(16, std::chrono::seconds(3));
  ASSERT_FALSE(eof);
  EXPECT_EQ(eof.error().outermost(), "early eof");

  ASSERT_TRUE(pipe.write_frame("{\"a\":1}", 16, std::chrono::seconds(3)));
  EXPECT_EQ(pipe.stream().written, std::string("\x07\x00\x00\x00", 4) + "{\"a\":1}");
  auto too_big = pipe.write_frame(std::string(17, 'x'), 16, std::chrono::seconds(3));
  ASSERT_FALSE(too_big);
  EXPECT_EQ(too_big.error().outermost(), "DESKTOP_FRAME_SIZE_INVALID");
}

}  // namespace
}  // namespace vor::desktop
