// Length-prefixed frames on the worker and session pipes.
//
// A frame is N (4 bytes, little-endian) followed by N bytes of one compact
// JSON document, 1 <= N <= the maximum of the message the receiver expects.
// The broker, worker, session host and session client send every message
// through these functions; they work over any asio stream (a named pipe's
// `asio::windows::stream_handle` on Windows, an in-memory stream in tests).
// They carry no time limit: callers race the async forms against a timer.
//
//   async_write_frame(pipe, encode_worker_ready(ready), kWorkerReadyMaxBytes, [](Status s) {...});
//   async_read_frame(pipe, kReadyAckMaxBytes, [](Result<std::string> body) {...});
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <asio.hpp>

#include "common/error.h"

namespace vor::desktop {

inline constexpr std::string_view kFrameSizeInvalid = "DESKTOP_FRAME_SIZE_INVALID";

// Maximum body length N of each message, by the receiver's expectation.
inline constexpr std::uint32_t kWorkerReadyMaxBytes = 1024;
inline constexpr std::uint32_t kReadyAckMaxBytes = 1024;
inline constexpr std::uint32_t kRequestMaxBytes = 16384;
inline constexpr std::uint32_t kResponseMaxBytes = 2097152;
inline constexpr std::uint32_t kRpcMaxBytes = 17408;
inline constexpr std::uint32_t kReplyMaxBytes = 2097152;
inline constexpr std::uint32_t kAckMaxBytes = 1024;

inline constexpr std::size_t kFrameHeaderBytes = 4;
using FrameHeader = std::array<unsigned char, kFrameHeaderBytes>;

// The header for a body of `size` bytes, or "DESKTOP_FRAME_SIZE_INVALID" when
// the size is 0 or over `max_bytes`.
Result<FrameHeader> frame_header(std::size_t size, std::uint32_t max_bytes);

// N from a received header, checked against `max_bytes` the same way.
Result<std::uint32_t> frame_length(const FrameHeader& header, std::uint32_t max_bytes);

// A stream failure as an error value: the end of the stream (or, on read, a
// broken pipe) is the I/O error "early eof"; an operating-system error keeps
// its number; anything else is an I/O error with asio's text.
enum class FrameDirection { kRead, kWrite };
Error frame_stream_error(const std::error_code& ec, FrameDirection direction);

// The whole frame (header then body) as one buffer, checked first.
Result<std::string> frame_bytes(std::string_view body, std::uint32_t max_bytes);

// --- synchronous forms (SyncReadStream / SyncWriteStream) ---

template <class SyncWriteStream>
Status write_frame(SyncWriteStream& stream, std::string_view body, std::uint32_t max_bytes) {
  VOR_ASSIGN_OR_RETURN(auto frame, frame_bytes(body, max_bytes));
  std::error_code ec;
  asio::write(stream, asio::buffer(frame), ec);
  if (ec) return fail(frame_stream_error(ec, FrameDirection::kWrite));
  return {};
}

template <class SyncReadStream>
Result<std::string> read_frame(SyncReadStream& stream, std::uint32_t max_bytes) {
  FrameHeader header{};
  std::error_code ec;
  asio::read(stream, asio::buffer(header), ec);
  if (ec) return fail(frame_stream_error(ec, FrameDirection::kRead));
  VOR_ASSIGN_OR_RETURN(auto length, frame_length(header, max_bytes));
  std::string body(length, '\0');
  asio::read(stream, asio::buffer(body), ec);
  if (ec) return fail(frame_stream_error(ec, FrameDirection::kRead));
  return body;
}

// --- asynchronous forms (AsyncReadStream / AsyncWriteStream) ---

namespace frame_detail {

template <class Stream>
struct ReadOp {
  Stream& stream;
  std::uint32_t max_bytes;
  // Heap state: the op object moves between steps, the buffers must not.
  struct State {
    FrameHeader header{};
    std::string body;
  };
  std::unique_ptr<State> state = std::make_unique<State>();
  enum { kStart, kHeader, kBody } step = kStart;

  template <class Self>
  void operator()(Self& self, std::error_code ec = {}, std::size_t = 0) {
    switch (step) {
      case kStart:
        step = kHeader;
        asio::async_read(stream, asio::buffer(state->header), std::move(self));
        return;
      case kHeader: {
        if (ec) return self.complete(fail(frame_stream_error(ec, FrameDirection::kRead)));
        auto length = frame_length(state->header, max_bytes);
        if (!length) return self.complete(fail(std::move(length.error())));
        state->body.assign(*length, '\0');
        step = kBody;
        asio::async_read(stream, asio::buffer(state->body), std::move(self));
        return;
      }
      case kBody: {
        Result<std::string> result = std::move(state->body);
        if (ec) result = fail(frame_stream_error(ec, FrameDirection::kRead));
        return self.complete(std::move(result));
      }
    }
  }
};

template <class Stream>
struct WriteOp {
  Stream& stream;
  // Header and body, or why nothing is written. Held behind a pointer: the
  // op moves between steps and a short string's bytes would move with it.
  std::unique_ptr<Result<std::string>> frame;
  enum { kStart, kWritten, kRefused } step = kStart;

  template <class Self>
  void operator()(Self& self, std::error_code ec = {}, std::size_t = 0) {
    switch (step) {
      case kStart:
        if (!*frame) {
          // Complete through the stream's executor, never inside the call.
          step = kRefused;
          asio::post(stream.get_executor(), std::move(self));
          return;
        }
        step = kWritten;
        asio::async_write(stream, asio::buffer(**frame), std::move(self));
        return;
      case kWritten:
        if (ec) return self.complete(Status(fail(frame_stream_error(ec, FrameDirection::kWrite))));
        return self.complete(Status());
      case kRefused:
        return self.complete(Status(fail(std::move(frame->error()))));
    }
  }
};

}  // namespace frame_detail

// Reads one frame; completes with the body or the error. Nothing after the
// 4 length bytes is read when N is 0 or over `max_bytes`.
template <class AsyncReadStream, class CompletionToken>
auto async_read_frame(AsyncReadStream& stream, std::uint32_t max_bytes, CompletionToken&& token) {
  return asio::async_compose<CompletionToken, void(Result<std::string>)>(
      frame_detail::ReadOp<AsyncReadStream>{stream, max_bytes}, token, stream);
}

// Writes one frame; completes with success or the error. Nothing is written
// when the body is empty or over `max_bytes`.
template <class AsyncWriteStream, class CompletionToken>
auto async_write_frame(AsyncWriteStream& stream, std::string_view body, std::uint32_t max_bytes,
                       CompletionToken&& token) {
  return asio::async_compose<CompletionToken, void(Status)>(
      frame_detail::WriteOp<AsyncWriteStream>{
          stream, std::make_unique<Result<std::string>>(frame_bytes(body, max_bytes))},
      token, stream);
}

}  // namespace vor::desktop
