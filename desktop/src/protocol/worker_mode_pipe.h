// One end of the worker pipe as the worker and the broker use it: whole
// frames, each read or write bounded by its own time limit.
//
// `FramePipe` is what the exchange rules see (tests script it);
// `AsioFramePipe` serves it over any asio stream that can be cancelled (the
// overlapped named pipe of either side on Windows). Each call runs the I/O
// context until its operation or its timer completes, so nothing stays
// pending between calls.
//
//   AsioFramePipe<asio::windows::stream_handle> pipe(io, std::move(handle));
//   auto body = pipe.read_frame(kReadyAckMaxBytes, std::chrono::seconds(3));
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include <asio.hpp>

#include "common/error.h"
#include "protocol/frame.h"

namespace vor::desktop {

// The I/O error of an operation whose time limit passed.
inline constexpr std::string_view kPipeTimeLimitPassed = "pipe time limit passed";

// True when a `FramePipe` call failed because its time limit passed.
inline bool is_pipe_time_limit(const Error& error) {
  return error.links().size() == 1 && error.links().front().kind == Error::Kind::kIo &&
         error.outermost() == kPipeTimeLimitPassed;
}

class FramePipe {
 public:
  virtual ~FramePipe() = default;
  // One frame of at most `max_bytes`; "DESKTOP_FRAME_SIZE_INVALID" for a bad
  // length, an I/O error for a stream failure or the time limit.
  virtual Result<std::string> read_frame(std::uint32_t max_bytes, std::chrono::milliseconds limit) = 0;
  virtual Status write_frame(std::string_view body, std::uint32_t max_bytes, std::chrono::milliseconds limit) = 0;
};

// Runs `start(handler)` and a timer on `io` until the operation completes.
// When the timer fires first the stream is cancelled and the result is the
// time-limit error, whatever the cancelled operation reported.
template <class T, class Stream, class Start>
std::expected<T, Error> run_bounded(asio::io_context& io, Stream& stream, std::chrono::milliseconds limit,
                                    Start&& start) {
  std::optional<std::expected<T, Error>> result;
  bool timed_out = false;
  asio::steady_timer timer(io, limit);
  timer.async_wait([&](const std::error_code& ec) {
    if (ec || result) return;
    timed_out = true;
    std::error_code ignored;
    stream.cancel(ignored);
  });
  start([&](std::expected<T, Error> r) {
    result = std::move(r);
    timer.cancel();
  });
  io.restart();
  io.run();
  if (timed_out) return std::unexpected<Error>(Error::io(std::string(kPipeTimeLimitPassed)));
  if (!result) return std::unexpected<Error>(Error::io("pipe operation did not complete"));
  return std::move(*result);
}

template <class Stream>
class AsioFramePipe final : public FramePipe {
 public:
  AsioFramePipe(asio::io_context& io, Stream stream) : io_(io), stream_(std::move(stream)) {}

  Result<std::string> read_frame(std::uint32_t max_bytes, std::chrono::milliseconds limit) override {
    return run_bounded<std::string>(io_, stream_, limit, [&](auto done) {
      async_read_frame(stream_, max_bytes, [done](Result<std::string> r) mutable { done(std::move(r)); });
    });
  }

  Status write_frame(std::string_view body, std::uint32_t max_bytes, std::chrono::milliseconds limit) override {
    return run_bounded<void>(io_, stream_, limit, [&](auto done) {
      async_write_frame(stream_, body, max_bytes, [done](Status s) mutable { done(std::move(s)); });
    });
  }

  Stream& stream() { return stream_; }

 private:
  asio::io_context& io_;
  Stream stream_;
};

}  // namespace vor::desktop
