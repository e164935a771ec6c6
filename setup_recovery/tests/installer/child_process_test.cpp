// The supervised child runner through a scripted launcher on a real event
// loop with its blocking-work threads; output decoding; command lines.
#include "installer/child_process.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "installer/errors.h"
#include "setup_recovery/tests/service_fakes.h"

namespace vor::setup {
namespace {

using testing::FakeLauncher;
using testing::FakeTicker;
using testing::run_to_end;

Bytes bytes(std::string_view text) { return Bytes(text.begin(), text.end()); }

struct ChildRun {
  FakeLauncher launcher;
  FakeTicker ticker;
  Result<std::string> go(std::chrono::milliseconds timeout = std::chrono::seconds(20),
                         std::optional<Bytes> input = std::nullopt) {
    SupervisedChildRunner runner(launcher, ticker);
    ChildRunRequest request;
    request.timeout = timeout;
    request.input = std::move(input);
    request.program = "C:\\Windows\\System32\\schtasks.exe";
    request.arguments = {"/Query", "/TN", "\\VorKernoSetupRecovery", "/XML"};
    return run_to_end(runner.run(request));
  }
};

std::string code_of(const Result<std::string>& r) {
  const Failure* f = r ? nullptr : r.error().find<Failure>();
  return f ? std::string(f->code) : "";
}

TEST(ChildRunner, ReturnsTheOutputAndCleansUp) {
  ChildRun t;
  t.launcher.stdout_chunks = {bytes("<?xml"), bytes(" ok?>")};
  t.launcher.stderr_chunks = {bytes("noise")};
  auto out = t.go();
  ASSERT_TRUE(out) << out.error().display_chain();
  EXPECT_EQ(*out, "<?xml ok?>");
  EXPECT_EQ(t.launcher.command->command_line,
            "\"C:\\Windows\\System32\\schtasks.exe\" /Query /TN \\VorKernoSetupRecovery /XML");
  EXPECT_EQ(t.launcher.command->creation_flags, 0x08000004u);  // no window, suspended until it is in the job
  EXPECT_FALSE(t.launcher.command->stdin_pipe);
  EXPECT_EQ(t.launcher.limit_flags, 0x2020u);
  EXPECT_EQ(t.launcher.priority_class, 0x4000u);
  EXPECT_EQ(t.launcher.job_calls,
            (std::vector<std::string>{"create", "limits", "assign", "resume", "terminate job 1", "close"}));
  EXPECT_EQ(t.launcher.blocking_waits, 0);  // reaped by the run, not by the guard
}

TEST(ChildRunner, InputIsWrittenWholeAndClosedBeforeTheExitCounts) {
  ChildRun t;
  t.launcher.stdout_chunks = {bytes("ok")};
  auto out = t.go(std::chrono::seconds(20), Bytes(10'000, 'i'));
  ASSERT_TRUE(out) << out.error().display_chain();
  EXPECT_TRUE(t.launcher.command->stdin_pipe);
  EXPECT_EQ(t.launcher.input_written, Bytes(10'000, 'i'));
  EXPECT_TRUE(t.launcher.input_closed);

  ChildRun refused;
  refused.launcher.refuse_input = true;
  auto failed = refused.go(std::chrono::seconds(20), bytes("x"));
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().display_chain(), "write child input: os error 232");
  EXPECT_TRUE(refused.launcher.input_closed);
}

TEST(ChildRunner, OutputLimitIsPerStreamAndExact) {
  for (const auto& [out_bytes, err_bytes] : {std::pair<std::size_t, std::size_t>{16'385, 0}, {0, 16'385}}) {
    ChildRun t;
    t.launcher.stdout_chunks = {Bytes(out_bytes, 'a')};
    t.launcher.stderr_chunks = {Bytes(err_bytes, 'e')};
    t.launcher.exit_code.reset();  // runs until it is killed
    t.launcher.stdout_open_until_killed = true;
    auto out = t.go();
    ASSERT_FALSE(out) << out_bytes << "/" << err_bytes;
    EXPECT_EQ(out.error().display_chain(), kSetupChildOutputLimit);
    EXPECT_TRUE(t.launcher.terminated());
  }
  ChildRun exact;
  exact.launcher.stdout_chunks = {Bytes(16'384, 'a')};
  exact.launcher.stderr_chunks = {Bytes(16'384, 'e')};
  auto out = exact.go();
  ASSERT_TRUE(out);
  EXPECT_EQ(out->size(), 16'384u);
}

TEST(ChildRunner, ExitCodesAndStartFailures) {
  struct Case {
    const char* name;
    std::function<void(FakeLauncher&)> setup;
    std::string chain;
    std::optional<std::uint32_t> win32;
    std::optional<std::int32_t> child_exit;
  };
  const Case cases[] = {
      {"exit 1", [](FakeLauncher& l) { l.exit_code = 1; }, "SETUP_CHILD_EXIT_FAILED: installer child exited",
       std::nullopt, 1},
      {"exit 0xFFFFFFFF is -1", [](FakeLauncher& l) { l.exit_code = 0xFFFFFFFF; },
       "SETUP_CHILD_EXIT_FAILED: installer child exited", std::nullopt, -1},
      {"cannot start", [](FakeLauncher& l) { l.start_error = 2; }, "SETUP_CHILD_START_FAILED: os error 2", 2,
       std::nullopt},
      {"a read fails: no code", [](FakeLauncher& l) { l.stdout_read_error = 6; }, "os error 6", 6, std::nullopt},
      {"UTF-16 output of odd length",
       [](FakeLauncher& l) { l.stdout_chunks = {Bytes{0xFF, 0xFE, 0x3C, 0x00, 0x3F}}; }, "SETUP_CHILD_OUTPUT_INVALID",
       std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    ChildRun t;
    c.setup(t.launcher);
    auto out = t.go();
    ASSERT_FALSE(out) << c.name;
    EXPECT_EQ(out.error().display_chain(), c.chain) << c.name;
    EXPECT_EQ(out.error().os_error(), c.win32) << c.name;
    const ChildExit* child = out.error().find<ChildExit>();
    EXPECT_EQ(child ? std::optional<std::int32_t>(child->exit_code) : std::nullopt, c.child_exit) << c.name;
  }
}

TEST(ChildRunner, AChildWithoutItsPipesIsKilledByTheGuard) {
  ChildRun t;
  t.launcher.no_stdout = true;
  t.launcher.exit_code.reset();
  auto out = t.go();
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().display_chain(), kSetupChildStartFailed);
  EXPECT_EQ(t.launcher.job_calls, std::vector<std::string>{"terminate process 1"});
  EXPECT_EQ(t.launcher.blocking_waits, 1);
}

TEST(ChildRunner, GuardFailuresKillTheChildAndDropTheOsError) {
  for (int failing = 0; failing < 3; ++failing) {
    ChildRun t;
    t.launcher.exit_code.reset();
    (failing == 0 ? t.launcher.create_job_error : failing == 1 ? t.launcher.limits_error : t.launcher.assign_error) = 5;
    auto out = t.go();
    ASSERT_FALSE(out) << failing;
    EXPECT_EQ(out.error().display_chain(), kSetupChildGuardFailed) << failing;
    EXPECT_EQ(out.error().os_error(), std::nullopt) << failing;
    EXPECT_TRUE(t.launcher.terminated()) << failing;
    EXPECT_EQ(t.launcher.job_calls.back(), "terminate process 1") << failing;
    EXPECT_EQ(std::count(t.launcher.job_calls.begin(), t.launcher.job_calls.end(), "resume"), 0) << failing;
    EXPECT_EQ(t.launcher.shared->exits, 1) << failing;  // waited for
  }
  // A child that exited already answers the kill with access denied: that counts as done.
  ChildRun t;
  t.launcher.assign_error = 5;
  t.launcher.process_terminate_error = 5;
  auto out = t.go();
  EXPECT_EQ(code_of(out), kSetupChildGuardFailed);
  EXPECT_EQ(t.launcher.blocking_waits, 0);
}

TEST(ChildRunner, AChildThatCannotBeResumedIsEndedWithItsJob) {
  ChildRun t;
  t.launcher.exit_code.reset();
  t.launcher.resume_error = 5;
  auto out = t.go();
  ASSERT_FALSE(out);
  EXPECT_EQ(out.error().display_chain(), "SETUP_CHILD_START_FAILED: os error 5");
  EXPECT_EQ(t.launcher.job_calls,
            (std::vector<std::string>{"create", "limits", "assign", "resume", "terminate job 1", "terminate process 1",
                                      "drop"}));
  EXPECT_EQ(t.launcher.shared->exits, 1);  // reaped
}

// A process outside the job holds a copy of the output pipe: the reads are
// cancelled when the run stops listening, so the run and its loop end at the
// limit instead of when that process lets go (here after ten seconds).
TEST(ChildRunner, AnOutputPipeHeldOutsideTheJobIsCancelled) {
  struct Case {
    const char* name;
    std::function<void(FakeLauncher&)> setup;
    std::string chain;
  };
  const Case cases[] = {
      {"the child exits, the pipe stays open: time-out", [](FakeLauncher&) {}, "SETUP_CHILD_TIMEOUT"},
      {"standard error over its limit meanwhile",
       [](FakeLauncher& l) { l.stderr_chunks = {Bytes(16'385, 'e')}; }, "SETUP_CHILD_OUTPUT_LIMIT"},
      {"the child exits 3 meanwhile", [](FakeLauncher& l) { l.exit_code = 3; }, "SETUP_CHILD_TIMEOUT"},
  };
  for (const Case& c : cases) {
    ChildRun t;
    t.launcher.stdout_chunks = {bytes("<Task")};
    t.launcher.outsider_holds = std::chrono::seconds(10);
    c.setup(t.launcher);
    auto out = t.go(std::chrono::milliseconds(50));
    ASSERT_FALSE(out) << c.name;
    EXPECT_EQ(out.error().display_chain(), c.chain) << c.name;
    EXPECT_TRUE(t.launcher.shared->read_cancelled) << c.name;
    EXPECT_EQ(t.launcher.job_calls.back(), "close") << c.name;
  }
}

// A child that neither the job nor the guard can end: the run still returns,
// its exit wait cancelled, rather than keep the loop waiting for the exit.
TEST(ChildRunner, AnUnkillableChildDoesNotHoldTheLoop) {
  ChildRun t;
  t.launcher.exit_code.reset();
  t.launcher.stdout_open_until_killed = true;
  t.launcher.job_terminate_error = 5;
  t.launcher.process_terminate_error = 5;
  EXPECT_EQ(code_of(t.go(std::chrono::milliseconds(20))), kSetupChildCleanupFailed);
  EXPECT_FALSE(t.launcher.terminated());
  EXPECT_TRUE(t.launcher.shared->waits_cancelled);
}

TEST(ChildRunner, TimeOuts) {
  {
    ChildRun t;  // never exits
    t.launcher.exit_code.reset();
    t.launcher.stdout_open_until_killed = true;
    auto out = t.go(std::chrono::milliseconds(50));
    EXPECT_EQ(code_of(out), kSetupChildTimeout);
    EXPECT_TRUE(t.launcher.terminated());
    EXPECT_EQ(t.launcher.job_calls.back(), "close");
  }
  {
    ChildRun t;  // exits 0, but a grandchild holds standard output open until the job ends
    t.launcher.stdout_open_until_killed = true;
    auto out = t.go(std::chrono::milliseconds(50));
    EXPECT_EQ(code_of(out), kSetupChildTimeout);
  }
}

TEST(ChildRunner, CleanUpFailuresOverrideEveryOutcome) {
  struct Case {
    const char* name;
    std::function<void(FakeLauncher&)> setup;
    int queries;
  };
  const Case cases[] = {
      {"job cannot be terminated", [](FakeLauncher& l) { l.job_terminate_error = 5; }, 0},
      {"job cannot be queried", [](FakeLauncher& l) { l.query_error = 6; }, 1},
      {"job cannot be closed", [](FakeLauncher& l) { l.close_error = 6; }, 1},
      {"job never empties", [](FakeLauncher& l) { l.active_answers = {1}; }, 100},
      {"exit failure is overridden too",
       [](FakeLauncher& l) {
         l.exit_code = 1;
         l.active_answers = {1};
       },
       100},
  };
  for (const Case& c : cases) {
    ChildRun t;
    t.launcher.stdout_chunks = {bytes("fine")};
    c.setup(t.launcher);
    auto out = t.go();
    ASSERT_FALSE(out) << c.name;
    EXPECT_EQ(out.error().display_chain(), kSetupChildCleanupFailed) << c.name;
    EXPECT_EQ(out.error().find<ChildExit>(), nullptr) << c.name;
    EXPECT_EQ(t.launcher.job_queries, c.queries) << c.name;
  }
  // 99 busy answers and then an empty job: fine, after 99 pauses of 50 ms on the loop.
  ChildRun t;
  t.launcher.active_answers = std::vector<std::uint32_t>(99, 2);
  t.launcher.active_answers.push_back(0);
  ASSERT_TRUE(t.go());
  EXPECT_EQ(t.ticker.sleeps, std::vector<std::string>(99, "async 50ms"));
  // A job that cannot be ended leaves the child to the guard, which kills it.
  ChildRun g;
  g.launcher.exit_code.reset();
  g.launcher.stdout_open_until_killed = true;
  g.launcher.job_terminate_error = 5;
  EXPECT_EQ(code_of(g.go(std::chrono::milliseconds(20))), kSetupChildCleanupFailed);
  EXPECT_EQ(g.launcher.job_calls.back(), "terminate process 1");
  EXPECT_EQ(g.launcher.blocking_waits, 1);
}

TEST(ChildOutput, Decoding) {
  struct Case {
    const char* name;
    Bytes in;
    std::optional<std::string> out;  // nullopt: SETUP_CHILD_OUTPUT_INVALID
  };
  const Case cases[] = {
      {"empty", {}, ""},
      {"UTF-16 with its mark", {0xFF, 0xFE, '<', 0, 'a', 0, '>', 0}, "<a>"},
      {"UTF-16 without a mark, starting with <", {'<', 0, '?', 0}, "<?"},
      {"UTF-16 mark alone", {0xFF, 0xFE}, ""},
      {"UTF-16 mark and three bytes", {0xFF, 0xFE, 'a', 0, 'b'}, std::nullopt},
      {"UTF-16 unpaired surrogate", {0xFF, 0xFE, 0x00, 0xD8, 'a', 0}, std::nullopt},
      {"UTF-16 pair", {0xFF, 0xFE, 0x3D, 0xD8, 0x00, 0xDE}, "\xF0\x9F\x98\x80"},
      {"UTF-8 with a mark", {0xEF, 0xBB, 0xBF, 'o', 'k'}, "ok"},
      {"UTF-8 stray 0xFF", {'a', 0xFF, 'b'}, "a\xEF\xBF\xBD" "b"},
      {"UTF-8 truncated sequence", {'a', 0xE2, 0x82}, "a\xEF\xBF\xBD"},
      {"UTF-8 encoded surrogate", {0xED, 0xA0, 0x80}, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"UTF-8 valid", {0xC3, 0xA9, '<'}, "\xC3\xA9<"},
      {"one byte <", {'<'}, "<"},
  };
  for (const Case& c : cases) {
    auto out = decode_child_output(c.in);
    if (c.out) {
      ASSERT_TRUE(out) << c.name;
      EXPECT_EQ(*out, *c.out) << c.name;
    } else {
      ASSERT_FALSE(out) << c.name;
      EXPECT_EQ(out.error().display_chain(), kSetupChildOutputInvalid) << c.name;
    }
  }
}

TEST(ChildOutput, CommandLineQuoting) {
  EXPECT_EQ(windows_command_line("C:\\a b\\t.exe", {"/TN", "", "a b", "x\"y", "tail\\", "q\\ z\\"}),
            "\"C:\\a b\\t.exe\" /TN \"\" \"a b\" \"x\\\"y\" tail\\ \"q\\ z\\\\\"");
}

}  // namespace
}  // namespace vor::setup
