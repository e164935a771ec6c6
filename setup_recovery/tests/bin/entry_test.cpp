#include "bin/entry.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include <asio/post.hpp>

#include "installer/errors.h"
#include "installer/journal.h"
#include "setup_recovery/tests/fakes.h"
#include "setup_recovery/tests/service_fakes.h"

namespace vor::setup {
namespace {

using testing::bytes_of;
using testing::FakePorts;
using testing::FakeProtection;

const std::string kRoot = "C:\\Data\\Vor\\Kerno";
const std::string kReport = kRoot + "\\Setup\\last-recovery.json";
const std::string kJournal = kRoot + "\\Setup\\transaction.dat";
const std::string kLock = kRoot + "\\State\\component-update.lock";

std::string journal_json(bool committed) {
  return R"({"schema":"vor.kerno.setup-transaction/v1","transactionId":"00112233445566778899aabbccddeeff",)"
         R"("committed":)" + std::string(committed ? "true" : "false") +
         R"(,"previousFiles":[null,null,null,null,null]})";
}

class FakeOutput final : public StdOutput {
 public:
  bool handle = true;
  std::optional<std::uint32_t> write_error;
  std::string written;
  bool has_handle() override { return handle; }
  Status write(std::string_view bytes) override {
    if (write_error) return fail(Error::os(*write_error));
    written += bytes;
    return {};
  }
};

// The ports of one run; the task query fails unless a case scripts it.
struct Machine {
  Machine() { runner.results = {fail(failure(kSetupChildTimeout))}; }
  int run(std::u16string_view line, StdOutput& output) {
    RecoveryContext context{f.ports, scm, ticker, runner, std::nullopt};
    ProgramEnvironment env{context, kRoot, "C:\\Client"};
    return setup_recovery_main(line, output, env);
  }
  FakePorts f;
  testing::FakeScm scm;
  testing::FakeTicker ticker;
  testing::FakeChildRunner runner;
};

class EntryTest : public ::testing::Test {
 protected:
  int run(std::u16string_view line) { return m.run(line, out); }
  Machine m;
  FakePorts& f = m.f;
  FakeOutput out;
};

TEST_F(EntryTest, VersionPrintsTheLineAndCreatesNothing) {
  EXPECT_EQ(run(u"x.exe --version"), kExitSuccess);
  EXPECT_EQ(out.written, "Vor Kerno Setup Recovery 0.5.0-preview.9\n");
  EXPECT_TRUE(f.files.calls.empty());
}

TEST_F(EntryTest, VersionWithoutAHandleOrWithAFailedWrite) {
  out.handle = false;
  EXPECT_EQ(run(u"x.exe --version"), kExitSuccess);
  out.handle = true;
  out.write_error = 232;  // ERROR_NO_DATA: the reader went away
  EXPECT_EQ(run(u"x.exe --version"), kExitFailure);
  EXPECT_TRUE(f.files.calls.empty());
}

TEST_F(EntryTest, AnythingElseExitsTwoSilently) {
  for (const char16_t* line : {u"x.exe", u"x.exe --version --recover", u"x.exe --Version", u"x.exe -version",
                               u"x.exe recover", u"x.exe --recover x"}) {
    EXPECT_EQ(run(line), kExitUsage);
  }
  EXPECT_EQ(out.written, "");
  EXPECT_TRUE(f.files.calls.empty());
}

TEST_F(EntryTest, RecoverRunsUnderTheLockAndReportsFailures) {
  struct Case {
    const char* name;
    std::function<void(FakePorts&)> setup;
    std::string report;
  };
  const Case cases[] = {
      {"no journal: the task query times out", [](FakePorts&) {}, R"({"code":"SETUP_CHILD_TIMEOUT"})"},
      {"committed journal: the task query times out after the clean-up",
       [](FakePorts& f) { f.files.add_file(kJournal, build_journal_frame(FakeProtection::seal(journal_json(true)))); },
       R"({"code":"SETUP_CHILD_TIMEOUT"})"},
      {"undecryptable journal", [](FakePorts& f) { f.files.add_file(kJournal, bytes_of("VORKST01\x01garbage")); },
       R"({"code":"SETUP_RECOVERY_STATE_INVALID"})"},
      {"journal that fails validation",
       [](FakePorts& f) {
         std::string bad = journal_json(false);
         bad.replace(bad.find("null,null,null,null,null"), 24, "null,null,null,null,null,null");
         f.files.add_file(kJournal, build_journal_frame(FakeProtection::seal(bad)));
       },
       R"({"code":"SETUP_RECOVERY_STATE_INVALID"})"},
      {"journal over 65,536 bytes",
       [](FakePorts& f) { f.files.add_file(kJournal, Bytes(kJournalMaxBytes + 1, 'V')); },
       R"({"code":"SETUP_RECOVERY_STATE_INVALID"})"},
      {"journal is a directory", [](FakePorts& f) { f.files.add_dir(kJournal); },
       R"({"code":"SETUP_RECOVERY_STATE_INVALID"})"},
      {"journal under a reparse point",
       [](FakePorts& f) {
         f.files.add_file(kJournal, build_journal_frame(FakeProtection::seal(journal_json(true))));
         f.files.nodes[kRoot + "\\Setup"].extra_attributes = kFileAttributeReparsePoint;
       },
       R"({"code":"SETUP_RECOVERY_STATE_INVALID"})"},
      {"journal metadata denied", [](FakePorts& f) { f.files.failures["metadata_follow " + kJournal] = 5; },
       R"({"code":"SETUP_IO_FAILED","win32Code":5})"},
      {"live lock holder",
       [](FakePorts& f) {
         f.files.add_file(kLock, bytes_of(R"({"lockId":"a","owner":"installer","processId":9,"acquiredAt":"2026-01-01T00:00:00Z"})"));
         f.processes.live.insert(9);
       },
       R"({"code":"SETUP_IO_FAILED"})"},
      {"lock directory denied", [](FakePorts& f) { f.files.failures["create_new " + kLock] = 5; },
       R"({"code":"SETUP_IO_FAILED","win32Code":5})"},
  };
  for (const Case& c : cases) {
    Machine machine;
    FakePorts& g = machine.f;
    c.setup(g);
    FakeOutput o;
    EXPECT_EQ(machine.run(u"x.exe --recover", o), kExitFailure) << c.name;
    EXPECT_EQ(g.files.content(kReport), c.report) << c.name;
    EXPECT_EQ(o.written, "") << c.name;
    if (std::string(c.name) != "live lock holder") {
      EXPECT_FALSE(g.files.exists(kLock)) << c.name;  // released
    }
  }
}

TEST_F(EntryTest, ARecoveryWithNothingLeftToDoExitsZeroSilently) {
  for (const bool journal : {false, true}) {
    Machine machine;
    if (journal) {
      machine.f.files.add_file(kJournal, build_journal_frame(FakeProtection::seal(journal_json(true))));
    }
    machine.runner.results = {fail(failure_over(kSetupChildExitFailed, child_exit(1)))};  // no task
    FakeOutput o;
    EXPECT_EQ(machine.run(u"x.exe --recover", o), kExitSuccess) << journal;
    EXPECT_EQ(o.written, "");
    EXPECT_FALSE(machine.f.files.exists(kReport));
    EXPECT_FALSE(machine.f.files.exists(kJournal));
    EXPECT_FALSE(machine.f.files.exists(kLock));
    EXPECT_EQ(machine.runner.runs.size(), 1u);
  }
}

TEST_F(EntryTest, TheLockIsReleasedBeforeTheReportIsWritten) {
  EXPECT_EQ(run(u"x.exe --recover"), kExitFailure);
  std::size_t lock_deleted = 0, report_written = 0;
  for (std::size_t i = 0; i < f.files.calls.size(); ++i) {
    if (f.files.calls[i] == "delete " + kLock) lock_deleted = i;
    if (f.files.calls[i].rfind("move ", 0) == 0 && f.files.calls[i].find("\\Setup\\.state-") != std::string::npos) {
      report_written = i;
    }
  }
  EXPECT_NE(lock_deleted, 0u);
  EXPECT_LT(lock_deleted, report_written);
  // The layout was made: root, Logs, State\CloudOutbox.
  EXPECT_TRUE(f.files.nodes.at(kRoot + "\\Logs").directory);
  EXPECT_TRUE(f.files.nodes.at(kRoot + "\\State\\CloudOutbox").directory);
}

TEST_F(EntryTest, LayoutFailureWritesAReportOnlyWhenTheSecondLayoutSucceeds) {
  int failures_left = 1;
  f.files.on_call = [&](testing::FakeFileSystem& fs, const std::string& op, const std::string& path) {
    if (op == "create_directory" && path == kRoot + "\\Logs") {
      if (failures_left-- > 0) fs.failures[op + " " + path] = 5;
      else fs.failures.erase(op + " " + path);
    }
  };
  EXPECT_EQ(run(u"x.exe --recover"), kExitFailure);
  EXPECT_EQ(f.files.content(kReport), R"({"code":"SETUP_IO_FAILED","win32Code":5})");

  Machine machine;
  FakePorts& g = machine.f;
  g.files.failures["create_directory " + kRoot + "\\Logs"] = 5;
  EXPECT_EQ(machine.run(u"x.exe --recover", out), kExitFailure);
  EXPECT_FALSE(g.files.exists(kReport));
  EXPECT_FALSE(g.files.exists(kLock));
}

TEST_F(EntryTest, AReportThatCannotBeWrittenKeepsTheOldOneAndTheExitCode) {
  f.files.add_file(kReport, bytes_of("{\"code\":\"SETUP_CHILD_TIMEOUT\"}"));
  f.files.on_call = [](testing::FakeFileSystem& fs, const std::string& op, const std::string& path) {
    if (op == "create_new" && path.find("\\Setup\\.state-") != std::string::npos) fs.failures[op + " " + path] = 112;
  };
  EXPECT_EQ(run(u"x.exe --recover"), kExitFailure);
  EXPECT_EQ(f.files.content(kReport), "{\"code\":\"SETUP_CHILD_TIMEOUT\"}");
}

// The task query makes the event loop itself throw (a handler posted to it
// throws while the recovery waits): the lock is released all the same, and
// the report is written after it.
class LoopBreakingRunner final : public ChildRunner {
 public:
  asio::awaitable<Result<std::string>> run(const ChildRunRequest&) override {
    const auto executor = co_await asio::this_coro::executor;
    asio::post(executor, [] { throw std::runtime_error("a handler of the loop failed"); });
    asio::steady_timer never(executor, std::chrono::hours(1));
    co_await never.async_wait(asio::use_awaitable);
    co_return std::string();
  }
};

TEST_F(EntryTest, AnExceptionOutOfTheEventLoopStillReleasesTheLock) {
  LoopBreakingRunner breaking;
  RecoveryContext context{f.ports, m.scm, m.ticker, breaking, std::nullopt};
  ProgramEnvironment env{context, kRoot, "C:\\Client"};
  EXPECT_EQ(setup_recovery_main(u"x.exe --recover", out, env), kExitFailure);
  EXPECT_FALSE(f.files.exists(kLock));
  EXPECT_EQ(f.files.content(kReport), R"({"code":"SETUP_IO_FAILED"})");
}

}  // namespace
}  // namespace vor::setup
