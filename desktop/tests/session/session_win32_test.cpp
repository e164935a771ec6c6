// The session pipe and the host's client authentication against Wine's real
// pipes, tokens and processes. The test program is also its own pipe client:
//   session_win32_tests --session-client MODE PIPE HOST_PID
// MODE "hello": connects at identification level, writes "h", waits for one
// byte and exits 0. MODE "grant": the same, but first duplicates a
// limited-query handle of itself into the host and writes its 8-byte value
// instead of "h".
#include <windows.h>
#include <aclapi.h>
#include <shellapi.h>
#include <sddl.h>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "common/crypto.h"
#include "common/handle_win32.h"
#include "common/text.h"
#include "session/authentication.h"
#include "native/process_sys_win32.h"
#include "session/authentication_win32.h"
#include "session/host_pipe_win32.h"
#include "session/owner.h"
#include "session/owner_pipe_win32.h"

namespace vor::desktop {
namespace {

// --- the client process ---

HANDLE open_client_end(const std::wstring& pipe) {
  for (int attempt = 0; attempt < 250; ++attempt) {
    HANDLE h = ::CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr);
    if (h != INVALID_HANDLE_VALUE) return h;
    ::Sleep(20);
  }
  return INVALID_HANDLE_VALUE;
}

int run_client(const std::wstring& mode, const std::wstring& pipe, DWORD host_pid) {
  UniqueFile end(open_client_end(pipe));
  if (!end) return 10;
  std::string message = "h";
  if (mode == L"grant") {
    UniqueHandle host(::OpenProcess(PROCESS_DUP_HANDLE, FALSE, host_pid));
    if (!host) return 11;
    HANDLE value = nullptr;
    if (!::DuplicateHandle(::GetCurrentProcess(), ::GetCurrentProcess(), host.get(), &value,
                           PROCESS_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
      return 12;
    }
    const std::uint64_t number = reinterpret_cast<std::uintptr_t>(value);
    message.assign(reinterpret_cast<const char*>(&number), sizeof number);
  }
  DWORD n = 0;
  if (!::WriteFile(end.get(), message.data(), static_cast<DWORD>(message.size()), &n, nullptr)) return 13;
  char reply = 0;
  if (!::ReadFile(end.get(), &reply, 1, &n, nullptr) || n != 1) return 14;
  return 0;
}

// --- the host side ---

std::string own_user_sid() {
  UniqueHandle token;
  if (!::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put())) return {};
  auto sid = token_user_sid(token.get());
  return sid ? *sid : std::string();
}

std::uint32_t own_session() {
  DWORD session = 0;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  return session;
}

Owner own_owner() {
  auto instance = uuid_v4_hex();
  return Owner{1, instance ? *instance : std::string(), ::GetCurrentProcessId(), 1, own_session(), own_user_sid()};
}

std::wstring pipe_name_of(const Owner& owner) {
  auto name = session_pipe_name(owner);
  return name ? *to_wide(*name) : std::wstring();
}

// One overlapped operation on a raw handle, waited for up to 10 seconds.
template <class Start>
bool overlapped(HANDLE h, Start start, DWORD* transferred = nullptr) {
  UniqueHandle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  OVERLAPPED ov{};
  ov.hEvent = event.get();
  DWORD ignored = 0;
  if (!start(&ov)) {
    const DWORD error = ::GetLastError();
    if (error == ERROR_PIPE_CONNECTED) return true;
    if (error != ERROR_IO_PENDING) return false;
    if (::WaitForSingleObject(event.get(), 10000) != WAIT_OBJECT_0) {
      ::CancelIoEx(h, &ov);
      ::GetOverlappedResult(h, &ov, &ignored, TRUE);
      return false;
    }
  }
  return ::GetOverlappedResult(h, &ov, transferred ? transferred : &ignored, FALSE) != FALSE;
}

bool connect(HANDLE pipe) {
  return overlapped(pipe, [&](OVERLAPPED* ov) { return ::ConnectNamedPipe(pipe, ov); });
}

std::optional<std::string> read_bytes(HANDLE pipe, std::size_t n) {
  std::string out(n, '\0');
  std::size_t got = 0;
  while (got < n) {
    DWORD chunk = 0;
    if (!overlapped(
            pipe, [&](OVERLAPPED* ov) { return ::ReadFile(pipe, out.data() + got, DWORD(n - got), nullptr, ov); },
            &chunk) ||
        chunk == 0) {
      return std::nullopt;
    }
    got += chunk;
  }
  return out;
}

bool write_byte(HANDLE pipe) {
  const char b = 'r';
  return overlapped(pipe, [&](OVERLAPPED* ov) { return ::WriteFile(pipe, &b, 1, nullptr, ov); });
}

class Child {
 public:
  Child(const std::wstring& exe, const std::wstring& mode, const std::wstring& pipe) {
    std::wstring cmd = L"\"" + exe + L"\" --session-client " + mode + L" " + pipe + L" " +
                       std::to_wstring(::GetCurrentProcessId());
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (::CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
      process_.reset(pi.hProcess);
      ::CloseHandle(pi.hThread);
      pid_ = pi.dwProcessId;
    }
  }
  ~Child() {
    if (process_ && ::WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) {
      ::TerminateProcess(process_.get(), 99);
      ::WaitForSingleObject(process_.get(), 5000);
    }
  }
  bool started() const { return process_.valid(); }
  std::uint32_t pid() const { return pid_; }
  std::optional<DWORD> wait() {
    if (::WaitForSingleObject(process_.get(), 10000) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    ::GetExitCodeProcess(process_.get(), &code);
    return code;
  }

 private:
  UniqueHandle process_;
  std::uint32_t pid_ = 0;
};

std::wstring own_exe() {
  wchar_t exe[MAX_PATH];
  ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
  return exe;
}

// A connected client started from `exe` in `mode`, with the first bytes it sent.
struct Connection {
  UniqueFile pipe;
  std::unique_ptr<Child> child;
  std::string sent;
};

std::optional<Connection> accept_client(const Owner& owner, const std::wstring& exe, const std::wstring& mode) {
  auto pipe = create_session_pipe_handle(owner, /*first=*/true);
  if (!pipe) {
    ADD_FAILURE() << pipe.error().display_chain();
    return std::nullopt;
  }
  auto child = std::make_unique<Child>(exe, mode, pipe_name_of(owner));
  if (!child->started()) {
    ADD_FAILURE() << "CreateProcessW " << ::GetLastError();
    return std::nullopt;
  }
  if (!connect(pipe->get())) {
    ADD_FAILURE() << "ConnectNamedPipe " << ::GetLastError();
    return std::nullopt;
  }
  auto sent = read_bytes(pipe->get(), mode == L"grant" ? 8 : 1);
  if (!sent) {
    ADD_FAILURE() << "the client sent nothing";
    return std::nullopt;
  }
  return Connection{std::move(*pipe), std::move(child), std::move(*sent)};
}

std::string code_of(const Status& s) { return s ? "" : s.error().outermost(); }

TEST(SessionPipeWin32, OwnersUserAndSessionAreReadable) {
  const Owner owner = own_owner();
  EXPECT_TRUE(owner.user_sid.starts_with("S-1-5-21-")) << owner.user_sid;
  EXPECT_EQ(owner.instance.size(), 32u);
  EXPECT_NE(owner.session_id, 0u);
}

TEST(SessionPipeWin32, AtMostTwoInstancesAndTheFirstMustBeFirst) {
  const Owner owner = own_owner();
  auto first = create_session_pipe_handle(owner, true);
  ASSERT_TRUE(first) << first.error().display_chain();
  auto second = create_session_pipe_handle(owner, false);
  ASSERT_TRUE(second) << second.error().display_chain();
  auto third = create_session_pipe_handle(owner, false);
  ASSERT_FALSE(third);
  EXPECT_EQ(third.error().outermost(), "DESKTOP_PIPE_UNAVAILABLE");
  EXPECT_EQ(third.error().os_error(), std::optional<std::uint32_t>(ERROR_PIPE_BUSY));
  second->reset();
  // Another "first" instance of a name that exists: Windows refuses it; Wine
  // 8.0 accepts the flag without enforcing it (measured), so only the code of
  // a refusal is checked.
  auto again = create_session_pipe_handle(owner, true);
  if (!again) {
    EXPECT_EQ(again.error().outermost(), "DESKTOP_PIPE_UNAVAILABLE");
  }
}

TEST(SessionPipeWin32, AccessListHoldsLocalSystemAndTheUserOnly) {
  const Owner owner = own_owner();
  auto pipe = create_session_pipe_handle(owner, true);
  ASSERT_TRUE(pipe) << pipe.error().display_chain();
  PACL dacl = nullptr;
  PSECURITY_DESCRIPTOR raw = nullptr;
  ASSERT_EQ(::GetSecurityInfo(pipe->get(), SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl,
                              nullptr, &raw),
            ERROR_SUCCESS);
  UniqueLocal descriptor(raw);
  LPWSTR text = nullptr;
  ASSERT_TRUE(::ConvertSecurityDescriptorToStringSecurityDescriptorW(raw, SDDL_REVISION_1, DACL_SECURITY_INFORMATION,
                                                                     &text, nullptr));
  UniqueLocal text_owner(text);
  const std::string sddl = *from_wide(text);
  // Wine reads the list back exactly as written (protected flag and
  // GENERIC_ALL kept); Windows may show GENERIC_ALL mapped to full access.
  const std::string mapped = "D:P(A;;FA;;;SY)(A;;FA;;;" + owner.user_sid + ")";
  EXPECT_TRUE(sddl == session_pipe_sddl(owner.user_sid) || sddl == mapped) << sddl;
}

TEST(SessionPipeWin32, RefusesAnUnconvertibleAccessListAndABadName) {
  Owner bad_sid = own_owner();
  bad_sid.user_sid = "S-1-x";
  auto acl = create_session_pipe_handle(bad_sid, true);
  ASSERT_FALSE(acl);
  EXPECT_EQ(acl.error().outermost(), "DESKTOP_PIPE_ACL_FAILED");
  EXPECT_TRUE(acl.error().os_error().has_value());

  Owner bad_name = own_owner();
  bad_name.instance[0] = 'g';
  auto name = create_session_pipe_handle(bad_name, true);
  ASSERT_FALSE(name);
  EXPECT_EQ(name.error().outermost(), "DESKTOP_STATE_INVALID");
}

TEST(SessionPipeWin32, RegisteredInstanceCarriesAFrameFromAClient) {
  const Owner owner = own_owner();
  asio::io_context io;
  auto stream = create_session_pipe(io, owner, true);
  ASSERT_TRUE(stream) << stream.error().display_chain();
  UniqueFile client(open_client_end(pipe_name_of(owner)));
  ASSERT_TRUE(client) << ::GetLastError();
  std::optional<std::string> got;
  asio::async_read(*stream, asio::dynamic_buffer(got.emplace()), asio::transfer_exactly(5),
                   [](std::error_code, std::size_t) {});
  DWORD n = 0;
  ASSERT_TRUE(::WriteFile(client.get(), "frame", 5, &n, nullptr));
  io.run_for(std::chrono::seconds(10));
  EXPECT_EQ(*got, "frame");
}

// The host's pipe instance: the connect raced against its timer, and what
// the connect says about clients that came before it.
TEST(HostPipeWin32, TheConnectReportsTimerClientsGoneAndClientsAlreadyThere) {
  const Owner owner = own_owner();
  asio::io_context io(1);
  Win32HostPipes pipes(io);
  auto pipe = pipes.create(owner, true);
  ASSERT_TRUE(pipe) << pipe.error().display_chain();
  HostPipe& instance = **pipe;

  // Nobody comes: the timer wins.
  EXPECT_EQ(instance.wait_for_client(std::chrono::milliseconds(50)), Win32<bool>(false));

  // A client that opened and closed its end before the connect is gone.
  { UniqueFile gone(open_client_end(pipe_name_of(owner))); }
  EXPECT_EQ(instance.wait_for_client(std::chrono::seconds(5)), Win32<bool>(win32_error(kErrorNoData)));
  instance.disconnect();

  // Disconnected, the same instance listens again once the connect runs:
  // a client that waits meanwhile (the pipe is busy until then) gets in.
  UniqueFile waiting;
  std::thread later([&] { waiting.reset(open_client_end(pipe_name_of(owner))); });
  const auto again = instance.wait_for_client(std::chrono::seconds(5));
  later.join();
  ASSERT_TRUE(waiting);
  EXPECT_TRUE(again == Win32<bool>(true) || again == Win32<bool>(win32_error(kErrorPipeConnected)));

  // A client already connected to a new instance: the connect says so, and
  // its frame is read.
  auto next = pipes.create(owner, false);
  ASSERT_TRUE(next) << next.error().display_chain();
  UniqueFile client(open_client_end(pipe_name_of(owner)));
  ASSERT_TRUE(client) << ::GetLastError();
  HostPipe& second = **next;
  EXPECT_EQ(second.wait_for_client(std::chrono::seconds(5)), Win32<bool>(win32_error(kErrorPipeConnected)));
  DWORD n = 0;
  const std::string framed = *frame_bytes("{}", kAckMaxBytes);
  ASSERT_TRUE(::WriteFile(client.get(), framed.data(), static_cast<DWORD>(framed.size()), &n, nullptr));
  auto body = second.read_frame(kAckMaxBytes, std::chrono::seconds(3));
  ASSERT_TRUE(body) << body.error().display_chain();
  EXPECT_EQ(*body, "{}");
  // Nothing more comes: the read's time limit ends it.
  auto silent = second.read_frame(kAckMaxBytes, std::chrono::milliseconds(100));
  ASSERT_FALSE(silent);
  EXPECT_EQ(silent.error().outermost(), kPipeTimeLimitPassed);
}

TEST(SessionAuthWin32, ClientOfTheSameUserSessionAndImageIsAccepted) {
  const Owner owner = own_owner();
  auto c = accept_client(owner, own_exe(), L"hello");
  ASSERT_TRUE(c);
  auto sys = make_win32_peer_auth_sys(c->pipe.get());
  EXPECT_EQ(sys->client_process_id(), Win32<std::uint32_t>(c->child->pid()));
  EXPECT_EQ(sys->client_session_id(), Win32<std::uint32_t>(owner.session_id));

  int aborts = 0;
  const auto abort = [&] { ++aborts; };
  Owner other_user = owner;
  other_user.user_sid = "S-1-5-21-9-9-9-9";
  Owner other_session = owner;
  other_session.session_id = owner.session_id + 1;
  struct Row {
    const char* name;
    const Owner* owner;
    std::optional<std::uint64_t> handle;
    std::string code;
  };
  const Row rows[] = {
      {"same user, no handle", &owner, std::nullopt, ""},
      {"same user with a handle", &owner, 0x44, "DESKTOP_PEER_NOT_AUTHORIZED"},
      {"host of another user", &other_user, std::nullopt, "DESKTOP_PEER_NOT_AUTHORIZED"},
      {"host of another session", &other_session, std::nullopt, "DESKTOP_PEER_NOT_AUTHORIZED"},
      {"same user again: impersonation was reverted", &owner, std::nullopt, ""},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    EXPECT_EQ(code_of(authenticate_pipe_client(*sys, *r.owner, r.handle, abort)), r.code);
    // Reverted: the thread has no token of its own again.
    HANDLE token = nullptr;
    EXPECT_FALSE(::OpenThreadToken(::GetCurrentThread(), TOKEN_QUERY, TRUE, &token));
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_NO_TOKEN));
  }
  EXPECT_EQ(aborts, 0);
  ASSERT_TRUE(write_byte(c->pipe.get()));
  EXPECT_EQ(c->child->wait(), std::optional<DWORD>(0));
}

TEST(SessionAuthWin32, CopyOfTheProgramAtAnotherPathIsRefused) {
  const std::filesystem::path dir = "C:\\vor-session-auth-copy";
  std::filesystem::create_directories(dir);
  const std::filesystem::path copy = dir / "session_win32_tests.exe";
  std::error_code ec;
  std::filesystem::copy_file(own_exe(), copy, std::filesystem::copy_options::overwrite_existing, ec);
  ASSERT_FALSE(ec) << ec.message();
  const Owner owner = own_owner();
  {
    auto c = accept_client(owner, copy.wstring(), L"hello");
    ASSERT_TRUE(c);
    auto sys = make_win32_peer_auth_sys(c->pipe.get());
    const Status s = authenticate_pipe_client(*sys, owner, std::nullopt, [] {});
    EXPECT_EQ(code_of(s), "DESKTOP_PEER_NOT_AUTHORIZED");
    EXPECT_FALSE(check_peer_same_image(*sys, c->child->pid()));
    EXPECT_TRUE(check_peer_same_image(*sys, ::GetCurrentProcessId()));
    ASSERT_TRUE(write_byte(c->pipe.get()));
    EXPECT_EQ(c->child->wait(), std::optional<DWORD>(0));
  }
  std::filesystem::remove_all(dir, ec);
}

TEST(SessionAuthWin32, GrantedHandleNamesTheRunningClientAndThenItsExit) {
  const Owner owner = own_owner();
  auto c = accept_client(owner, own_exe(), L"grant");
  ASSERT_TRUE(c);
  std::uint64_t value = 0;
  std::memcpy(&value, c->sent.data(), sizeof value);
  auto sys = make_win32_peer_auth_sys(c->pipe.get());
  EXPECT_EQ(code_of(check_granted_handle(*sys, value, c->child->pid())), "");
  EXPECT_EQ(code_of(check_granted_handle(*sys, value, ::GetCurrentProcessId())), "DESKTOP_PEER_NOT_AUTHORIZED");
  const Status garbage = check_granted_handle(*sys, 0x7ffffff0, c->child->pid());
  EXPECT_EQ(code_of(garbage), "DESKTOP_PEER_QUERY_GRANT_INVALID");
  EXPECT_EQ(garbage ? std::nullopt : garbage.error().os_error(), std::optional<std::uint32_t>(ERROR_INVALID_HANDLE));
  // The user is not LocalSystem, so the whole check refuses the handle.
  EXPECT_EQ(code_of(authenticate_pipe_client(*sys, owner, value, [] {})), "DESKTOP_PEER_NOT_AUTHORIZED");

  ASSERT_TRUE(write_byte(c->pipe.get()));
  ASSERT_EQ(c->child->wait(), std::optional<DWORD>(0));
  // The granted handle keeps the ended process queryable: it has exited.
  EXPECT_EQ(code_of(check_granted_handle(*sys, value, c->child->pid())), "DESKTOP_PEER_NOT_AUTHORIZED");
  ::CloseHandle(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(value)));
}

}  // namespace
}  // namespace vor::desktop

int main(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide != nullptr && count == 5 && std::wstring_view(wide[1]) == L"--session-client") {
    const int code = vor::desktop::run_client(wide[2], wide[3], static_cast<DWORD>(std::wcstoul(wide[4], nullptr, 10)));
    ::LocalFree(wide);
    return code;
  }
  if (wide != nullptr) ::LocalFree(wide);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
