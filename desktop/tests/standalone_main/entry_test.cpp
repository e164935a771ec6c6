#include "standalone_main/entry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <type_traits>

namespace vor::desktop {
namespace {

// Scripted services: each runner returns what the case sets and records
// whether it ran; stdout is collected.
struct Script {
  Result<CliDocument> one_shot = json::Object{};
  Result<CliDocument> session = json::Object{};
  Status worker = {};
  bool watchdog_starts = true;

  std::string out;
  int writes = 0;
  std::optional<std::chrono::steady_clock::duration> watchdog_duration;
  bool worker_ran = false;

  EntryServices services() {
    EntryServices s;
    s.run_one_shot = [this](const OneShotCommand&) { return one_shot; };
    s.run_session = [this](const SessionCommand&) { return session; };
    s.run_worker = [this](std::span<const Argument>) {
      worker_ran = true;
      return worker;
    };
    s.write_stdout = [this](std::string_view line) {
      out += line;
      ++writes;
    };
    s.start_watchdog = [this](std::chrono::steady_clock::duration d) -> std::optional<LifetimeWatchdog> {
      watchdog_duration = d;
      if (!watchdog_starts) return std::nullopt;
      return LifetimeWatchdog::start(std::chrono::hours(1), [] {});
    };
    return s;
  }

  int run(std::initializer_list<const char*> words) {
    std::vector<Argument> args;
    for (const char* w : words) args.emplace_back(w);
    auto s = services();
    return run_entry(args, s);
  }
};

const std::string kDefaultSentence =
    "Check the exact operation/session and supported CLI options. Observe again before new input; do not replay an "
    "uncertain action.";

std::string error_line(const std::string& code, const char* op) {
  return "{\"code\":\"" + code + "\",\"nextSafeAction\":\"" + kDefaultSentence + "\",\"operationId\":" +
         (op ? "\"" + std::string(op) + "\"" : std::string("null")) +
         ",\"retryable\":false,\"schemaVersion\":\"vor.desktop-cli/v1\"}\n";
}

TEST(Entry, NoArgumentsStartsNothingAndPrintsNothing) {
  Script s;
  EXPECT_EQ(s.run({}), 0);
  EXPECT_EQ(s.writes, 0);
  EXPECT_FALSE(s.watchdog_duration);
}

TEST(Entry, WatchdogDeadlinePerRole) {
  Script worker;
  EXPECT_EQ(worker.run({"worker", "--pipe"}), 0);
  EXPECT_EQ(worker.watchdog_duration, std::chrono::steady_clock::duration(kWorkerLifetime));
  EXPECT_EQ(worker.writes, 0);

  Script invalid;
  EXPECT_EQ(invalid.run({"status"}), 64);
  EXPECT_EQ(invalid.watchdog_duration, std::chrono::steady_clock::duration(kCommandLifetime));

  Script host;
  host.run({"session-host", "--state-dir", "C:\\s", "--session-id", "1"});
  EXPECT_FALSE(host.watchdog_duration);
}

TEST(Entry, WatchdogThatCannotStartExits64Silently) {
  Script s;
  s.watchdog_starts = false;
  EXPECT_EQ(s.run({"help"}), 64);
  EXPECT_EQ(s.writes, 0);
}

TEST(Entry, WorkerFailureExits64WithoutOutput) {
  Script s;
  s.worker = fail("DESKTOP_PEER_NOT_AUTHORIZED");
  EXPECT_EQ(s.run({"worker"}), 64);
  EXPECT_TRUE(s.worker_ran);
  EXPECT_EQ(s.writes, 0);
}

TEST(Entry, FailedWorkNamesTheOperationOnlyForStatusAndReconcile) {
  struct Case {
    std::initializer_list<const char*> args;
    const char* op;
  };
  const Case cases[] = {
      {{"status", "--operation-id", "op-1", "--state-dir", "C:\\s"}, "op-1"},
      {{"reconcile", "--operation-id", "op-2", "--observation-id", "o", "--state-dir", "C:\\s"}, "op-2"},
      {{"image-export", "--operation-id", "op-3", "--state-dir", "C:\\s"}, nullptr},
      {{"session-operation-status", "--operation-id", "op-4", "--state-dir", "C:\\s"}, nullptr},
  };
  for (const auto& c : cases) {
    Script s;
    s.one_shot = fail(Error::os(5).context("DESKTOP_FILE_TOO_LARGE: 20000 bytes"));
    s.session = fail(Error("DESKTOP_FILE_TOO_LARGE"));
    EXPECT_EQ(s.run(c.args), 1);
    EXPECT_EQ(s.out, error_line("DESKTOP_FILE_TOO_LARGE", c.op));
    EXPECT_EQ(s.writes, 1);
  }
}

CliDocument with_member(CliDocument doc, const char* key) {
  doc.as_object()->push_back(json::Member{key, 5});
  return doc;
}

TEST(Entry, ExitCodeOfPrintedDocuments) {
  struct Case {
    const char* name;
    CliDocument doc;
    int one_shot_code;
    int session_code;
  };
  const Case cases[] = {
      {"ready false", json::Object{{"ready", false}, {"code", "X"}}, 1, 0},
      {"ready true", json::Object{{"ready", true}}, 0, 0},
      {"ready not boolean", json::Object{{"ready", "false"}}, 0, 0},
      {"no ready", json::Object{{"code", "DESKTOP_SESSIONS"}}, 0, 0},
      {"error document", error_guidance("DESKTOP_OUTCOME_UNKNOWN", std::string("op")), 1, 1},
      {"error document with its OS error", with_member(error_guidance("DESKTOP_PEER_NOT_AUTHORIZED", {}), "win32Error"), 1, 1},
      {"six members, one of them foreign", with_member(error_guidance("DESKTOP_X", {}), "extra"), 0, 0},
  };
  for (const auto& c : cases) {
    Script s;
    s.one_shot = c.doc;
    s.session = c.doc;
    EXPECT_EQ(s.run({"probe", "--session-id", "1"}), c.one_shot_code) << c.name;
    EXPECT_EQ(s.run({"session-status", "--state-dir", "C:\\s"}), c.session_code) << c.name;
    EXPECT_EQ(s.writes, 2) << c.name;
  }
}

TEST(Entry, WindowIdentifiersArePrintedAsDecimalText) {
  Script s;
  using O = json::Object;
  s.one_shot = O{
      {"windows", json::Array{O{{"handle", 5}}}},
      {"result", O{{"windows", json::Array{O{{"title", "a"}, {"handle", 18446744073709551615ull}, {"processCreated", 133}},
                                            O{{"handle", -1}, {"processCreated", "7"}}}}}},
  };
  EXPECT_EQ(s.run({"status", "--operation-id", "o", "--state-dir", "C:\\s"}), 0);
  EXPECT_EQ(s.out,
            "{\"result\":{\"windows\":[{\"handle\":\"18446744073709551615\",\"processCreated\":\"133\",\"title\":\"a\"},"
            "{\"handle\":-1,\"processCreated\":\"7\"}]},\"windows\":[{\"handle\":5}]}\n");
}

TEST(CliDocuments, EscapingOfPrintedText) {
  EXPECT_EQ(print_line(json::Object{{"t", "\x1b/\xC3\xA9\"\\\n\x7f"}, {"b", 1}}),
            "{\"b\":1,\"t\":\"\\u001b/\xC3\xA9\\\"\\\\\\n\x7f\"}\n");
  // Text that is not UTF-8 never produces broken JSON.
  EXPECT_EQ(print_line(json::Object{{"t", json::Array{"\xFF"}}}), error_line("DESKTOP_OPERATION_FAILED", nullptr));
}

TEST(LifetimeWatchdog, SignalEndsQuietlyAndDeadlineTerminates) {
  WatchdogChannel quiet;
  quiet.signalled = true;
  bool terminated = false;
  run_worker_watchdog(quiet, std::chrono::hours(1), [&] { terminated = true; });
  EXPECT_FALSE(terminated);

  WatchdogChannel late;
  run_worker_watchdog(late, std::chrono::milliseconds(1), [&] { terminated = true; });
  EXPECT_TRUE(terminated);

  // A duration beyond the clock's range waits for the signal instead of overflowing.
  WatchdogChannel huge;
  huge.signalled = true;
  terminated = false;
  run_worker_watchdog(huge, std::chrono::steady_clock::duration::max(), [&] { terminated = true; });
  EXPECT_FALSE(terminated);
}

TEST(LifetimeWatchdog, DroppingTheOwnerReleasesTheThread) {
  std::atomic<bool> terminated = false;
  {
    auto owner = LifetimeWatchdog::start(std::chrono::hours(1), [&] { terminated = true; });
    ASSERT_TRUE(owner);
  }
  EXPECT_FALSE(terminated);
}

// Assigning over an owner would drop a joinable thread (std::terminate), so
// an owner can only be moved into a new one; the moved-from owner then owns
// nothing and the new one ends the thread quietly.
static_assert(!std::is_move_assignable_v<LifetimeWatchdog> && !std::is_copy_assignable_v<LifetimeWatchdog>);
TEST(LifetimeWatchdog, AMovedOwnerReleasesTheThreadOnce) {
  std::atomic<bool> terminated = false;
  {
    auto owner = LifetimeWatchdog::start(std::chrono::hours(1), [&] { terminated = true; });
    ASSERT_TRUE(owner);
    std::optional<LifetimeWatchdog> moved(std::move(*owner));
  }
  EXPECT_FALSE(terminated);
}

}  // namespace
}  // namespace vor::desktop
