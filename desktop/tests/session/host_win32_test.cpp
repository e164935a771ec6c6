// The session host as a real process under Wine: real pipes, files, DPAPI
// and processes. The test program runs from a copy under C:\ (the build
// folder lies on Z:\, which Wine reports as a reparse point, so the host's
// safety check would refuse its own image there); the copy plays the
// program, so the host's same-image check accepts the test as its client:
//   session_host_win32_tests session-host --session-id N --state-dir DIR
//       the program's own entry and composition root
//   session_host_win32_tests --fast-lease-host N DIR
//       the same host with its lease and its waits for a client 15 times as fast
//   session_host_win32_tests --hanging-host N DIR
//       the fast lease, but waits for a client in real time
// Host output is captured through files: a child started without inherited
// handles would still hold the test's own standard output.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/data_protection.h"
#include "common/handle_win32.h"
#include "common/text.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "native/clock.h"
#include "session/authentication_win32.h"
#include "session/documents.h"
#include "session/host.h"
#include "session/host_pipe_win32.h"
#include "session/owner.h"
#include "standalone/cli/cli_documents.h"
#include "standalone/state/file_system.h"
#include "standalone/state/image_store.h"
#include "standalone/state/receipt.h"
#include "standalone_main/entry.h"
#include "standalone_main/entry_services_win32.h"
#include "standalone_main/host_services_win32.h"
#include "desktop/tests/support/test_files_win32.h"
#include "desktop/tests/support/test_process_win32.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;

const std::wstring kTestDir = L"C:\\vor-host-tests";
const std::wstring kCopy = kTestDir + L"\\session_host_win32_tests.exe";
constexpr int kFastLease = 15;

std::wstring own_exe() {
  std::wstring buffer(32768, L'\0');
  const DWORD n = ::GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
  buffer.resize(n);
  return buffer;
}

std::uint32_t own_session() {
  DWORD session = 0;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  return session;
}

bool exists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// A host process started by the test from the copy, its standard output in a file.
class HostProcess : public CapturedProcess {
 public:
  HostProcess(const std::wstring& arguments, const std::wstring& output) : CapturedProcess(kCopy, arguments, output) {}
};

// A fresh state directory for one test.
struct StateDir {
  explicit StateDir(const std::wstring& name) : dir(kTestDir + L"\\" + name) {}
  std::wstring dir;
  std::wstring root() const { return dir + L"\\VorDesktop-v1"; }
  std::wstring record() const { return root() + L"\\session.owner"; }
  std::string utf8() const { return *from_wide(dir); }
};

StateDir fresh_state(const std::wstring& name) {
  StateDir state(name);
  remove_tree(state.dir);
  ::CreateDirectoryW(state.dir.c_str(), nullptr);
  return state;
}

// The record once the host has written it, waiting up to 20 seconds.
std::optional<Owner> await_record(const StateDir& state) {
  for (int i = 0; i < 1000; ++i) {
    if (exists(state.record())) {
      if (auto owner = decode_owner(read_shared_file(state.record()))) return *owner;
    }
    ::Sleep(20);
  }
  return std::nullopt;
}

// The test's own end of the session pipe, a raw client.
class RawClient {
 public:
  explicit RawClient(const Owner& owner) {
    const std::wstring name = *to_wide(*session_pipe_name(owner));
    for (int attempt = 0; attempt < 150 && !pipe_; ++attempt) {
      pipe_.reset(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
      if (!pipe_) ::Sleep(20);
    }
  }
  bool connected() const { return pipe_.valid(); }
  bool send_bytes(const std::string& bytes) {
    DWORD n = 0;
    return ::WriteFile(pipe_.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) && n == bytes.size();
  }
  bool send(const std::string& body) { return send_bytes(*frame_bytes(body, kRpcMaxBytes)); }
  // Everything the host sends until it disconnects, or nullopt when it has
  // neither sent nor disconnected within `limit`.
  std::optional<std::string> until_disconnected(std::chrono::milliseconds limit) {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
      DWORD available = 0;
      if (!::PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &available, nullptr)) return got;  // broken
      if (available > 0) {
        std::string chunk(available, '\0');
        DWORD n = 0;
        if (!::ReadFile(pipe_.get(), chunk.data(), available, &n, nullptr)) return got;
        got.append(chunk, 0, n);
        continue;
      }
      ::Sleep(10);
    }
    return std::nullopt;
  }
  // One whole frame within 10 seconds.
  std::optional<std::string> read_frame() {
    std::string got;
    const auto end = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < end) {
      if (got.size() >= 4) {
        std::uint32_t n = 0;
        std::memcpy(&n, got.data(), 4);
        if (got.size() >= 4 + std::size_t{n}) return got.substr(4, n);
      }
      DWORD available = 0;
      if (!::PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &available, nullptr)) return std::nullopt;
      if (available == 0) {
        ::Sleep(5);
        continue;
      }
      std::string chunk(available, '\0');
      DWORD n = 0;
      if (!::ReadFile(pipe_.get(), chunk.data(), available, &n, nullptr)) return std::nullopt;
      got.append(chunk, 0, n);
    }
    return std::nullopt;
  }
  void close() { pipe_.reset(); }

 private:
  UniqueFile pipe_;
};

// One whole exchange; the Reply's result, or nullopt.
std::optional<json::Value> exchange(const Owner& owner, const SessionAction& action, const std::string& id = "r-1") {
  RawClient client(owner);
  if (!client.connected() || !client.send(encode_rpc(Rpc{1, id, std::nullopt, action}))) return std::nullopt;
  auto body = client.read_frame();
  if (!body) return std::nullopt;
  auto reply = decode_reply(*body);
  if (!reply || reply->request_id != id) return std::nullopt;
  client.send_bytes(*frame_bytes(encode_ack(Ack{1, id}), kAckMaxBytes));
  return reply->result;
}

std::string code_of(const std::optional<json::Value>& result) {
  if (!result) return "<no reply>";
  const json::Value* code = result->find("code");
  return code && code->as_string() ? *code->as_string() : "<no code>";
}

std::wstring host_arguments(std::uint32_t session, const StateDir& state) {
  return L"session-host --session-id " + std::to_wstring(session) + L" --state-dir " + state.dir;
}

TEST(SessionHostWin32, ServesStatusRefusesASecondHostAndEndsOnClose) {
  const StateDir state = fresh_state(L"serve");
  HostProcess host(host_arguments(own_session(), state), kTestDir + L"\\serve-host.txt");
  ASSERT_TRUE(host.started());
  const auto owner = await_record(state);
  ASSERT_TRUE(owner) << host.output();
  EXPECT_EQ(owner->session_id, own_session());
  const std::string record = read_shared_file(state.record());

  auto status = exchange(*owner, SessionStatus{});
  EXPECT_EQ(code_of(status), "DESKTOP_SESSION_READY");
  // A fresh host has about its whole idle time left.
  ASSERT_TRUE(status && status->find("idleRemainingSeconds"));
  const std::uint64_t idle = *status->find("idleRemainingSeconds")->as_unsigned();
  EXPECT_LE(idle, 299u);
  EXPECT_GE(idle, 280u);

  HostProcess second(host_arguments(own_session(), state), kTestDir + L"\\serve-second.txt");
  ASSERT_TRUE(second.started());
  EXPECT_EQ(second.wait(20000), std::optional<DWORD>(1));
  EXPECT_NE(second.output().find("\"code\":\"DESKTOP_OWNER_CONFLICT\""), std::string::npos) << second.output();
  EXPECT_EQ(read_shared_file(state.record()), record);
  EXPECT_EQ(code_of(exchange(*owner, SessionStatus{})), "DESKTOP_SESSION_READY");

  EXPECT_EQ(code_of(exchange(*owner, SessionFullscreenStatus{"op-1"})), "DESKTOP_FULLSCREEN_UNSUPPORTED");
  // The host runs the execute transaction: an inspect finishes with its receipt.
  Request request{1, "op-1", own_session(), Inspect{}};
  EXPECT_EQ(code_of(exchange(*owner, SessionExecute{request})), "DESKTOP_OPERATION_FINISHED");

  auto closed = exchange(*owner, SessionClose{});
  EXPECT_EQ(closed, std::optional(session_closed_document(own_session())));
  EXPECT_EQ(host.wait(20000), std::optional<DWORD>(0));
  EXPECT_EQ(host.output(), print_line(session_closed_document(own_session())));
  EXPECT_FALSE(exists(state.record()));
  EXPECT_TRUE(exists(state.root() + L"\\.session.lock"));
}

TEST(SessionHostWin32, AHostForAnotherSessionEndsAtOnceAndWritesNothing) {
  const StateDir state = fresh_state(L"mismatch");
  HostProcess host(host_arguments(own_session() + 1, state), kTestDir + L"\\mismatch-host.txt");
  ASSERT_TRUE(host.started());
  EXPECT_EQ(host.wait(20000), std::optional<DWORD>(1));
  EXPECT_NE(host.output().find("\"code\":\"DESKTOP_SESSION_MISMATCH\""), std::string::npos) << host.output();
  EXPECT_FALSE(exists(state.root()));
}

TEST(SessionHostWin32, SilentGarbageAndVanishingClientsAreCutAndTheNextIsServed) {
  const StateDir state = fresh_state(L"clients");
  HostProcess host(host_arguments(own_session(), state), kTestDir + L"\\clients-host.txt");
  const auto owner = await_record(state);
  ASSERT_TRUE(owner) << host.output();

  struct Case {
    const char* name;
    std::string bytes;  // what the client sends before it waits
  };
  const std::vector<Case> cases = {
      {"nothing", ""},
      {"garbage", *frame_bytes("{not json", kRpcMaxBytes)},
      {"zero length", std::string(4, '\0')},
      {"protocol 2", *frame_bytes(encode_rpc(Rpc{2, "r-1", std::nullopt, SessionStatus{}}), kRpcMaxBytes)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawClient client(*owner);
    ASSERT_TRUE(client.connected());
    if (!c.bytes.empty()) {
      ASSERT_TRUE(client.send_bytes(c.bytes));
    }
    const auto answer = client.until_disconnected(10s);
    ASSERT_TRUE(answer) << "still connected after 10 s";
    EXPECT_EQ(*answer, "");
  }
  {
    RawClient vanishing(*owner);
    ASSERT_TRUE(vanishing.connected());
  }
  EXPECT_EQ(code_of(exchange(*owner, SessionStatus{})), "DESKTOP_SESSION_READY");
  EXPECT_TRUE(host.running());
  EXPECT_EQ(code_of(exchange(*owner, SessionClose{})), "DESKTOP_SESSION_CLOSED");
  EXPECT_EQ(host.wait(20000), std::optional<DWORD>(0));
}

// A finished receipt with a protected image made `age` ago, as an execute
// would leave it.
void store_image(const StateDir& state, const std::string& operation_id, std::chrono::seconds age) {
  auto fs = make_win32_file_system();
  auto dpapi = make_win32_data_protection();
  auto identity = make_win32_caller_identity();
  StateContext ctx = make_state_context(*fs, *dpapi, system_clock());
  auto root = ensure_state_directory(*fs, *identity, state.utf8());
  ASSERT_TRUE(root) << root.error().display_chain();
  Bytes png = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 1, 2, 3, 4};
  const Time now = system_clock().utc_now();
  auto image = store_protected_image(ctx, *root, operation_id, png, now - age);
  ASSERT_TRUE(image) << image.error().display_chain();
  Receipt receipt;
  receipt.operation_id = operation_id;
  receipt.request_hash = std::string(64, 'a');
  receipt.session_id = own_session();
  receipt.phase = ReceiptPhase::kFinished;
  receipt.created_at = now - age;
  receipt.finished_at = now - age;
  receipt.pid = ::GetCurrentProcessId();
  receipt.image = *image;
  ASSERT_TRUE(write_receipt(ctx, *root, receipt, true));
}

std::wstring image_path(const StateDir& state, const std::string& operation_id) {
  return state.root() + L"\\" + *to_wide(*state_file_name(operation_id, "image"));
}

TEST(SessionHostWin32, AnIdleHostRemovesAnImageAtItsExpiryAndKeepsServing) {
  const StateDir state = fresh_state(L"image");
  store_image(state, "op-img", 50s);
  const std::wstring image = image_path(state, "op-img");
  ASSERT_TRUE(exists(image));
  HostProcess host(host_arguments(own_session(), state), kTestDir + L"\\image-host.txt");
  const auto owner = await_record(state);
  ASSERT_TRUE(owner) << host.output();
  EXPECT_TRUE(exists(image));  // its lease still holds
  bool removed = false;
  for (int i = 0; i < 300 && !removed; ++i) {
    removed = !exists(image);
    if (!removed) ::Sleep(100);
  }
  EXPECT_TRUE(removed);
  EXPECT_TRUE(host.running());
  EXPECT_EQ(code_of(exchange(*owner, SessionStatus{})), "DESKTOP_SESSION_READY");
  EXPECT_EQ(code_of(exchange(*owner, SessionClose{})), "DESKTOP_SESSION_CLOSED");
  EXPECT_EQ(host.wait(20000), std::optional<DWORD>(0));
}

TEST(SessionHostWin32, AnIdleHostEndsByItselfWhenItsLeaseRunsOut) {
  const StateDir state = fresh_state(L"lease");
  store_image(state, "op-young", 1s);
  HostProcess host(L"--fast-lease-host " + std::to_wstring(own_session()) + L" " + state.dir,
                   kTestDir + L"\\lease-host.txt");
  const auto owner = await_record(state);
  ASSERT_TRUE(owner) << host.output();
  // 300 s of idle time pass in 20 s of the fast clock.
  EXPECT_EQ(host.wait(90000), std::optional<DWORD>(0)) << host.output();
  EXPECT_EQ(host.output(), print_line(session_closed_document(own_session())));
  EXPECT_FALSE(exists(state.record()));
  EXPECT_FALSE(exists(image_path(state, "op-young")));  // the normal ending removes every image
}

TEST(SessionHostWin32, AHostWhoseLeaseRunsOutMeanwhileIsEndedWith124AndLeavesItsState) {
  const StateDir state = fresh_state(L"hanging");
  store_image(state, "op-young", 1s);
  HostProcess host(L"--hanging-host " + std::to_wstring(own_session()) + L" " + state.dir,
                   kTestDir + L"\\hanging-host.txt");
  const auto owner = await_record(state);
  ASSERT_TRUE(owner) << host.output();
  EXPECT_EQ(host.wait(90000), std::optional<DWORD>(124));
  EXPECT_EQ(host.output(), "");
  auto left = decode_owner(read_shared_file(state.record()));  // the record stays behind
  ASSERT_TRUE(left);
  EXPECT_EQ(*left, *owner);
  EXPECT_TRUE(exists(image_path(state, "op-young")));
}

// The lease's time runs `kFastLease` times as fast as the steady clock, and
// so do the host's waits for a client: 300 s of idle time pass in 20 s.
class FastLeaseClock final : public LeaseClock {
 public:
  Clock::Monotonic now() override {
    const auto real = std::chrono::steady_clock::now();
    return start_ + (real - start_) * kFastLease;
  }
  void wait(std::unique_lock<std::mutex>& lock, std::condition_variable& wake,
            std::chrono::nanoseconds timeout) override {
    wake.wait_for(lock, timeout / kFastLease);
  }

 private:
  const Clock::Monotonic start_ = std::chrono::steady_clock::now();
};

class FastPipe final : public HostPipe {
 public:
  FastPipe(std::unique_ptr<HostPipe> pipe, int scale) : pipe_(std::move(pipe)), scale_(scale) {}
  Win32<bool> wait_for_client(std::chrono::nanoseconds limit) override {
    return pipe_->wait_for_client(limit / scale_);
  }
  Result<std::string> read_frame(std::uint32_t max_bytes, std::chrono::milliseconds limit) override {
    return pipe_->read_frame(max_bytes, limit);
  }
  Status write_frame(std::string_view body, std::uint32_t max_bytes, std::chrono::milliseconds limit) override {
    return pipe_->write_frame(body, max_bytes, limit);
  }
  PeerAuthSys& peer() override { return pipe_->peer(); }
  void disconnect() override { pipe_->disconnect(); }

 private:
  std::unique_ptr<HostPipe> pipe_;
  int scale_;
};

class FastPipes final : public HostPipeFactory {
 public:
  FastPipes(asio::io_context& io, int scale) : pipes_(io), scale_(scale) {}
  Result<std::unique_ptr<HostPipe>> create(const Owner& owner, bool first) override {
    auto pipe = pipes_.create(owner, first);
    if (!pipe) return fail(std::move(pipe.error()));
    return std::unique_ptr<HostPipe>(std::make_unique<FastPipe>(std::move(*pipe), scale_));
  }

 private:
  Win32HostPipes pipes_;
  int scale_;
};

void write_stdout(std::string_view line) {
  DWORD n = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), line.data(), static_cast<DWORD>(line.size()), &n, nullptr);
}

// The program's entry, as Vor.Marionet.exe runs it.
int run_program(int count, LPWSTR* wide) {
  std::vector<Argument> args;
  for (int i = 1; i < count; ++i) args.push_back(from_wide(wide[i]));
  Win32Adapters adapters;
  auto services = make_win32_entry_services(adapters);
  return run_entry(args, services);
}

// The program's host with the fast lease clock, and its waits for a client
// as fast (`fast_waits`) or in real time: then the lease runs out while the
// host still waits, as it would for a host that hangs.
int run_fast_lease_host(LPWSTR session, LPWSTR dir, bool fast_waits) {
  Win32Adapters adapters;
  StatePorts state{make_state_context(*adapters.files, *adapters.data_protection, system_clock()), *adapters.caller,
                   *adapters.processes};
  HostBroker broker = make_host_broker(state);
  asio::io_context io(1);
  FastPipes pipes(io, fast_waits ? kFastLease : 1);
  FastLeaseClock clock;
  HostPorts ports{state.ctx, *adapters.caller, *adapters.processes, clock, terminate_current_process,
                  pipes,     broker,           abort_on_failed_revert};
  const cmd::SessionHost command{static_cast<std::uint32_t>(std::wcstoul(session, nullptr, 10)), *from_wide(dir)};
  auto document = run_session_host(ports, command);
  if (!document) {
    write_stdout(document.error().display_chain());
    return 1;
  }
  write_stdout(print_line(*document));
  return 0;
}

// Runs the tests from a copy under C:\ and returns its exit code.
int run_from_copy() {
  ::CreateDirectoryW(kTestDir.c_str(), nullptr);
  if (!::CopyFileW(own_exe().c_str(), kCopy.c_str(), FALSE)) return 90;
  std::wstring command = L"\"" + kCopy + L"\"";
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  for (int i = 1; i < count; ++i) command += L" \"" + std::wstring(wide[i]) + L"\"";
  ::LocalFree(wide);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(kCopy.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return 91;
  ::CloseHandle(pi.hThread);
  ::WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(pi.hProcess, &code);
  ::CloseHandle(pi.hProcess);
  return static_cast<int>(code);
}

}  // namespace
}  // namespace vor::desktop

int main(int argc, char** argv) {
  using namespace vor::desktop;
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide != nullptr && count >= 2 && std::wstring_view(wide[1]) == L"session-host") {
    const int code = run_program(count, wide);
    ::ExitProcess(static_cast<UINT>(code));
  }
  if (wide != nullptr && count == 4 &&
      (std::wstring_view(wide[1]) == L"--fast-lease-host" || std::wstring_view(wide[1]) == L"--hanging-host")) {
    const int code = run_fast_lease_host(wide[2], wide[3], std::wstring_view(wide[1]) == L"--fast-lease-host");
    ::ExitProcess(static_cast<UINT>(code));
  }
  if (wide != nullptr) ::LocalFree(wide);
  if (_wcsicmp(own_exe().c_str(), kCopy.c_str()) != 0) return run_from_copy();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
