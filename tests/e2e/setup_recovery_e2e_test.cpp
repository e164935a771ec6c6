// vor-kerno-setup-recovery.exe under Wine: exact command lines in, exact
// stdout bytes, exit codes and files out. The program works on the fixed
// root C:\ProgramData\Vor\Kerno of the e2e prefix, so every case takes an
// exclusive file lock around its use of that root (ctest runs cases in
// parallel) and starts from an empty root. Wine's own schtasks.exe prints
// nothing for /Query, so every case installs the test schtasks.exe of the
// stand-in build (it answers from C:\vor-test-schtasks) into the prefix's
// system32 and selects it with WINEDLLOVERRIDES.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "e2e.h"

namespace vor::e2e {
namespace {

namespace fs = std::filesystem;

const char* kExe = "vor-kerno-setup-recovery.exe";
const std::string kVersion = "Vor Kerno Setup Recovery 0.5.0-preview.9\n";

std::string wine_root() {
  const char* v = std::getenv("VOR_WINE_ROOT");
  return v != nullptr && *v != '\0' ? v : VOR_E2E_WINE_ROOT;
}

void put(const fs::path& p, const std::string& bytes) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << bytes;
}

class SetupRecoveryE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    const fs::path vor = fs::path(wine_root()) / "prefix/drive_c/ProgramData/Vor";
    fs::create_directories(vor.parent_path());
    lock_fd_ = ::open((vor.parent_path() / ".vor-setup-e2e.lock").c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0644);
    ASSERT_GE(lock_fd_, 0);
    ASSERT_EQ(::flock(lock_fd_, LOCK_EX), 0);
    fs::remove_all(vor);
    root_ = vor / "Kerno";
    drive_c_ = fs::path(wine_root()) / "prefix/drive_c";
    client_ = drive_c_ / "Program Files/Vor/Kerno Client";
    tasks_ = drive_c_ / "vor-test-schtasks";
    fs::remove_all(client_);
    fs::remove_all(tasks_);
    fs::create_directories(tasks_);
    fs::copy_file(program_path("schtasks.exe"), drive_c_ / "windows/system32/schtasks.exe",
                  fs::copy_options::overwrite_existing);
    ::setenv("WINEDLLOVERRIDES", "mscoree,mshtml=;schtasks.exe=n", 1);
  }
  void put_task(const std::string& command) {
    put(tasks_ / "task.xml", "<?xml version=\"1.0\"?><Task><Actions><Exec><Command>" + command +
                                 "</Command><Arguments>--recover</Arguments></Exec></Actions></Task>");
  }
  // Seals `json` with Wine's DPAPI (machine scope) as the journal.
  void put_journal(const std::string& json) {
    put(drive_c_ / "vor-journal.json", json);
    fs::create_directories(root_ / "Setup");
    auto sealed = run("setup-test-child.exe",
                      {"protect", "C:\\vor-journal.json", "C:\\ProgramData\\Vor\\Kerno\\Setup\\transaction.dat"});
    ASSERT_EQ(sealed.exit_code, 0);
    fs::remove(drive_c_ / "vor-journal.json");
  }
  void TearDown() override {
    for (const char* name : {"VorKernoAgent", "VorKernoGuardian"}) run("setup-test-child.exe", {"service-delete", name});
    if (lock_fd_ >= 0) ::close(lock_fd_);  // releases the flock
  }
  // "<start type> <binary path>" of a service of the prefix, or "" when it does not exist.
  std::string service(const std::string& name) { return run("setup-test-child.exe", {"service-show", name}).out; }

  fs::path root_, drive_c_, client_, tasks_;
  int lock_fd_ = -1;
};

TEST_F(SetupRecoveryE2e, VersionPrintsTheExactLineAndCreatesNothing) {
  auto r = run(kExe, {"--version"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, kVersion);
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(fs::exists(root_.parent_path()));

  auto release = run(kExe, {"--version"}, Build::kRelease);
  EXPECT_EQ(release.exit_code, 0);
  EXPECT_EQ(release.out, kVersion);
}

TEST_F(SetupRecoveryE2e, AnyOtherInvocationExitsTwoSilently) {
  const std::vector<std::vector<std::string>> cases = {
      {}, {"--version", "--recover"}, {"--recover", "--recover"}, {"--Version"}, {"-version"},
      {"--RECOVER"}, {"recover"}, {""}, {"--version "},
  };
  for (const auto& args : cases) {
    auto r = run(kExe, args);
    EXPECT_EQ(r.exit_code, 2) << ::testing::PrintToString(args);
    EXPECT_EQ(r.out, "") << ::testing::PrintToString(args);
    EXPECT_EQ(r.err, "") << ::testing::PrintToString(args);
  }
  EXPECT_FALSE(fs::exists(root_.parent_path()));
}

// Without a journal only the task removal runs; with no task either (the
// tool exits 1) there is nothing to do: exit 0 after making the layout and
// releasing the lock, and no report.
TEST_F(SetupRecoveryE2e, RecoverWithoutJournalOrTaskSucceedsSilently) {
  auto r = run(kExe, {"--recover"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(fs::exists(root_ / "Setup/last-recovery.json"));
  EXPECT_TRUE(fs::is_directory(root_ / "Logs"));
  EXPECT_TRUE(fs::is_directory(root_ / "State/CloudOutbox"));
  EXPECT_FALSE(fs::exists(root_ / "State/component-update.lock"));
  EXPECT_NE(read_file(tasks_ / "calls.log").find("/Query /TN \\VorKernoSetupRecovery /XML"), std::string::npos);
}

TEST_F(SetupRecoveryE2e, AnInterruptedUpdateIsRolledBackAndTheTaskDeleted) {
  const std::string tid = "00112233445566778899aabbccddeeff";
  const fs::path backups = root_ / "Setup/Recovery" / tid;
  put(client_ / "VorKerno.Agent.exe", "new agent");
  put(client_ / "Vor.Marionet.exe", "new marionet");
  put(client_ / "marionet-release.json", "new release");
  put(backups / "0", "old agent");
  put(backups / "6", "old release");
  // SHA-256 of "old agent" and of "old release"; Vor.Marionet.exe did not exist before.
  put_journal(R"({"schema":"vor.kerno.setup-transaction/v1","transactionId":")" + tid +
              R"(","committed":false,"previousFiles":["ca5c6ef422416771157da46ac0dcad7c8f8ad9b9222b2d5d70d8f3ef06ca1323",)"
              R"(null,null,null,null,null,"05d3a835ff4f5e5138805558c46f0daaae88b7b7806e4b99349e11fe1f6621ea"],"agent":null,"guardian":null})");
  put_task("C:\\ProgramData\\Vor\\Kerno\\Setup\\vor-kerno-setup-recovery.exe");

  auto r = run(kExe, {"--recover"});
  EXPECT_EQ(r.exit_code, 0) << read_file(root_ / "Setup/last-recovery.json");
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(client_ / "VorKerno.Agent.exe"), "old agent");
  EXPECT_EQ(read_file(client_ / "marionet-release.json"), "old release");
  EXPECT_FALSE(fs::exists(client_ / "Vor.Marionet.exe"));
  EXPECT_FALSE(fs::exists(root_ / "Setup/transaction.dat"));
  EXPECT_FALSE(fs::exists(backups));
  EXPECT_TRUE(fs::is_directory(root_ / "Setup/Recovery"));
  EXPECT_FALSE(fs::exists(tasks_ / "task.xml"));
  EXPECT_NE(read_file(tasks_ / "calls.log").find("/Delete /TN \\VorKernoSetupRecovery /F"), std::string::npos);
  EXPECT_FALSE(fs::exists(root_ / "Setup/last-recovery.json"));
  for (const auto& e : fs::recursive_directory_iterator(client_)) {
    EXPECT_EQ(e.path().filename().string().find(".tmp"), std::string::npos) << e.path();
  }
}

// The update created both services: the rollback deletes them.
TEST_F(SetupRecoveryE2e, ServicesTheUpdateCreatedAreRemoved) {
  for (const char* name : {"VorKernoAgent", "VorKernoGuardian"}) {
    ASSERT_EQ(run("setup-test-child.exe", {"service-create", name, "C:\\vor-absent\\new.exe"}).exit_code, 0);
  }
  ASSERT_EQ(service("VorKernoGuardian"), "3 C:\\vor-absent\\new.exe");
  put_journal(R"({"schema":"vor.kerno.setup-transaction/v1","transactionId":"00112233445566778899aabbccddeeff",)"
              R"("committed":false,"previousFiles":[null,null,null,null,null],"agent":null,"guardian":null})");
  auto r = run(kExe, {"--recover"});
  EXPECT_EQ(r.exit_code, 0) << read_file(root_ / "Setup/last-recovery.json");
  EXPECT_EQ(service("VorKernoAgent"), "");
  EXPECT_EQ(service("VorKernoGuardian"), "");
  EXPECT_FALSE(fs::exists(root_ / "Setup/transaction.dat"));
}

// The update changed the agent's command line. Wine 8.0 answers the
// delayed-start part of the saved configuration with 124 (not implemented),
// so under Wine the run writes the old command line back, then fails and
// reports that number; journal, backups and task stay for a later run.
TEST_F(SetupRecoveryE2e, AChangedCommandLineIsWrittenBackThenWineRefusesDelayedStart) {
  auto units = [](const std::string& text) {
    std::string out = "[";
    for (char c : text) out += std::to_string(static_cast<unsigned char>(c)) + ",";
    return out + "0]";
  };
  ASSERT_EQ(run("setup-test-child.exe", {"service-create", "VorKernoAgent", "C:\\vor-absent\\agent.exe --new"}).exit_code, 0);
  const std::string agent = R"({"running":false,"serviceType":16,"startType":2,"errorControl":1,"binaryCommand":)" +
                            units("C:\\vor-absent\\agent.exe --old") + R"(,"display":)" + units("Vor Kerno Agent") +
                            R"(,"dependencies":[0,0],"description":)" + units("agent") +
                            R"(,"delayed":false,"sidType":1,"recovery":{"failureActionsOnNonCrashFailures":false}})";
  put_journal(R"({"schema":"vor.kerno.setup-transaction/v1","transactionId":"00112233445566778899aabbccddeeff",)"
              R"("committed":false,"previousFiles":[null,null,null,null,null],"agent":)" + agent + R"(,"guardian":null})");
  put_task("C:\\ProgramData\\Vor\\Kerno\\Setup\\vor-kerno-setup-recovery.exe");
  const std::string journal = read_file(root_ / "Setup/transaction.dat");
  auto r = run(kExe, {"--recover"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(read_file(root_ / "Setup/last-recovery.json"), R"({"code":"SETUP_IO_FAILED","win32Code":124})");
  EXPECT_EQ(service("VorKernoAgent"), "2 C:\\vor-absent\\agent.exe --old");
  EXPECT_EQ(read_file(root_ / "Setup/transaction.dat"), journal);
  EXPECT_TRUE(fs::exists(tasks_ / "task.xml"));
}

TEST_F(SetupRecoveryE2e, AForeignTaskIsLeftInPlaceAndReported) {
  put_task("C:\\Elsewhere\\vor-kerno-setup-recovery.exe");
  const std::string xml = read_file(tasks_ / "task.xml");
  auto r = run(kExe, {"--recover"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(read_file(root_ / "Setup/last-recovery.json"), R"({"code":"SETUP_RECOVERY_TASK_CONFLICT"})");
  EXPECT_EQ(read_file(tasks_ / "task.xml"), xml);
  EXPECT_EQ(read_file(tasks_ / "calls.log").find("/Delete"), std::string::npos);
}

// The task tool gives a copy of its output handle to a process outside its
// job that lives for 60 seconds: the program still ends at the tool's
// 20-second limit, with the lock released and the time-out reported, while
// that process lives on.
TEST_F(SetupRecoveryE2e, ATaskToolOutputHeldOutsideItsJobEndsTheRunAtTheLimit) {
  ASSERT_EQ(run("setup-test-child.exe", {"hold", "60000", "C:\\vor-test-schtasks\\holder.pid"}).exit_code, 0);
  const std::string holder = read_file(tasks_ / "holder.pid");
  ASSERT_FALSE(holder.empty());
  put(tasks_ / "lend-to", holder);
  put_task("C:\\ProgramData\\Vor\\Kerno\\Setup\\vor-kerno-setup-recovery.exe");
  auto r = run(kExe, {"--recover"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(root_ / "Setup/last-recovery.json"), R"({"code":"SETUP_CHILD_TIMEOUT"})");
  EXPECT_FALSE(fs::exists(root_ / "State/component-update.lock"));
  EXPECT_TRUE(fs::exists(tasks_ / "task.xml"));
  EXPECT_EQ(run("setup-test-child.exe", {"end", holder}).exit_code, 0) << "the run waited for the holder to end";
}

TEST_F(SetupRecoveryE2e, ABackupThatDiffersStopsTheRollbackBeforeAnythingChanges) {
  const std::string tid = "00112233445566778899aabbccddeeff";
  put(client_ / "VorKerno.Agent.exe", "new agent");
  put(root_ / "Setup/Recovery" / tid / "0", "old agenT");
  put_journal(R"({"schema":"vor.kerno.setup-transaction/v1","transactionId":")" + tid +
              R"(","committed":false,"previousFiles":["ca5c6ef422416771157da46ac0dcad7c8f8ad9b9222b2d5d70d8f3ef06ca1323",)"
              R"(null,null,null,null]})");
  put_task("C:\\ProgramData\\Vor\\Kerno\\Setup\\vor-kerno-setup-recovery.exe");
  const std::string journal = read_file(root_ / "Setup/transaction.dat");
  auto r = run(kExe, {"--recover"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(read_file(root_ / "Setup/last-recovery.json"), R"({"code":"SETUP_RECOVERY_STATE_INVALID"})");
  // A failed run leaves journal, backups and task for a later run.
  EXPECT_EQ(read_file(root_ / "Setup/transaction.dat"), journal);
  EXPECT_EQ(read_file(client_ / "VorKerno.Agent.exe"), "new agent");
  EXPECT_TRUE(fs::exists(root_ / "Setup/Recovery" / tid / "0"));
  EXPECT_TRUE(fs::exists(tasks_ / "task.xml"));
  EXPECT_FALSE(fs::exists(tasks_ / "calls.log"));
}

TEST_F(SetupRecoveryE2e, UnreadableJournalsReportStateInvalid) {
  const std::vector<std::pair<const char*, std::string>> cases = {
      {"header only", std::string("VORKST01\x01", 9)},
      {"mode 2", std::string("VORKST01\x02", 9) + "blob"},
      {"not a DPAPI blob", std::string("VORKST01\x01", 9) + "garbage"},
      {"over 65,536 bytes", std::string("VORKST01\x01", 9) + std::string(65'536, 'x')},
  };
  for (const auto& [name, bytes] : cases) {
    fs::remove_all(root_);
    put(root_ / "Setup/transaction.dat", bytes);
    auto r = run(kExe, {"--recover"});
    EXPECT_EQ(r.exit_code, 1) << name;
    EXPECT_EQ(r.out, "") << name;
    EXPECT_EQ(read_file(root_ / "Setup/last-recovery.json"), R"({"code":"SETUP_RECOVERY_STATE_INVALID"})") << name;
    EXPECT_EQ(read_file(root_ / "Setup/transaction.dat"), bytes) << name;  // a failed run leaves the journal
  }
}

TEST_F(SetupRecoveryE2e, AFreshForeignLockIsLeftAloneAndTheRunFails) {
  // An "agent" lock of a process that does not exist is active for 1800 seconds.
  const std::string record = R"({"lockId":"0123456789abcdef0123456789abcdef","owner":"agent",)"
                             R"("processId":4294967280,"acquiredAt":"2099-01-01T00:00:00Z"})";
  put(root_ / "State/component-update.lock", record);
  auto r = run(kExe, {"--recover"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_file(root_ / "State/component-update.lock"), record);
  EXPECT_EQ(read_file(root_ / "Setup/last-recovery.json"), R"({"code":"SETUP_IO_FAILED"})");
}

TEST_F(SetupRecoveryE2e, AStaleInstallerLockIsQuarantined) {
  const std::string record = R"({"lockId":"0123456789abcdef0123456789abcdef","owner":"installer",)"
                             R"("processId":4294967280,"acquiredAt":"2026-01-01T00:00:00Z"})";
  put(root_ / "State/component-update.lock", record);
  auto r = run(kExe, {"--recover"});
  EXPECT_EQ(r.exit_code, 0);  // the lock was taken; no journal and no task: nothing more to do
  EXPECT_FALSE(fs::exists(root_ / "State/component-update.lock"));
  std::vector<std::string> stale;
  for (const auto& e : fs::directory_iterator(root_ / "State")) {
    const std::string name = e.path().filename().string();
    if (name.rfind("component-update.stale-", 0) == 0) stale.push_back(name);
  }
  ASSERT_EQ(stale.size(), 1u);
  EXPECT_EQ(stale[0].size(), std::string("component-update.stale-").size() + 32);
  EXPECT_EQ(stale[0].find_first_not_of("0123456789abcdef", 23), std::string::npos);
  EXPECT_EQ(read_file(root_ / "State" / stale[0]), record);
  EXPECT_FALSE(fs::exists(root_ / "Setup/last-recovery.json"));
}

}  // namespace
}  // namespace vor::e2e
