// Service control, the child runner and a whole recovery against the real
// (Wine) system: the service manager with uniquely named test services that
// are always deleted again, real child processes (setup-test-child.exe), and
// the test schtasks.exe copied into a Windows folder of the test's own.
// Wine 8.0 refuses ChangeServiceConfig2W levels 3 to 5 with 124, so restoring a
// saved configuration there stops at the delayed-start flag, after the
// command line was written.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "bin/entry.h"
#include "common/crypto.h"
#include "common/data_protection.h"
#include "common/text.h"
#include "installer/errors.h"
#include "installer/files.h"
#include "installer/paths.h"
#include "installer/service_control.h"
#include "setup_recovery/tests/service_fakes.h"

namespace vor::setup {
namespace {

using testing::run_to_end;

std::wstring wide(const std::string& s) { return *to_wide(s); }

std::string exe_dir() {
  wchar_t exe[MAX_PATH];
  ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
  return *parent(*from_wide(exe));
}

std::vector<std::uint16_t> units(const std::string& text) {
  const std::wstring w = wide(text);
  std::vector<std::uint16_t> out(w.begin(), w.end());
  out.push_back(0);
  return out;
}

// A service of this test run, deleted when the value goes.
class TestService {
 public:
  explicit TestService(const std::string& name, const std::string& command = "") : name_(name) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE s = ::CreateServiceW(manager, wide(name).c_str(), wide(name + " display").c_str(), SERVICE_ALL_ACCESS,
                                   SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                   wide(command.empty() ? "C:\\vor-setup-tests\\absent-service.exe --new" : command).c_str(),
                                   nullptr, nullptr, nullptr, nullptr, nullptr);
    created_ = s != nullptr;
    if (s) ::CloseServiceHandle(s);
    ::CloseServiceHandle(manager);
  }
  ~TestService() { remove(name_); }
  static void remove(const std::string& name) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE s = ::OpenServiceW(manager, wide(name).c_str(), DELETE);
    if (s) {
      ::DeleteService(s);
      ::CloseServiceHandle(s);
    }
    ::CloseServiceHandle(manager);
  }
  static bool exists(const std::string& name) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE s = ::OpenServiceW(manager, wide(name).c_str(), SERVICE_QUERY_STATUS);
    if (s) ::CloseServiceHandle(s);
    ::CloseServiceHandle(manager);
    return s != nullptr;
  }
  // (binary path, start type) as the manager reports them.
  static std::pair<std::string, DWORD> config(const std::string& name) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE s = ::OpenServiceW(manager, wide(name).c_str(), SERVICE_QUERY_CONFIG);
    std::pair<std::string, DWORD> out{"<none>", 0};
    alignas(8) BYTE buffer[8192];
    DWORD needed = 0;
    if (s && ::QueryServiceConfigW(s, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer), sizeof buffer, &needed)) {
      auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
      out = {*from_wide(c->lpBinaryPathName), c->dwStartType};
    }
    if (s) ::CloseServiceHandle(s);
    ::CloseServiceHandle(manager);
    return out;
  }
  bool created() const { return created_; }

 private:
  std::string name_;
  bool created_ = false;
};

std::string unique_name() { return "VorSetupTest" + uuid_v4_hex()->substr(0, 12); }

class ScmTest : public ::testing::Test {
 protected:
  std::unique_ptr<Scm> scm = make_win32_scm();
  std::unique_ptr<Ticker> ticker = make_steady_ticker();
  ServiceControl control{*scm, *ticker};
};

TEST_F(ScmTest, AChangedCommandLineIsRolledBackToTheSavedValue) {
  const std::string name = unique_name();
  TestService service(name);
  ASSERT_TRUE(service.created());
  Snapshot saved;
  saved.service_type = SERVICE_WIN32_OWN_PROCESS;
  saved.start_type = SERVICE_AUTO_START;
  saved.error_control = SERVICE_ERROR_NORMAL;
  saved.binary_command = units("C:\\vor-setup-tests\\absent-service.exe --old");
  saved.display = units(name + " old display");
  saved.dependencies = {0, 0};
  saved.description = units("the saved description");
  saved.sid_type = 1;
  auto restored = restore_service_configuration(control, name, saved);
  EXPECT_EQ(TestService::config(name),
            (std::pair<std::string, DWORD>{"C:\\vor-setup-tests\\absent-service.exe --old", SERVICE_AUTO_START}));
  if (!restored) {
    // Wine: the delayed-start level is not implemented; the failure is reported, without a code.
    EXPECT_EQ(restored.error().os_error(), static_cast<std::uint32_t>(ERROR_INVALID_LEVEL));
    EXPECT_EQ(restored.error().find<Failure>(), nullptr);
  }
  // The same configuration again changes nothing.
  (void)restore_service_configuration(control, name, saved);
  EXPECT_EQ(TestService::config(name).first, "C:\\vor-setup-tests\\absent-service.exe --old");
}

TEST_F(ScmTest, AServiceThatDidNotExistBeforeIsRemoved) {
  const std::string name = unique_name();
  TestService service(name);
  ASSERT_TRUE(service.created());
  ASSERT_TRUE(TestService::exists(name));
  ASSERT_TRUE(restore_service_configuration(control, name, std::nullopt));
  EXPECT_FALSE(TestService::exists(name));
  // Gone: opening it is "missing", and restoring again is a no-op.
  auto opened = open_service_if_present(*scm, name, kServiceAccessStop);
  ASSERT_TRUE(opened);
  EXPECT_EQ(*opened, nullptr);
  EXPECT_TRUE(restore_service_configuration(control, name, std::nullopt));
  // A saved configuration for a service that is gone is refused with its code.
  Snapshot saved;
  saved.binary_command = saved.display = saved.dependencies = saved.description = {0};
  auto missing = restore_service_configuration(control, name, saved);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().display_chain(), kSetupRecoveryServiceMissing);
}

TEST_F(ScmTest, AStoppedServiceIsDisabledAndNothingElseChanges) {
  const std::string name = unique_name();
  TestService service(name);
  ASSERT_TRUE(service.created());
  ASSERT_TRUE(run_to_end(stop_service_and_wait(control, name)));  // stopped already: no control
  ASSERT_TRUE(disable_stopped_service(control, name));
  EXPECT_EQ(TestService::config(name),
            (std::pair<std::string, DWORD>{"C:\\vor-setup-tests\\absent-service.exe --new", SERVICE_DISABLED}));
}

TEST_F(ScmTest, ARealServiceIsStartedAndStoppedWithTheWaits) {
  const std::string name = unique_name();
  TestService service(name, "\"" + exe_dir() + "\\setup-test-service.exe\"");
  ASSERT_TRUE(service.created());
  auto started = start_service_and_wait(control, name);
  ASSERT_TRUE(started) << started.error().display_chain();
  auto status = (*open_service_if_present(*scm, name, kServiceAccessStatus))->query_status();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->current_state, kStateRunning);
  ASSERT_TRUE(start_service_and_wait(control, name));  // running already: no second start
  // Running: the disable step refuses it until it is stopped.
  auto early = disable_stopped_service(control, name);
  ASSERT_FALSE(early);
  EXPECT_EQ(early.error().display_chain(), kSetupServiceStopFailed);
  auto stopped = run_to_end(stop_service_and_wait(control, name));
  ASSERT_TRUE(stopped) << stopped.error().display_chain();
  status = (*open_service_if_present(*scm, name, kServiceAccessStatus))->query_status();
  ASSERT_TRUE(status);
  EXPECT_EQ(status->current_state, kStateStopped);
  ASSERT_TRUE(disable_stopped_service(control, name));
  EXPECT_EQ(TestService::config(name).second, static_cast<DWORD>(SERVICE_DISABLED));
}

// --- the child runner with real processes ---

// A process of the test's own, outside any job: started with nothing
// inherited, ended (by its handle) when the value goes.
class Helper {
 public:
  explicit Helper(const std::vector<std::string>& args) {
    std::wstring line = L"\"" + wide(exe_dir() + "\\setup-test-child.exe") + L"\"";
    for (const auto& a : args) line += L" " + wide(a);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (::CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
      ::CloseHandle(pi.hThread);
      process_ = pi.hProcess;
      pid_ = pi.dwProcessId;
    }
  }
  Helper(const Helper&) = delete;
  Helper& operator=(const Helper&) = delete;
  ~Helper() {
    if (process_ == nullptr) return;
    ::TerminateProcess(process_, 1);
    ::WaitForSingleObject(process_, 3000);
    ::CloseHandle(process_);
  }
  bool started() const { return process_ != nullptr; }
  bool alive() const { return ::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
  DWORD pid() const { return pid_; }

 private:
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
};

// The real launcher, slow to make the job: the child's first second of life
// lies between its start and its assignment to the job.
class SlowToGuard final : public ChildLauncher {
 public:
  explicit SlowToGuard(ChildLauncher& inner) : inner_(inner) {}
  Result<StartedChild> start(const ChildCommand& command) override { return inner_.start(command); }
  Result<std::unique_ptr<JobObject>> create_job() override {
    ::Sleep(1000);
    return inner_.create_job();
  }

 private:
  ChildLauncher& inner_;
};

class ChildTest : public ::testing::Test {
 protected:
  Result<std::string> run(std::vector<std::string> args, std::chrono::milliseconds timeout = std::chrono::seconds(20),
                          std::string program = exe_dir() + "\\setup-test-child.exe",
                          std::optional<Bytes> input = std::nullopt) {
    return run_with(*launcher, std::move(args), timeout, std::move(program), std::move(input));
  }
  Result<std::string> run_with(ChildLauncher& with, std::vector<std::string> args, std::chrono::milliseconds timeout,
                               std::string program = exe_dir() + "\\setup-test-child.exe",
                               std::optional<Bytes> input = std::nullopt) {
    SupervisedChildRunner runner(with, *ticker);
    ChildRunRequest request;
    request.timeout = timeout;
    request.program = std::move(program);
    request.arguments = std::move(args);
    request.input = std::move(input);
    return run_to_end(runner.run(request));
  }
  std::unique_ptr<ChildLauncher> launcher = make_win32_child_launcher();
  std::unique_ptr<Ticker> ticker = make_steady_ticker();
};

TEST_F(ChildTest, OutputExitCodesLimitsAndTimeOuts) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    std::chrono::milliseconds timeout;
    std::optional<std::string> output;  // nullopt: the run fails with `chain`
    std::string chain;
    std::optional<std::int32_t> child_exit;
    std::optional<std::uint32_t> win32;
    std::string program = "";  // empty: the test child
    std::optional<std::string> input = std::nullopt;
  };
  using std::chrono::milliseconds;
  const milliseconds limit = std::chrono::seconds(20);
  const Case cases[] = {
      {"printed text", {"print", "hello world"}, limit, "hello world", "", {}, {}},
      {"UTF-16 with its mark", {"utf16"}, limit, "<a/>", "", {}, {}},
      {"input written whole, then closed", {"echo"}, limit, std::string(10'000, 'i'), "", {}, {}, "",
       std::string(10'000, 'i')},
      {"exactly 16,384 bytes", {"flood", "16384"}, limit, std::string(16'384, 'x'), "", {}, {}},
      {"16,385 bytes", {"flood", "16385"}, limit, {}, "SETUP_CHILD_OUTPUT_LIMIT", {}, {}},
      {"exit code 3", {"exit", "3"}, limit, {}, "SETUP_CHILD_EXIT_FAILED: installer child exited", 3, {}},
      {"hangs past its limit", {"hang", "30000"}, milliseconds(300), {}, "SETUP_CHILD_TIMEOUT", {}, {}},
      // The child exits at once, but its own child, in the job, keeps the
      // output pipe open: a time-out, and the job ends the grandchild too.
      {"grandchild holds the pipe", {"grandchild"}, milliseconds(500), {}, "SETUP_CHILD_TIMEOUT", {}, {}},
      {"program missing", {}, std::chrono::seconds(5), {}, "SETUP_CHILD_START_FAILED: os error 2", {},
       ERROR_FILE_NOT_FOUND, "C:\\vor-setup-tests\\no-such-child.exe"},
  };
  for (const Case& c : cases) {
    auto out = run(c.args, c.timeout, c.program.empty() ? exe_dir() + "\\setup-test-child.exe" : c.program,
                   c.input ? std::optional<Bytes>(Bytes(c.input->begin(), c.input->end())) : std::nullopt);
    if (c.output) {
      ASSERT_TRUE(out) << c.name << ": " << out.error().display_chain();
      EXPECT_EQ(*out, *c.output) << c.name;
      continue;
    }
    ASSERT_FALSE(out) << c.name;
    EXPECT_EQ(out.error().display_chain(), c.chain) << c.name;
    const ChildExit* exited = out.error().find<ChildExit>();
    EXPECT_EQ(exited ? std::optional<std::int32_t>(exited->exit_code) : std::nullopt, c.child_exit) << c.name;
    EXPECT_EQ(out.error().os_error(), c.win32) << c.name;
  }
}

// The child gives a copy of its output handle to a process outside its job,
// which keeps it for 30 seconds: the run ends at its one-second limit, its
// reads cancelled, while that process still lives.
TEST_F(ChildTest, AnOutputPipeHeldOutsideTheJobEndsAtTheLimit) {
  Helper holder({"hang", "30000"});
  ASSERT_TRUE(holder.started());
  auto out = run({"lend", std::to_string(holder.pid())}, std::chrono::seconds(1));
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().display_chain(), kSetupChildTimeout);
  EXPECT_TRUE(holder.alive());
}

// The child starts a grandchild before anything else, while the launcher
// takes a second to make the job: started suspended, the child cannot run
// before it is in the job, so the grandchild is in it too and ends with it.
TEST_F(ChildTest, AGrandchildStartedAtOnceIsEndedWithTheJob) {
  SlowToGuard slow(*launcher);
  auto out = run_with(slow, {"spawn-first"}, std::chrono::seconds(20));
  ASSERT_TRUE(out) << out.error().display_chain();
  const DWORD pid = static_cast<DWORD>(std::stoul(*out));
  HANDLE grandchild = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, pid);
  if (grandchild == nullptr) {
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));  // gone already
    return;
  }
  const bool ended = ::WaitForSingleObject(grandchild, 0) == WAIT_OBJECT_0;
  if (!ended) ::TerminateProcess(grandchild, 1);
  ::CloseHandle(grandchild);
  EXPECT_TRUE(ended) << "the grandchild " << pid << " escaped the job";
}

// --- a whole --recover run with the real ports ---

class RecoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::CreateDirectoryW(L"C:\\vor-setup-tests", nullptr);
    base = "C:\\vor-setup-tests\\" + *uuid_v4_hex();
    root = base + "\\Kerno";
    install = base + "\\Client";
    windows = base + "\\Windows";
    tasks = base + "\\tasks";
    for (const auto& d : {windows + "\\System32", tasks}) ASSERT_TRUE(create_directories(*files, d));
    ASSERT_TRUE(::CopyFileW(wide(exe_dir() + "\\schtasks.exe").c_str(),
                            wide(windows + "\\System32\\schtasks.exe").c_str(), FALSE));
    ::SetEnvironmentVariableW(L"VOR_TEST_SCHTASKS_DIR", wide(tasks).c_str());
  }
  void TearDown() override {
    ::SetEnvironmentVariableW(L"VOR_TEST_SCHTASKS_DIR", nullptr);
    TestService::remove("VorKernoGuardian");
  }
  void put(const std::string& path, const std::string& bytes) {
    ASSERT_TRUE(create_directories(*files, *parent(path)));
    std::ofstream(std::filesystem::path(wide(path)), std::ios::binary) << bytes;
  }
  std::string slurp(const std::string& path) {
    std::ifstream in(std::filesystem::path(wide(path)), std::ios::binary);
    if (!in) return "<absent>";
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::string task_xml(const std::string& command) {
    return "<?xml version=\"1.0\"?><Task><Actions><Exec><Command>" + command +
           "</Command><Arguments>--recover</Arguments></Exec></Actions></Task>";
  }
  void write_journal(const std::string& json) {
    Bytes plain(json.begin(), json.end());
    auto blob = protection->protect(plain, {}, DataProtection::kUiForbidden | DataProtection::kLocalMachine);
    ASSERT_TRUE(blob);
    const Bytes file = build_journal_frame(*blob);
    put(journal_path(root), std::string(file.begin(), file.end()));
  }
  int recover() { return recover_with(children); }
  int recover_with(ChildRunner& runner) {
    SetupPorts ports{*files, *processes, *clock, *ids, *protection};
    RecoveryContext context{ports, *scm, *ticker, runner, windows};
    ProgramEnvironment env{context, root, install};
    auto out = make_win32_std_output(nullptr);
    return setup_recovery_main(u"x.exe --recover", *out, env);
  }

  std::unique_ptr<FileSystem> files = make_win32_file_system();
  std::unique_ptr<ProcessSys> processes = make_win32_process_sys();
  std::unique_ptr<Clock> clock = make_win32_clock();
  std::unique_ptr<IdSource> ids = make_system_id_source();
  std::unique_ptr<DataProtection> protection = make_win32_data_protection();
  std::unique_ptr<Scm> scm = make_win32_scm();
  std::unique_ptr<Ticker> ticker = make_steady_ticker();
  std::unique_ptr<ChildLauncher> launcher = make_win32_child_launcher();
  SupervisedChildRunner children{*launcher, *ticker};
  std::string base, root, install, windows, tasks;
};

TEST_F(RecoverTest, AnInterruptedUpdateIsRolledBackAndTheTaskDeleted) {
  // The update replaced the agent's exe, added Vor.Marionet.exe and created the guardian service.
  const std::string tid = "00112233445566778899aabbccddeeff";
  const std::string backups = root + "\\Setup\\Recovery\\" + tid;
  put(install + "\\VorKerno.Agent.exe", "new agent");
  put(install + "\\Vor.Marionet.exe", "new marionet");
  put(backups + "\\0", "old agent");
  TestService guardian("VorKernoGuardian");
  ASSERT_TRUE(guardian.created());
  write_journal(R"({"schema":"vor.kerno.setup-transaction/v1","transactionId":")" + tid +
                R"(","committed":false,"previousFiles":[")" + to_hex(*sha256(std::string("old agent"))) +
                R"(",null,null,null,null,null,null],"agent":null,"guardian":null})");
  put(tasks + "\\task.xml", task_xml(root + "\\Setup\\vor-kerno-setup-recovery.exe"));

  ASSERT_EQ(recover(), kExitSuccess) << slurp(failure_report_path(root));
  EXPECT_EQ(slurp(install + "\\VorKerno.Agent.exe"), "old agent");
  EXPECT_EQ(slurp(install + "\\Vor.Marionet.exe"), "<absent>");
  EXPECT_FALSE(TestService::exists("VorKernoGuardian"));
  EXPECT_EQ(slurp(journal_path(root)), "<absent>");
  EXPECT_EQ(::GetFileAttributesW(wide(backups).c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(::GetFileAttributesW(wide(root + "\\Setup\\Recovery").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(slurp(tasks + "\\task.xml"), "<absent>");
  const std::string calls = slurp(tasks + "\\calls.log");
  EXPECT_NE(calls.find("/Query /TN \\VorKernoSetupRecovery /XML"), std::string::npos) << calls;
  EXPECT_NE(calls.find("/Delete /TN \\VorKernoSetupRecovery /F"), std::string::npos) << calls;
  EXPECT_EQ(slurp(failure_report_path(root)), "<absent>");
}

// The recovery's task-tool runs with a shorter limit than its own, so that a
// time-out costs a second.
class ShortLimit final : public ChildRunner {
 public:
  ShortLimit(ChildRunner& inner, std::chrono::nanoseconds limit) : inner_(inner), limit_(limit) {}
  asio::awaitable<Result<std::string>> run(const ChildRunRequest& request) override {
    ChildRunRequest shorter = request;
    shorter.timeout = limit_;
    co_return co_await inner_.run(shorter);
  }

 private:
  ChildRunner& inner_;
  std::chrono::nanoseconds limit_;
};

// The task tool hands a copy of its output handle to a process outside its
// job that lives for 30 seconds: the run still ends at the tool's limit, with
// the lock released and the time-out reported, while that process lives on.
TEST_F(RecoverTest, ATaskToolOutputHeldOutsideTheJobEndsAtTheLimitWithTheLockReleased) {
  Helper holder({"hang", "30000"});
  ASSERT_TRUE(holder.started());
  put(tasks + "\\lend-to", std::to_string(holder.pid()));
  put(tasks + "\\task.xml", task_xml(root + "\\Setup\\vor-kerno-setup-recovery.exe"));
  ShortLimit limited(children, std::chrono::seconds(1));
  EXPECT_EQ(recover_with(limited), kExitFailure);
  EXPECT_EQ(slurp(failure_report_path(root)), R"({"code":"SETUP_CHILD_TIMEOUT"})");
  EXPECT_EQ(slurp(lock_path(root)), "<absent>");
  EXPECT_TRUE(holder.alive());
}

TEST_F(RecoverTest, AForeignTaskIsLeftAloneAndReported) {
  const std::string xml = task_xml("C:\\Other\\vor-kerno-setup-recovery.exe");
  put(tasks + "\\task.xml", xml);
  EXPECT_EQ(recover(), kExitFailure);
  EXPECT_EQ(slurp(failure_report_path(root)), R"({"code":"SETUP_RECOVERY_TASK_CONFLICT"})");
  EXPECT_EQ(slurp(tasks + "\\task.xml"), xml);
  // No task at all (the tool exits 1): nothing to do.
  ASSERT_TRUE(::DeleteFileW(wide(tasks + "\\task.xml").c_str()));
  EXPECT_EQ(recover(), kExitSuccess);
}

}  // namespace
}  // namespace vor::setup
