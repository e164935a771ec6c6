// Frames and messages across a real overlapped named pipe between two
// processes. The test program starts itself as the peer:
//   protocol_pipe_tests --pipe-child MODE PIPE
// MODE "echo": for every message kind, reads the parent's frame at the
// kind's maximum, decodes and re-encodes it and sends it back; then refuses
// an oversized frame of that kind (reading only its length) and sends one
// itself. MODE "cut-body" / "cut-header": writes part of a frame and exits.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <asio.hpp>

#include "common/handle_win32.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "protocol/request.h"
#include "protocol/response.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;

// --- the message kinds, shared by both processes ---

template <class Decode, class Encode>
Result<std::string> reencode_with(std::string_view bytes, Decode decode, Encode encode) {
  auto m = decode(bytes);
  if (!m) return fail(std::move(m.error()));
  return encode(*m);
}

struct Kind {
  const char* name;
  std::uint32_t max;
  std::string_view shape;  // the document, with '@' where the padding goes
  std::function<Result<std::string>(std::string_view)> reencode;
};

const std::vector<Kind>& kinds() {
  static const std::vector<Kind> k = {
      {"WorkerReady", kWorkerReadyMaxBytes, R"({"protocol":1,"processId":7,"sessionId":1,"code":"@"})",
       [](std::string_view b) {
         return reencode_with(b, decode_worker_ready, [](const WorkerReady& m) { return encode_worker_ready(m); });
       }},
      {"ReadyAck", kReadyAckMaxBytes,
       R"({"protocol":1,"execute":true,"inputPolicy":{"armId":"@","operationId":"op-1","sessionId":1,)"
       R"("processId":7,"processCreated":133000000000000000,"windowHandle":4660,)"
       R"("expiresAt":"2026-03-04T05:06:07Z","cancelEvent":"Local\\c","scope":"fullscreen_diagnostic",)"
       R"("announcementInputTick":null}})",
       [](std::string_view b) {
         return reencode_with(b, decode_ready_ack, [](const ReadyAck& m) { return encode_ready_ack(m); });
       }},
      {"Request", kRequestMaxBytes,
       R"({"protocol":1,"operationId":"op-1","sessionId":1,"action":{"kind":"launch","program":"@","arguments":[]}})",
       [](std::string_view b) {
         return reencode_with(b, decode_request, [](const Request& m) { return encode_request(m); });
       }},
      {"Response", kResponseMaxBytes,
       R"({"protocol":1,"operationId":"op-1","sessionId":1,"code":"DESKTOP_OBSERVED","nextSafeAction":"n",)"
       R"("windows":[],"pngBase64":"@"})",
       [](std::string_view b) {
         return reencode_with(b, decode_response, [](const Response& m) { return encode_response(m); });
       }},
      {"Rpc", kRpcMaxBytes,
       R"({"protocol":1,"requestId":"@","action":{"kind":"execute","request":)"
       R"({"protocol":1,"operationId":"op-1","sessionId":1,"action":{"kind":"inspect"}}}})",
       [](std::string_view b) { return reencode_with(b, decode_rpc, [](const Rpc& m) { return encode_rpc(m); }); }},
      {"Reply", kReplyMaxBytes, R"({"protocol":1,"requestId":"r","result":{"text":"@"}})",
       [](std::string_view b) {
         return reencode_with(b, decode_reply, [](const Reply& m) { return encode_reply(m); });
       }},
      {"Ack", kAckMaxBytes, R"({"protocol":1,"requestId":"@"})",
       [](std::string_view b) { return reencode_with(b, decode_ack, [](const Ack& m) { return encode_ack(m); }); }},
  };
  return k;
}

// The kind's document padded to exactly `size` bytes.
std::string body_of(const Kind& kind, std::size_t size) {
  std::string doc(kind.shape);
  const std::size_t at = doc.find('@');
  doc.replace(at, 1, std::string(size - (doc.size() - 1), 'A'));
  return doc;
}

std::string le32(std::uint32_t n) {
  return {static_cast<char>(n & 0xff), static_cast<char>((n >> 8) & 0xff), static_cast<char>((n >> 16) & 0xff),
          static_cast<char>((n >> 24) & 0xff)};
}

// The bytes of an oversized frame: its length, then a body that is not read.
std::string oversized_body(const Kind& kind) { return std::string(kind.max + 1, 'Z'); }

// --- one end of the pipe, driven synchronously over the async operations ---

class PipeEnd {
 public:
  explicit PipeEnd(HANDLE h) : stream_(io_, h) {}

  Result<std::string> read(std::uint32_t max) {
    return run<Result<std::string>>([&](auto done) { async_read_frame(stream_, max, done); });
  }
  Status write(std::string_view body, std::uint32_t max) {
    return run<Status>([&](auto done) { async_write_frame(stream_, body, max, done); });
  }
  Status write_raw(std::string bytes) {
    return run<Status>([&](auto done) {
      auto held = std::make_shared<std::string>(std::move(bytes));
      asio::async_write(stream_, asio::buffer(*held), [held, done](std::error_code ec, std::size_t) {
        done(ec ? Status(fail(frame_stream_error(ec, FrameDirection::kWrite))) : Status());
      });
    });
  }
  Result<std::string> read_raw(std::size_t n) {
    return run<Result<std::string>>([&](auto done) {
      auto held = std::make_shared<std::string>(n, '\0');
      asio::async_read(stream_, asio::buffer(*held), [held, done](std::error_code ec, std::size_t) {
        done(ec ? Result<std::string>(fail(frame_stream_error(ec, FrameDirection::kRead)))
                : Result<std::string>(std::move(*held)));
      });
    });
  }
  void close() {
    std::error_code ignored;
    stream_.close(ignored);
  }

 private:
  template <class R, class Start>
  R run(Start start) {
    std::optional<R> out;
    start([&out](R r) { out = std::move(r); });
    io_.restart();
    io_.run_for(30s);
    if (!out) {
      // Cancel and drain so that nothing completes into a dead frame.
      close();
      io_.restart();
      io_.run();
      return fail("timed out");
    }
    return std::move(*out);
  }

  asio::io_context io_;
  asio::windows::stream_handle stream_;
};

// --- the child ---

int child_fail(const char* step, const std::string& why) {
  std::fprintf(stderr, "pipe child: %s: %s\n", step, why.c_str());
  return 1;
}

int run_child(const std::string& mode, const std::wstring& pipe_name) {
  HANDLE h = ::CreateFileW(pipe_name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) return child_fail("connect", std::to_string(::GetLastError()));
  PipeEnd pipe(h);

  if (mode == "cut-body") {
    (void)pipe.write_raw(le32(100) + std::string(10, 'x'));
    return 0;  // the handle closes with the process
  }
  if (mode == "cut-header") {
    (void)pipe.write_raw(le32(100).substr(0, 2));
    return 0;
  }

  for (const Kind& kind : kinds()) {
    // 1. A frame of exactly the maximum, decoded, re-encoded and echoed.
    auto body = pipe.read(kind.max);
    if (!body) return child_fail(kind.name, "read at maximum: " + body.error().display_chain());
    if (body->size() != kind.max) return child_fail(kind.name, "wrong size");
    auto again = kind.reencode(*body);
    if (!again) return child_fail(kind.name, "decode: " + again.error().display_chain());
    if (*again != *body) return child_fail(kind.name, "re-encoding differs");
    if (auto s = pipe.write(*again, kind.max); !s) return child_fail(kind.name, "echo: " + s.error().display_chain());

    // 2. One byte over: refused after the length, the body left in the pipe.
    auto refused = pipe.read(kind.max);
    if (refused) return child_fail(kind.name, "oversized frame was accepted");
    if (refused.error().outermost() != kFrameSizeInvalid) {
      return child_fail(kind.name, "oversized frame: " + refused.error().display_chain());
    }
    auto left = pipe.read_raw(kind.max + 1);
    if (!left || *left != oversized_body(kind)) return child_fail(kind.name, "body was consumed");

    // 3. One byte over the other way.
    if (auto s = pipe.write_raw(le32(kind.max + 1) + oversized_body(kind)); !s) {
      return child_fail(kind.name, "raw write: " + s.error().display_chain());
    }
  }
  auto bye = pipe.read(kAckMaxBytes);
  if (!bye || *bye != R"({"protocol":1,"requestId":"done"})") return child_fail("end", "no closing ack");
  return 0;
}

// --- the parent ---

class ChildProcess {
 public:
  ChildProcess(const std::string& mode, const std::wstring& pipe_name) {
    wchar_t exe[MAX_PATH];
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(exe) + L"\" --pipe-child " + std::wstring(mode.begin(), mode.end()) +
                       L" " + pipe_name;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      process_.reset(pi.hProcess);
      ::CloseHandle(pi.hThread);
    }
  }
  bool started() const { return process_.valid(); }
  // The exit code, or none when the child did not end in time (it is then killed).
  std::optional<DWORD> wait() {
    if (::WaitForSingleObject(process_.get(), 30000) != WAIT_OBJECT_0) {
      ::TerminateProcess(process_.get(), 99);
      ::WaitForSingleObject(process_.get(), 5000);
      return std::nullopt;
    }
    DWORD code = 0;
    ::GetExitCodeProcess(process_.get(), &code);
    return code;
  }
  ~ChildProcess() {
    if (process_.valid() && ::WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) {
      ::TerminateProcess(process_.get(), 99);
      ::WaitForSingleObject(process_.get(), 5000);
    }
  }

 private:
  UniqueHandle process_;
};

std::wstring unique_pipe_name() {
  static int counter = 0;
  return L"\\\\.\\pipe\\vor-protocol-pipe-test-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(++counter);
}

// An overlapped server instance connected to a child started in `mode`.
struct Connected {
  std::unique_ptr<ChildProcess> child;
  std::unique_ptr<PipeEnd> pipe;
};

std::optional<Connected> connect_child(const std::string& mode) {
  const std::wstring name = unique_pipe_name();
  UniqueFile server(::CreateNamedPipeW(
      name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
      PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 65536, 65536, 0, nullptr));
  if (!server) {
    ADD_FAILURE() << "CreateNamedPipeW " << ::GetLastError();
    return std::nullopt;
  }
  auto child = std::make_unique<ChildProcess>(mode, name);
  if (!child->started()) {
    ADD_FAILURE() << "CreateProcessW " << ::GetLastError();
    return std::nullopt;
  }
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  if (!::ConnectNamedPipe(server.get(), &ov)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_IO_PENDING) {
      if (::WaitForSingleObject(event.get(), 30000) != WAIT_OBJECT_0) {
        ::CancelIoEx(server.get(), &ov);
        ADD_FAILURE() << "child did not connect";
        return std::nullopt;
      }
      DWORD ignored = 0;
      if (!::GetOverlappedResult(server.get(), &ov, &ignored, FALSE)) {
        ADD_FAILURE() << "ConnectNamedPipe " << ::GetLastError();
        return std::nullopt;
      }
    } else if (error != ERROR_PIPE_CONNECTED) {
      ADD_FAILURE() << "ConnectNamedPipe " << error;
      return std::nullopt;
    }
  }
  return Connected{std::move(child), std::make_unique<PipeEnd>(server.release())};
}

TEST(OverlappedPipe, EveryMessageKindAtItsMaximumPassesAndOneByteMoreIsRefused) {
  auto c = connect_child("echo");
  ASSERT_TRUE(c);
  PipeEnd& pipe = *c->pipe;
  for (const Kind& kind : kinds()) {
    SCOPED_TRACE(kind.name);
    // The writer refuses a body one byte over and writes nothing: the child's
    // next read sees the frame that follows.
    auto over = pipe.write(body_of(kind, kind.max + 1), kind.max);
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().outermost(), kFrameSizeInvalid);

    const std::string body = body_of(kind, kind.max);
    ASSERT_EQ(body.size(), kind.max);
    ASSERT_TRUE(kind.reencode(body)) << "the padded document is a valid " << kind.name;
    ASSERT_TRUE(pipe.write(body, kind.max));
    auto echoed = pipe.read(kind.max);
    ASSERT_TRUE(echoed) << echoed.error().display_chain();
    EXPECT_EQ(*echoed, body);

    ASSERT_TRUE(pipe.write_raw(le32(kind.max + 1) + oversized_body(kind)));

    auto refused = pipe.read(kind.max);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().outermost(), kFrameSizeInvalid);
    auto left = pipe.read_raw(kind.max + 1);
    ASSERT_TRUE(left) << left.error().display_chain();
    EXPECT_EQ(*left, oversized_body(kind)) << "only the 4 length bytes were read";
  }
  ASSERT_TRUE(pipe.write(R"({"protocol":1,"requestId":"done"})", kAckMaxBytes));
  EXPECT_EQ(c->child->wait(), 0u);
}

TEST(OverlappedPipe, PeerEndingInsideAFrameIsAnIoError) {
  for (const char* mode : {"cut-body", "cut-header"}) {
    SCOPED_TRACE(mode);
    auto c = connect_child(mode);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->child->wait(), 0u);
    auto r = c->pipe->read(kRequestMaxBytes);
    ASSERT_FALSE(r);
    ASSERT_EQ(r.error().links().size(), 1u);
    EXPECT_EQ(r.error().links()[0].kind, Error::Kind::kIo);
    EXPECT_EQ(r.error().outermost(), "early eof");
  }
}

TEST(OverlappedPipe, WritingToAClosedPeerKeepsTheWin32Error) {
  auto c = connect_child("cut-header");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->child->wait(), 0u);
  ASSERT_TRUE(c->pipe->read_raw(2));
  auto s = c->pipe->write(R"({"protocol":1,"requestId":"r"})", kAckMaxBytes);
  ASSERT_FALSE(s);
  EXPECT_TRUE(s.error().os_error().has_value()) << s.error().display_chain();
}

}  // namespace
}  // namespace vor::desktop

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--pipe-child") {
    const std::string name = argv[3];
    return vor::desktop::run_child(argv[2], std::wstring(name.begin(), name.end()));
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
