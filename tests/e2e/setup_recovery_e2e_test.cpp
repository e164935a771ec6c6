// vor-kerno-setup-recovery.exe under Wine: exact command lines in, exact
// stdout bytes, exit codes and files out. The program works on the fixed
// root C:\ProgramData\Vor\Kerno of the e2e prefix, so every case takes an
// exclusive file lock around its use of that root (ctest runs cases in
// parallel) and starts from an empty root.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
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

std::string slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
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
  }
  void TearDown() override {
    if (lock_fd_ >= 0) ::close(lock_fd_);  // releases the flock
  }

  fs::path root_;
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

// Without a journal the next step is the task removal, which this build does
// not have yet: the run fails with the default code, after making the layout
// and releasing the lock.
TEST_F(SetupRecoveryE2e, RecoverWithoutJournalReportsTheDefaultCode) {
  auto r = run(kExe, {"--recover"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(slurp(root_ / "Setup/last-recovery.json"), R"({"code":"SETUP_IO_FAILED"})");
  EXPECT_TRUE(fs::is_directory(root_ / "Logs"));
  EXPECT_TRUE(fs::is_directory(root_ / "State/CloudOutbox"));
  EXPECT_FALSE(fs::exists(root_ / "State/component-update.lock"));
  std::vector<std::string> setup;
  for (const auto& e : fs::directory_iterator(root_ / "Setup")) setup.push_back(e.path().filename().string());
  EXPECT_EQ(setup, std::vector<std::string>{"last-recovery.json"});  // no temporary file left
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
    EXPECT_EQ(slurp(root_ / "Setup/last-recovery.json"), R"({"code":"SETUP_RECOVERY_STATE_INVALID"})") << name;
    EXPECT_EQ(slurp(root_ / "Setup/transaction.dat"), bytes) << name;  // a failed run leaves the journal
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
  EXPECT_EQ(slurp(root_ / "State/component-update.lock"), record);
  EXPECT_EQ(slurp(root_ / "Setup/last-recovery.json"), R"({"code":"SETUP_IO_FAILED"})");
}

TEST_F(SetupRecoveryE2e, AStaleInstallerLockIsQuarantined) {
  const std::string record = R"({"lockId":"0123456789abcdef0123456789abcdef","owner":"installer",)"
                             R"("processId":4294967280,"acquiredAt":"2026-01-01T00:00:00Z"})";
  put(root_ / "State/component-update.lock", record);
  auto r = run(kExe, {"--recover"});
  EXPECT_EQ(r.exit_code, 1);  // the lock was taken; the run then needs the missing task removal
  EXPECT_FALSE(fs::exists(root_ / "State/component-update.lock"));
  std::vector<std::string> stale;
  for (const auto& e : fs::directory_iterator(root_ / "State")) {
    const std::string name = e.path().filename().string();
    if (name.rfind("component-update.stale-", 0) == 0) stale.push_back(name);
  }
  ASSERT_EQ(stale.size(), 1u);
  EXPECT_EQ(stale[0].size(), std::string("component-update.stale-").size() + 32);
  EXPECT_EQ(stale[0].find_first_not_of("0123456789abcdef", 23), std::string::npos);
  EXPECT_EQ(slurp(root_ / "State" / stale[0]), record);
  EXPECT_EQ(slurp(root_ / "Setup/last-recovery.json"), R"({"code":"SETUP_IO_FAILED"})");
}

}  // namespace
}  // namespace vor::e2e
