#include "protocol/frame.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "frame_memory_stream.h"

namespace vor::desktop {
namespace {

using testing::MemoryStream;

std::string le32(std::uint32_t n) {
  return {static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff), static_cast<char>((n >> 16) & 0xff),
          static_cast<char>((n >> 24) & 0xff)};
}

std::string frame_of(std::uint32_t declared, std::size_t actual_body) {
  return le32(declared) + std::string(actual_body, 'x');
}

// Reads one frame with the synchronous or the asynchronous form.
Result<std::string> read_one(MemoryStream& stream, asio::io_context& io, std::uint32_t max, bool async) {
  if (!async) return read_frame(stream, max);
  std::optional<Result<std::string>> out;
  async_read_frame(stream, max, [&](Result<std::string> r) { out = std::move(r); });
  io.run();
  io.restart();
  EXPECT_TRUE(out.has_value());
  return std::move(*out);
}

Status write_one(MemoryStream& stream, asio::io_context& io, std::string_view body, std::uint32_t max, bool async) {
  if (!async) return write_frame(stream, body, max);
  std::optional<Status> out;
  async_write_frame(stream, body, max, [&](Status s) { out = std::move(s); });
  EXPECT_FALSE(out.has_value()) << "completion must not run inside the call";
  io.run();
  io.restart();
  EXPECT_TRUE(out.has_value());
  return std::move(*out);
}

class FrameRead : public ::testing::TestWithParam<bool> {};

struct LimitCase {
  const char* message;
  std::uint32_t max;
};

TEST_P(FrameRead, BodyOfExactlyTheMaximumPassesAndOneMoreIsRefusedAfterTheLengthBytes) {
  const LimitCase cases[] = {{"WorkerReady", kWorkerReadyMaxBytes}, {"ReadyAck", kReadyAckMaxBytes},
                             {"Request", kRequestMaxBytes},         {"Response", kResponseMaxBytes},
                             {"Rpc", kRpcMaxBytes},                 {"Reply", kReplyMaxBytes},
                             {"Ack", kAckMaxBytes}};
  for (const LimitCase& c : cases) {
    SCOPED_TRACE(c.message);
    asio::io_context io;
    MemoryStream exact(io, frame_of(c.max, c.max) + "tail");
    exact.chunk = 700;  // several partial reads per frame
    auto body = read_one(exact, io, c.max, GetParam());
    ASSERT_TRUE(body) << body.error().display_chain();
    EXPECT_EQ(body->size(), c.max);
    EXPECT_EQ(exact.consumed(), 4 + c.max) << "nothing past the frame is read";

    MemoryStream over(io, frame_of(c.max + 1, c.max + 1));
    auto refused = read_one(over, io, c.max, GetParam());
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().outermost(), "DESKTOP_FRAME_SIZE_INVALID");
    EXPECT_EQ(over.consumed(), 4u) << "an oversized body is never read";
  }
}

TEST_P(FrameRead, ZeroLengthIsRefusedAfterTheLengthBytes) {
  asio::io_context io;
  MemoryStream stream(io, le32(0) + "{}");
  auto r = read_one(stream, io, kAckMaxBytes, GetParam());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().outermost(), "DESKTOP_FRAME_SIZE_INVALID");
  EXPECT_EQ(stream.consumed(), 4u);
}

TEST_P(FrameRead, LengthIsLittleEndianAndLargeDeclaredLengthsAreRefused) {
  asio::io_context io;
  MemoryStream stream(io, std::string("\x02\x01\x00\x00", 4) + std::string(0x102, 'a'));
  auto r = read_one(stream, io, kRequestMaxBytes, GetParam());
  ASSERT_TRUE(r);
  EXPECT_EQ(r->size(), 0x102u);

  // 0x01000000 read big-endian would be 1 and pass.
  MemoryStream high(io, std::string("\x00\x00\x00\x01", 4) + "x");
  auto refused = read_one(high, io, kReplyMaxBytes, GetParam());
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().outermost(), "DESKTOP_FRAME_SIZE_INVALID");
}

TEST_P(FrameRead, StreamEndingInsideTheFrameIsAnIoError) {
  struct Case {
    const char* name;
    std::string input;
  };
  const Case cases[] = {
      {"no bytes at all", ""},
      {"2 of the 4 length bytes", le32(100).substr(0, 2)},
      {"10 bytes into a 100-byte body", frame_of(100, 10)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context io;
    MemoryStream stream(io, c.input);
    auto r = read_one(stream, io, kRequestMaxBytes, GetParam());
    ASSERT_FALSE(r);
    ASSERT_EQ(r.error().links().size(), 1u);
    EXPECT_EQ(r.error().links()[0].kind, Error::Kind::kIo);
    EXPECT_EQ(r.error().outermost(), "early eof");
  }
}

TEST_P(FrameRead, BrokenPipeInsideTheBodyIsTheEndOfTheFrame) {
  asio::io_context io;
  MemoryStream stream(io, frame_of(100, 10));
  stream.read_error = asio::error::broken_pipe;
  auto r = read_one(stream, io, kRequestMaxBytes, GetParam());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().outermost(), "early eof");
}

TEST_P(FrameRead, OtherStreamErrorsKeepTheirOperatingSystemNumber) {
  asio::io_context io;
  MemoryStream stream(io, frame_of(100, 10));
  stream.read_error = std::error_code(5, asio::system_category());
  auto r = read_one(stream, io, kRequestMaxBytes, GetParam());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().os_error(), 5u);
}

TEST_P(FrameRead, RpcOf17000BytesIsAcceptedAsRpcButNotAsRequest) {
  asio::io_context io;
  MemoryStream as_rpc(io, frame_of(17000, 17000));
  EXPECT_TRUE(read_one(as_rpc, io, kRpcMaxBytes, GetParam()));
  MemoryStream as_request(io, frame_of(17000, 17000));
  auto r = read_one(as_request, io, kRequestMaxBytes, GetParam());
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().outermost(), "DESKTOP_FRAME_SIZE_INVALID");
}

INSTANTIATE_TEST_SUITE_P(SyncAndAsync, FrameRead, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Async" : "Sync"; });

class FrameWrite : public ::testing::TestWithParam<bool> {};

TEST_P(FrameWrite, WritesLengthThenBodyAndRefusesSizesOutsideTheLimitWithoutWriting) {
  struct Case {
    const char* name;
    std::size_t size;
    std::uint32_t max;
    bool ok;
  };
  const Case cases[] = {
      {"one byte", 1, kAckMaxBytes, true},
      {"exactly the maximum", kWorkerReadyMaxBytes, kWorkerReadyMaxBytes, true},
      {"largest response", kResponseMaxBytes, kResponseMaxBytes, true},
      {"one over the maximum", kWorkerReadyMaxBytes + 1, kWorkerReadyMaxBytes, false},
      {"empty body", 0, kAckMaxBytes, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    asio::io_context io;
    MemoryStream stream(io, "");
    const std::string body(c.size, 'b');
    Status s = write_one(stream, io, body, c.max, GetParam());
    if (c.ok) {
      ASSERT_TRUE(s) << s.error().display_chain();
      EXPECT_EQ(stream.written, le32(static_cast<std::uint32_t>(c.size)) + body);
    } else {
      ASSERT_FALSE(s);
      EXPECT_EQ(s.error().outermost(), "DESKTOP_FRAME_SIZE_INVALID");
      EXPECT_TRUE(stream.written.empty());
    }
  }
}

TEST_P(FrameWrite, StreamFailingMidwayIsReportedAsItsError) {
  asio::io_context io;
  MemoryStream stream(io, "");
  stream.fail_after = 6;
  Status s = write_one(stream, io, std::string(50, 'b'), kAckMaxBytes, GetParam());
  ASSERT_FALSE(s);
  EXPECT_NE(s.error().outermost(), "DESKTOP_FRAME_SIZE_INVALID");
  EXPECT_NE(s.error().outermost(), "early eof") << "a broken pipe on write is not an end of input";
}

TEST_P(FrameWrite, WrittenFrameReadsBack) {
  asio::io_context io;
  MemoryStream out(io, "");
  const std::string body = R"({"protocol":1,"requestId":"r"})";
  ASSERT_TRUE(write_one(out, io, body, kAckMaxBytes, GetParam()));
  MemoryStream in(io, out.written);
  auto r = read_one(in, io, kAckMaxBytes, GetParam());
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, body);
}

INSTANTIATE_TEST_SUITE_P(SyncAndAsync, FrameWrite, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Async" : "Sync"; });

}  // namespace
}  // namespace vor::desktop
