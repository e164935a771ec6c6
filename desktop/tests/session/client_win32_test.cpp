// The session client's Win32 adapter against Wine's real pipes and
// processes, and one whole exchange of `call_session_host` with a host
// served by this test process itself. The test program is also the child
// that the host-start adapter creates:
//   session_client_win32_tests --child MODE
// MODE "wait": sleeps up to 20 s.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <thread>

#include "common/crypto.h"
#include "common/handle_win32.h"
#include "common/text.h"
#include "native/process_sys_win32.h"
#include "protocol/frame.h"
#include "session/authentication_win32.h"
#include "session/client.h"
#include "session/client_win32.h"
#include "session/owner_pipe_win32.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;

int run_child(std::wstring_view mode) {
  if (mode == L"wait") {
    ::Sleep(20000);
    return 0;
  }
  return 64;
}

std::string own_sid() {
  UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
  auto sid = token_user_sid(token.get());
  return sid ? *sid : std::string();
}

// An owner record naming this very process as the host.
Owner own_owner() {
  DWORD session = 0;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  auto created = raw_creation_time(::GetCurrentProcess());
  auto instance = uuid_v4_hex();
  return Owner{1, instance ? *instance : std::string(), ::GetCurrentProcessId(), created ? *created : 0, session,
               own_sid()};
}

// A blocking server end: waits for one client, then runs `serve` on it.
class Server {
 public:
  Server(const Owner& owner, std::function<void(HANDLE)> serve) {
    auto pipe = create_session_pipe_handle(owner, true);
    EXPECT_TRUE(pipe) << pipe.error().display_chain();
    if (!pipe) return;
    pipe_ = std::move(*pipe);
    thread_ = std::thread([this, serve = std::move(serve)] {
      OVERLAPPED ov{};
      UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
      ov.hEvent = event.get();
      if (!::ConnectNamedPipe(pipe_.get(), &ov)) {
        const DWORD error = ::GetLastError();
        if (error == ERROR_IO_PENDING) {
          if (::WaitForSingleObject(event.get(), 10000) != WAIT_OBJECT_0) return;
        } else if (error != ERROR_PIPE_CONNECTED) {
          return;
        }
      }
      serve(pipe_.get());
    });
  }
  ~Server() { join(); }
  // Waits until the server is done with its client.
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  UniqueFile pipe_;
  std::thread thread_;
};

// Blocking whole reads and writes on the overlapped server handle.
bool transfer(HANDLE pipe, void* data, DWORD size, bool write) {
  auto* bytes = static_cast<char*>(data);
  while (size > 0) {
    OVERLAPPED ov{};
    UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ov.hEvent = event.get();
    DWORD n = 0;
    const BOOL ok = write ? ::WriteFile(pipe, bytes, size, nullptr, &ov) : ::ReadFile(pipe, bytes, size, nullptr, &ov);
    if (!ok && ::GetLastError() != ERROR_IO_PENDING) return false;
    if (!::GetOverlappedResult(pipe, &ov, &n, TRUE) || n == 0) return false;
    bytes += n;
    size -= n;
  }
  return true;
}

std::optional<std::string> read_frame_raw(HANDLE pipe) {
  std::uint32_t length = 0;
  if (!transfer(pipe, &length, 4, false) || length == 0 || length > kReplyMaxBytes) return std::nullopt;
  std::string body(length, '\0');
  if (!transfer(pipe, body.data(), length, false)) return std::nullopt;
  return body;
}

bool write_frame_raw(HANDLE pipe, const std::string& body) {
  std::uint32_t length = static_cast<std::uint32_t>(body.size());
  return transfer(pipe, &length, 4, true) && transfer(pipe, const_cast<char*>(body.data()), length, true);
}

std::wstring own_exe() {
  wchar_t exe[MAX_PATH];
  ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
  return exe;
}

TEST(SessionClientWin32, PipeOpensOnlyWhileAnInstanceIsFree) {
  auto sys = make_win32_session_client_sys();
  const Owner owner = own_owner();
  const std::string name = *session_pipe_name(owner);
  auto absent = sys->open_pipe(name);
  ASSERT_FALSE(absent);
  EXPECT_EQ(absent.error(), kErrorFileNotFound);

  auto instance = create_session_pipe_handle(owner, true);
  ASSERT_TRUE(instance) << instance.error().display_chain();
  auto first = sys->open_pipe(name);
  ASSERT_TRUE(first) << first.error();
  EXPECT_EQ((*first)->server_process_id(), Win32<std::uint32_t>(::GetCurrentProcessId()));
  // The only instance is taken: the next client is told the pipe is busy.
  auto second = sys->open_pipe(name);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error(), kErrorPipeBusy);
}

TEST(SessionClientWin32, FramesCrossAndASilentServerRunsOutTheLimit) {
  const Owner owner = own_owner();
  std::optional<std::string> got;
  Server server(owner, [&](HANDLE pipe) {
    got = read_frame_raw(pipe);
    write_frame_raw(pipe, "{\"n\":1}");
    ::Sleep(1500);  // then says nothing more
  });
  auto sys = make_win32_session_client_sys();
  auto pipe = sys->open_pipe(*session_pipe_name(owner));
  for (int i = 0; !pipe && i < 100; ++i) {
    ::Sleep(20);
    pipe = sys->open_pipe(*session_pipe_name(owner));
  }
  ASSERT_TRUE(pipe) << pipe.error();
  FramePipe& frames = (*pipe)->frames();
  ASSERT_TRUE(frames.write_frame("{\"hello\":true}", kRpcMaxBytes, 3000ms));
  auto reply = frames.read_frame(kReplyMaxBytes, 3000ms);
  ASSERT_TRUE(reply) << reply.error().display_chain();
  EXPECT_EQ(*reply, "{\"n\":1}");
  auto silent = frames.read_frame(kReplyMaxBytes, 300ms);
  ASSERT_FALSE(silent);
  EXPECT_TRUE(is_pipe_time_limit(silent.error())) << silent.error().display_chain();
  server.join();
  EXPECT_EQ(got, std::optional<std::string>("{\"hello\":true}"));
}

TEST(SessionClientWin32, GrantedHandleIsUsableInTheTargetAndClosedRemotely) {
  auto sys = make_win32_session_client_sys();
  auto target = sys->open_grant_target(::GetCurrentProcessId());
  ASSERT_TRUE(target) << target.error();
  EXPECT_EQ((*target)->creation_time(), raw_creation_time(::GetCurrentProcess()));
  auto image = (*target)->image_path();
  ASSERT_TRUE(image);
  EXPECT_EQ(std::wstring(image->begin(), image->end()), own_exe());
  auto value = (*target)->duplicate_own_process_into();
  ASSERT_TRUE(value) << value.error();
  const HANDLE granted = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(*value));
  EXPECT_EQ(::GetProcessId(granted), ::GetCurrentProcessId());
  // Wine 8.0 closes the value but answers ERROR_INVALID_HANDLE for the
  // missing target process (measured); the client ignores the answer.
  auto closed = (*target)->close_remote(*value);
  EXPECT_TRUE(closed || closed.error() == 6u) << closed.error();
  EXPECT_EQ(::GetProcessId(granted), 0u) << "the value was closed inside the target";
  auto gone = sys->open_grant_target(0x7ffffff0);
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error(), kErrorInvalidParameter);
}

TEST(SessionClientWin32, StartedHostRunsAndIsEndedWith64) {
  auto sys = make_win32_session_client_sys();
  const std::string exe = *from_wide(own_exe());
  auto waiting = sys->create_host_process(exe, "\"" + exe + "\" --child wait");
  ASSERT_TRUE(waiting) << waiting.error();
  EXPECT_NE((*waiting)->process_id(), 0u);
  EXPECT_TRUE((*waiting)->running());
  UniqueHandle watch(::OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (*waiting)->process_id()));
  ASSERT_TRUE(watch);
  (*waiting)->terminate_and_wait(kAbandonedHostExitCode, kAbandonedHostWait);
  EXPECT_FALSE((*waiting)->running());
  DWORD code = 0;
  ASSERT_TRUE(::GetExitCodeProcess(watch.get(), &code));
  EXPECT_EQ(code, 64u);


  auto missing = sys->create_host_process("C:\\no-such-dir\\x.exe", "\"C:\\no-such-dir\\x.exe\"");
  ASSERT_FALSE(missing);
  EXPECT_TRUE(missing.error() == kErrorFileNotFound || missing.error() == kErrorPathNotFound) << missing.error();
}

// The whole exchange over the real adapters: this process is the owner's
// host, serves one Rpc with a Reply and reads the Ack.
TEST(SessionClientWin32, OneExchangeWithARealPipeServer) {
  const Owner owner = own_owner();
  std::optional<std::string> rpc_body, ack_body;
  Server server(owner, [&](HANDLE pipe) {
    rpc_body = read_frame_raw(pipe);
    if (!rpc_body) return;
    auto rpc = decode_rpc(*rpc_body);
    if (!rpc) return;
    write_frame_raw(pipe, encode_reply(Reply{1, rpc->request_id, json::Object{{"code", "DESKTOP_SESSION_READY"}}}));
    ack_body = read_frame_raw(pipe);
  });
  auto sys = make_win32_session_client_sys();
  auto processes = make_win32_proc_sys();
  auto identity = make_win32_caller_identity();
  auto files = make_win32_file_system();
  SessionClientPorts ports{*sys, *processes, *identity, *files, system_clock()};
  auto result = call_session_host(ports, owner, SessionStatus{});
  ASSERT_TRUE(result) << result.error().display_chain();
  EXPECT_EQ(json::to_sorted_string(*result), R"({"code":"DESKTOP_SESSION_READY"})");
  server.join();
  ASSERT_TRUE(rpc_body);
  auto rpc = decode_rpc(*rpc_body);
  ASSERT_TRUE(rpc);
  EXPECT_FALSE(rpc->peer_query_handle) << "a user client grants nothing";
  EXPECT_EQ(ack_body, std::optional<std::string>(encode_ack(Ack{1, rpc->request_id})));
}

}  // namespace
}  // namespace vor::desktop

int main(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide != nullptr && count == 3 && std::wstring_view(wide[1]) == L"--child") {
    const int code = vor::desktop::run_child(wide[2]);
    ::LocalFree(wide);
    return code;
  }
  if (wide != nullptr) ::LocalFree(wide);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
