// The worker launch, the readiness exchange and the worker itself against
// Wine's real pipes, jobs and processes. This test program is its own
// worker: started with "worker ..." it runs worker mode, shaped by the mode
// file that the current case wrote.
#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <fstream>

#include "broker/probe.h"
#include "broker/worker_readiness.h"
#include "common/handle_win32.h"
#include "common/text.h"
#include "protocol/diagnostics.h"
#include "protocol/request.h"
#include "protocol/response.h"
#include "standalone/cli/error_codes.h"
#include "native/process_sys_win32.h"
#include "standalone/worker/worker_mode.h"
#include "standalone/worker/worker_mode_peer_win32.h"
#include "standalone_main/entry_services_win32.h"
#include "windows/worker_launch_win32.h"

namespace vor::desktop {
namespace {

const char* kModeFile = "C:\\vor-worker-launch-test-mode.txt";

// How the next worker behaves: "normal" worker mode; "exit" at once without
// connecting; "silent" stays without connecting; "linger" stays after a
// normal exchange.
void set_worker_mode(const std::string& mode) { std::ofstream(kModeFile, std::ios::trunc) << mode; }

std::string worker_mode() {
  std::ifstream in(kModeFile);
  std::string mode;
  in >> mode;
  return mode.empty() ? "normal" : mode;
}

int run_as_worker(const std::vector<std::optional<std::string>>& args) {
  const std::string mode = worker_mode();
  if (mode == "exit") return 3;
  if (mode == "silent") {
    ::Sleep(8000);
    return 0;
  }
  // Worker mode exactly as the program's composition root runs it.
  Win32Adapters adapters;
  const EntryServices services = make_win32_entry_services(adapters);
  const Status s = services.run_worker(args);
  if (mode == "linger") ::Sleep(8000);
  return s ? 0 : 64;
}

std::uint32_t own_session() {
  DWORD session = 0;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  return session;
}

// The exit code of a process that ends within 5 seconds, else nullopt.
std::optional<DWORD> exit_code_within(HANDLE process) {
  if (::WaitForSingleObject(process, 5000) != WAIT_OBJECT_0) return std::nullopt;
  DWORD code = 0;
  if (!::GetExitCodeProcess(process, &code)) return std::nullopt;
  return code;
}

std::string phase_of(const Error& e) {
  const NotSentMarker* marker = e.find<NotSentMarker>();
  return marker ? std::string(startup_phase_name(marker->phase)) : "none";
}

class WorkerLaunchWin32 : public ::testing::Test {
 protected:
  void SetUp() override { set_worker_mode("normal"); }
  void TearDown() override { ::DeleteFileA(kModeFile); }
  asio::io_context io;
  std::unique_ptr<ProcSys> processes = make_win32_proc_sys();
};

TEST_F(WorkerLaunchWin32, ProbeOfTheOwnSessionSucceeds) {
  const Status s = probe_session(make_win32_worker_launch(io), *processes, own_session(), system_clock());
  EXPECT_TRUE(s) << s.error().display_chain();
}

TEST_F(WorkerLaunchWin32, TheWorkerStartsInsideItsJobAndDiesWithIt) {
  auto worker = start_worker(make_win32_worker_launch(io), *processes, own_session());
  ASSERT_TRUE(worker) << worker.error().display_chain();
  EXPECT_TRUE(worker->same_session);
  UniqueHandle process(::OpenProcess(PROCESS_QUERY_INFORMATION | SYNCHRONIZE, FALSE, worker->process_id));
  ASSERT_TRUE(process);
  BOOL in_job = FALSE;
  ASSERT_TRUE(::IsProcessInJob(process.get(), nullptr, &in_job)) << ::GetLastError();
  EXPECT_TRUE(in_job);
  worker->job.reset();  // closes the job
  EXPECT_EQ(::WaitForSingleObject(process.get(), 5000), WAIT_OBJECT_0);
}

TEST_F(WorkerLaunchWin32, AnExecutedRequestIsAnsweredByTheExecutor) {
  const std::uint32_t session = own_session();
  auto worker = start_worker(make_win32_worker_launch(io), *processes, session);
  ASSERT_TRUE(worker) << worker.error().display_chain();
  auto pipe = await_worker_ready(*worker, *processes, system_clock(), session, true, std::nullopt);
  ASSERT_TRUE(pipe) << pipe.error().display_chain();

  const std::string request =
      R"({"protocol":1,"operationId":"op-w","sessionId":)" + std::to_string(session) +
      R"(,"action":{"kind":"find_windows","selector":{"processId":null,"title":"No window has this title"},"timeoutMs":200}})";
  ASSERT_TRUE((*pipe)->write_frame(request, kRequestMaxBytes, std::chrono::seconds(3)));
  auto body = (*pipe)->read_frame(kResponseMaxBytes, std::chrono::seconds(5));
  ASSERT_TRUE(body) << body.error().display_chain();
  auto response = decode_response(*body);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->operation_id, "op-w");
  EXPECT_EQ(response->session_id, session);
  EXPECT_EQ(response->code, "DESKTOP_WINDOW_NOT_FOUND");
  EXPECT_EQ(response->next_safe_action, "Choose a window from this observation.");
  EXPECT_TRUE(response->windows.empty());
  EXPECT_TRUE(response->execution);
  EXPECT_TRUE(response->notice_context);

  UniqueHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, worker->process_id));
  ASSERT_TRUE(process);
  EXPECT_EQ(exit_code_within(process.get()), 0u);
}

TEST_F(WorkerLaunchWin32, ProbeFailuresOfRealWorkersCarryTheirCodeAndPhase) {
  struct Case {
    const char* mode;
    std::uint32_t session_offset;
    const char* code;
    const char* phase;
  };
  const Case cases[] = {
      {"exit", 0, "DESKTOP_WORKER_EXITED_BEFORE_READY", "workerReadiness"},
      {"silent", 0, "DESKTOP_WORKER_READY_UNCONFIRMED", "workerReadiness"},
      {"linger", 0, "DESKTOP_WORKER_EXIT_UNCONFIRMED", "workerReadiness"},
      {"normal", 1, "DESKTOP_PEER_NOT_AUTHORIZED", "callerIdentity"},  // a user broker, another session
  };
  for (const auto& c : cases) {
    set_worker_mode(c.mode);
    const Status s =
        probe_session(make_win32_worker_launch(io), *processes, own_session() + c.session_offset, system_clock());
    ASSERT_FALSE(s) << c.mode;
    EXPECT_EQ(error_code_of(s.error()), c.code) << c.mode;
    EXPECT_EQ(phase_of(s.error()), c.phase) << c.mode;
  }
}

// A pipe served by this process, and a worker started on it by hand with
// the given broker pid.
struct HandStartedWorker {
  UniqueFile server;
  UniqueHandle process;
};
HandStartedWorker start_by_hand(const std::wstring& pipe, std::uint32_t broker_pid) {
  HandStartedWorker w;
  w.server.reset(::CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr));
  wchar_t exe[MAX_PATH] = {};
  ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring cmd = L"\"" + std::wstring(exe) + L"\" worker --pipe " + pipe + L" --broker-pid " +
                     std::to_wstring(broker_pid) + L" --session " + std::to_wstring(own_session());
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    w.process.reset(pi.hProcess);
    ::CloseHandle(pi.hThread);
  }
  return w;
}

TEST_F(WorkerLaunchWin32, AWorkerWritesNothingToAServerThatIsNotItsBroker) {
  auto w = start_by_hand(L"\\\\.\\pipe\\Vor.Desktop.win32-not-broker", ::GetCurrentProcessId() + 4);
  ASSERT_TRUE(w.server && w.process);
  ::ConnectNamedPipe(w.server.get(), nullptr);
  char byte = 0;
  DWORD read = 0;
  EXPECT_FALSE(::ReadFile(w.server.get(), &byte, 1, &read, nullptr));
  EXPECT_EQ(read, 0u);
  EXPECT_EQ(exit_code_within(w.process.get()), 64u);
}

TEST_F(WorkerLaunchWin32, AWorkerAnnouncesItselfToItsBrokerAndEndsOnAProbeAck) {
  auto w = start_by_hand(L"\\\\.\\pipe\\Vor.Desktop.win32-by-hand", ::GetCurrentProcessId());
  ASSERT_TRUE(w.server && w.process);
  ::ConnectNamedPipe(w.server.get(), nullptr);
  std::string frame(4 + 200, '\0');
  DWORD got = 0, total = 0;
  while (total < 4 && ::ReadFile(w.server.get(), frame.data() + total, 4 - total, &got, nullptr) && got > 0) total += got;
  ASSERT_EQ(total, 4u);
  const std::uint32_t n = static_cast<unsigned char>(frame[0]) | (static_cast<unsigned char>(frame[1]) << 8);
  ASSERT_LT(n, 200u);
  while (total < 4 + n && ::ReadFile(w.server.get(), frame.data() + total, 4 + n - total, &got, nullptr) && got > 0) {
    total += got;
  }
  auto ready = decode_worker_ready(std::string_view(frame).substr(4, n));
  ASSERT_TRUE(ready);
  EXPECT_EQ(ready->code, "DESKTOP_WORKER_READY");
  EXPECT_EQ(ready->process_id, ::GetProcessId(w.process.get()));
  EXPECT_EQ(ready->session_id, own_session());
  EXPECT_FALSE(ready->win32_error);

  const std::string ack = encode_ready_ack(ReadyAck{});
  std::string out = {static_cast<char>(ack.size()), 0, 0, 0};
  out += ack;
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(w.server.get(), out.data(), static_cast<DWORD>(out.size()), &written, nullptr));
  EXPECT_EQ(exit_code_within(w.process.get()), 0u);
}

TEST(FramePipeWin32, AReadThatOutlivesItsLimitIsCancelledAndThePipeStaysUsable) {
  asio::io_context io;
  const std::wstring name = L"\\\\.\\pipe\\Vor.Desktop.win32-limit";
  HANDLE server = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);
  UniqueFile client(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(client);
  asio::windows::stream_handle stream(io, server);
  AsioFramePipe<asio::windows::stream_handle> pipe(io, std::move(stream));

  auto timed_out = pipe.read_frame(64, std::chrono::milliseconds(50));
  ASSERT_FALSE(timed_out);
  EXPECT_EQ(timed_out.error().outermost(), kPipeTimeLimitPassed);

  const std::string frame = std::string("\x02\x00\x00\x00", 4) + "{}";
  DWORD written = 0;
  ASSERT_TRUE(::WriteFile(client.get(), frame.data(), static_cast<DWORD>(frame.size()), &written, nullptr));
  auto body = pipe.read_frame(64, std::chrono::seconds(3));
  ASSERT_TRUE(body) << body.error().display_chain();
  EXPECT_EQ(*body, "{}");
}

}  // namespace
}  // namespace vor::desktop

int main(int argc, char** argv) {
  int count = 0;
  LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
  if (wide != nullptr && count >= 2 && std::wstring_view(wide[1]) == L"worker") {
    std::vector<std::optional<std::string>> args;
    for (int i = 2; i < count; ++i) args.push_back(vor::from_wide(wide[i]));
    ::LocalFree(wide);
    return vor::desktop::run_as_worker(args);
  }
  if (wide != nullptr) ::LocalFree(wide);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
