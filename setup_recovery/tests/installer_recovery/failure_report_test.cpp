#include "installer_recovery/failure_report.h"

#include <gtest/gtest.h>

#include "setup_recovery/tests/fakes.h"
#include "installer/errors.h"

namespace vor::setup {
namespace {

using testing::bytes_of;
using testing::FakePorts;

TEST(FailureReport, ClassificationAndEncodingOfChains) {
  struct Case {
    const char* name;
    Error chain;
    const char* json;
  };
  const Case cases[] = {
      {"child exit under its code", failure_over(kSetupChildExitFailed, child_exit(5)),
       R"({"code":"SETUP_CHILD_EXIT_FAILED","childExitCode":5})"},
      {"os error under a context message", Error::os(5).context("create C:\\x"),
       R"({"code":"SETUP_IO_FAILED","win32Code":5})"},
      {"bare failure", failure(kSetupRecoveryStateInvalid), R"({"code":"SETUP_RECOVERY_STATE_INVALID"})"},
      {"negative exit code", failure_over(kSetupChildExitFailed, child_exit(-1073741510)),
       R"({"code":"SETUP_CHILD_EXIT_FAILED","childExitCode":-1073741510})"},
      {"child exit under a context, all under an outer message",
       failure_over(kSetupChildExitFailed, child_exit(2).context("x")).context("outer"),
       R"({"code":"SETUP_CHILD_EXIT_FAILED","childExitCode":2})"},
      {"outermost failure wins", failure_over(kSetupChildTimeout, failure(kSetupChildExitFailed)).context("ctx"),
       R"({"code":"SETUP_CHILD_TIMEOUT"})"},
      {"plain message only", Error("another component update is active: owner=agent"),
       R"({"code":"SETUP_IO_FAILED"})"},
      {"io error without a number is passed over", Error::os(32).context("inner").context("outer"),
       R"({"code":"SETUP_IO_FAILED","win32Code":32})"},
      {"large win32 numbers are signed 32-bit", Error::os(0x80070005u), R"({"code":"SETUP_IO_FAILED","win32Code":-2147024891})"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(encode_recovery_failure_report(classify_recovery_failure(c.chain)), c.json) << c.name;
  }
}

TEST(FailureReport, OsErrorBeforeChildExitInTheDocument) {
  // An OS error and a child exit in one chain: both members, win32Code first.
  Error chain = failure_over(kSetupChildExitFailed, child_exit(3));
  Error with_os = Error::os(6);
  // Build a chain that holds both: the failure over a context over an OS error.
  Error both = failure_over(kSetupChildExitFailed, std::move(with_os).context_with("installer child exited", ChildExit{3}));
  EXPECT_EQ(encode_recovery_failure_report(classify_recovery_failure(both)),
            R"({"code":"SETUP_CHILD_EXIT_FAILED","win32Code":6,"childExitCode":3})");
  EXPECT_EQ(classify_recovery_failure(chain), (RecoveryFailureRecord{"SETUP_CHILD_EXIT_FAILED", std::nullopt, 3}));
}

TEST(FailureReport, IoLinksWithoutNumberAreSkippedForWin32Code) {
  Error chain = Error::io("short read").context("read");
  EXPECT_EQ(classify_recovery_failure(chain).win32_code, std::nullopt);
}

TEST(FailureReport, WrittenAtomicallyUnderSetup) {
  FakePorts f;
  f.files.add_file("C:\\Root\\Setup\\last-recovery.json", bytes_of("{\"code\":\"OLD\"}"));
  ASSERT_TRUE(write_recovery_failure_report(f.files, f.ids, "C:\\Root", failure(kSetupRecoveryStateInvalid)));
  EXPECT_EQ(f.files.content("C:\\Root\\Setup\\last-recovery.json"), R"({"code":"SETUP_RECOVERY_STATE_INVALID"})");

  f.files.failures["move C:\\Root\\Setup\\.state-00000000000000000000000000000002.tmp"] = 5;
  EXPECT_FALSE(write_recovery_failure_report(f.files, f.ids, "C:\\Root", Error::os(2)));
  EXPECT_EQ(f.files.content("C:\\Root\\Setup\\last-recovery.json"), R"({"code":"SETUP_RECOVERY_STATE_INVALID"})");
  EXPECT_EQ(f.files.children("C:\\Root\\Setup"), std::vector<std::string>{"last-recovery.json"});
}

}  // namespace
}  // namespace vor::setup
