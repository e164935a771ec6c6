// The session verbs of the real program under Wine: clients and hosts are
// real processes. A host started by `session-start` outlives the command, so
// every test that starts one ends it (`session-close`, or by its pid).
//
// `session-start` runs the program's own path through the state-path safety
// check, and Wine reports its Z: drive as a reparse point, so these tests run
// a copy of the program installed inside the prefix's drive C.
#include <gtest/gtest.h>

#include <filesystem>
#include <future>
#include <regex>
#include <thread>
#include <string>
#include <vector>

#include "common/json.h"
#include "e2e.h"

namespace vor::e2e {
namespace {

namespace fs = std::filesystem;

const std::string kNotRunning =
    "Start a session in the selected interactive Windows session, then read any uncertain operation by its original "
    "id before new input.";
const std::string kRequiresUserSession =
    "Start the module in the chosen logged-in interactive user's Windows session. SYSTEM startup is not supported for "
    "this reusable mode; do not change privileges or bypass session isolation.";
const std::string kMismatch = "Use the Windows session returned by session-start; no action was dispatched.";
const std::string kUnconfirmed =
    "Read session-status using the same state directory. Do not launch a duplicate session or replay input.";
const std::string kPeerNotAuthorized =
    "Run in your own interactive Windows session, or through an authorized LocalSystem command runner to select "
    "another user session.";
const std::string kDefault =
    "Check the exact operation/session and supported CLI options. Observe again before new input; do not replay an "
    "uncertain action.";

std::string closed_document(unsigned session) {
  return "{\"code\":\"DESKTOP_SESSION_CLOSED\",\"running\":false,\"schemaVersion\":\"vor.desktop-session/v1\","
         "\"sessionId\":" +
         std::to_string(session) + ",\"targetApplicationsClosed\":false}\n";
}

// The status document with its one varying member, the idle seconds left,
// replaced by what the host reported; that number is returned through `idle`.
std::string status_document(const std::string& printed, long* idle) {
  static const std::regex seconds("\"idleRemainingSeconds\":([0-9]+),");
  std::smatch m;
  *idle = std::regex_search(printed, m, seconds) ? std::stol(m[1]) : -1;
  return "{\"code\":\"DESKTOP_SESSION_READY\",\"fullscreenDiagnostic\":{\"active\":false,"
         "\"authorizationRestoredFromReceipt\":false,\"code\":\"DESKTOP_FULLSCREEN_UNSUPPORTED\",\"compiled\":false,"
         "\"schemaVersion\":\"vor.marionet-fullscreen/v1\",\"statusRenewsLease\":false,\"supported\":false},"
         "\"idleRemainingSeconds\":" +
         std::to_string(*idle) +
         ",\"idleTimeoutSeconds\":300,\"running\":true,\"schemaVersion\":\"vor.desktop-session/v1\",\"sessionId\":1,"
         "\"statusRenewsIdle\":false,\"targetApplicationsClosed\":false}\n";
}

void expect_status(const RunResult& r) {
  EXPECT_EQ(r.exit_code, 0) << r.out;
  long idle = -1;
  EXPECT_EQ(r.out, status_document(r.out, &idle));
  EXPECT_GE(idle, 270);
  EXPECT_LE(idle, 300);
}

RunResult marionet(const std::vector<std::string>& args) {
  static const std::string exe = install_in_drive_c("e2e-bin");
  return run_program(exe, args);
}

std::string owner_path(const PrefixDir& dir) { return dir.linux_path + "/VorDesktop-v1/session.owner"; }

// The host's pid from its owner record, 0 when there is none.
unsigned owner_pid(const PrefixDir& dir) {
  auto owner = json::parse(read_file(owner_path(dir)));
  if (!owner || owner->find("pid") == nullptr) return 0;
  return static_cast<unsigned>(*owner->find("pid")->as_unsigned());
}

std::string request_text(const std::string& operation_id, unsigned session, const std::string& action) {
  return "{\"protocol\":1,\"operationId\":\"" + operation_id + "\",\"sessionId\":" + std::to_string(session) +
         ",\"action\":" + action + "}";
}

// --- without a host ---

TEST(SessionVerbs, StatusWithoutAHostIsTheClosedDocument) {
  const PrefixDir dir = fresh_prefix_dir("session-none");
  // No state root at all: nothing is created.
  auto bare = marionet({"session-status", "--state-dir", dir.windows_path});
  EXPECT_EQ(bare.exit_code, 0);
  EXPECT_EQ(bare.out, closed_document(0));
  EXPECT_FALSE(fs::exists(dir.linux_path + "/VorDesktop-v1"));
  // A state root without a record (a one-shot verb made it).
  marionet({"status", "--operation-id", "op-x", "--state-dir", dir.windows_path});
  ASSERT_TRUE(fs::is_directory(dir.linux_path + "/VorDesktop-v1"));
  auto rooted = marionet({"session-status", "--state-dir", dir.windows_path});
  EXPECT_EQ(rooted.exit_code, 0);
  EXPECT_EQ(rooted.out, closed_document(0));
}

TEST(SessionVerbs, VerbsThatNeedAHostFailWithoutOne) {
  const PrefixDir dir = fresh_prefix_dir("session-nohost");
  write_file(dir.linux_path + "/request.json", request_text("op-1", 1, "{\"kind\":\"inspect\"}"));
  write_file(dir.linux_path + "/broken.json", "{\"protocol\":1,");
  struct Case {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"session-close", "--state-dir", dir.windows_path}, error_document("DESKTOP_SESSION_NOT_RUNNING", kNotRunning)},
      {{"session-operation-status", "--operation-id", "op-1", "--state-dir", dir.windows_path},
       error_document("DESKTOP_SESSION_NOT_RUNNING", kNotRunning)},
      {{"session-image-export", "--operation-id", "op-1", "--state-dir", dir.windows_path},
       error_document("DESKTOP_SESSION_NOT_RUNNING", kNotRunning)},
      {{"session-reconcile", "--operation-id", "op-1", "--observation-id", "op-2", "--state-dir", dir.windows_path},
       error_document("DESKTOP_SESSION_NOT_RUNNING", kNotRunning)},
      // A decoded request names its operation in the document.
      {{"session-execute", "--request", dir.windows_path + "\\request.json", "--state-dir", dir.windows_path},
       error_document("DESKTOP_SESSION_NOT_RUNNING", kNotRunning, "op-1")},
      {{"session-execute", "--request", dir.windows_path + "\\broken.json", "--state-dir", dir.windows_path},
       error_document("DESKTOP_REQUEST_INVALID", kDefault)},
      // Starting a host of another session is refused before anything runs.
      {{"session-start", "--session-id", "2", "--state-dir", dir.windows_path},
       error_document("DESKTOP_SESSION_START_REQUIRES_USER_SESSION", kRequiresUserSession)},
  };
  for (const Case& c : cases) {
    auto r = marionet(c.args);
    EXPECT_EQ(r.exit_code, 1) << c.args[0];
    EXPECT_EQ(r.out, c.out) << c.args[0];
  }
  EXPECT_FALSE(fs::exists(owner_path(dir)));
}

// --- with a host ---

// Ends the host of `dir` on every path of a test.
struct HostCleanup {
  const PrefixDir& dir;
  ~HostCleanup() {
    if (fs::exists(owner_path(dir))) marionet({"session-close", "--state-dir", dir.windows_path});
  }
};

RunResult kill_process(unsigned pid) { return run_program("taskkill", {"/f", "/pid", std::to_string(pid)}); }

TEST(SessionHostE2e, StartFindsTheSameHostAndCloseEndsIt) {
  const PrefixDir dir = fresh_prefix_dir("session-start");
  HostCleanup cleanup{dir};
  auto started = marionet({"session-start", "--session-id", "1", "--state-dir", dir.windows_path});
  expect_status(started);
  const unsigned pid = owner_pid(dir);
  ASSERT_NE(pid, 0u);
  const std::string record = read_file(owner_path(dir));

  // A second start finds the running host: nothing new is started.
  expect_status(marionet({"session-start", "--session-id", "1", "--state-dir", dir.windows_path}));
  EXPECT_EQ(read_file(owner_path(dir)), record);
  expect_status(marionet({"session-status", "--state-dir", dir.windows_path}));
  // A host of session 1 is no host for session 2.
  auto other = marionet({"session-start", "--session-id", "2", "--state-dir", dir.windows_path});
  EXPECT_EQ(other.exit_code, 1);
  EXPECT_EQ(other.out, error_document("DESKTOP_SESSION_MISMATCH", kMismatch));
  EXPECT_EQ(read_file(owner_path(dir)), record);

  auto closed = marionet({"session-close", "--state-dir", dir.windows_path});
  EXPECT_EQ(closed.exit_code, 0);
  EXPECT_EQ(closed.out, closed_document(1));
  EXPECT_FALSE(fs::exists(owner_path(dir)));
  auto after = marionet({"session-status", "--state-dir", dir.windows_path});
  EXPECT_EQ(after.out, closed_document(0));
}

TEST(SessionHostE2e, AKilledHostLeavesItsRecordAndANewStartReplacesIt) {
  const PrefixDir dir = fresh_prefix_dir("session-killed");
  HostCleanup cleanup{dir};
  expect_status(marionet({"session-start", "--session-id", "1", "--state-dir", dir.windows_path}));
  const unsigned pid = owner_pid(dir);
  ASSERT_NE(pid, 0u);
  auto killed = kill_process(pid);
  ASSERT_EQ(killed.exit_code, 0) << "pid " << pid << ": " << killed.out << killed.err;

  // The record stays behind; its dead process makes it a closed session.
  for (const char* verb : {"session-status", "session-close"}) {
    auto r = marionet({verb, "--state-dir", dir.windows_path});
    EXPECT_EQ(r.exit_code, 0) << verb;
    EXPECT_EQ(r.out, closed_document(1)) << verb;
  }
  EXPECT_TRUE(fs::exists(owner_path(dir)));
  expect_status(marionet({"session-start", "--session-id", "1", "--state-dir", dir.windows_path}));
  EXPECT_NE(owner_pid(dir), pid);
}

TEST(SessionHostE2e, RequestsTheClientRefusesNeverReachTheHost) {
  const PrefixDir dir = fresh_prefix_dir("session-refused");
  HostCleanup cleanup{dir};
  expect_status(marionet({"session-start", "--session-id", "1", "--state-dir", dir.windows_path}));
  write_file(dir.linux_path + "/other.json", request_text("op-other", 2, "{\"kind\":\"inspect\"}"));
  write_file(dir.linux_path + "/broken.json", "not json");
  auto other = marionet({"session-execute", "--request", dir.windows_path + "\\other.json", "--state-dir",
                         dir.windows_path});
  EXPECT_EQ(other.exit_code, 1);
  EXPECT_EQ(other.out, error_document("DESKTOP_SESSION_MISMATCH", kMismatch, "op-other"));
  auto broken = marionet({"session-execute", "--request", dir.windows_path + "\\broken.json", "--state-dir",
                          dir.windows_path});
  EXPECT_EQ(broken.exit_code, 1);
  EXPECT_EQ(broken.out, error_document("DESKTOP_REQUEST_INVALID", kDefault));

  // A copy of the program at another path is not this host's client (nor
  // is the host its server), though the pipe's access list admits it.
  const std::string copy = install_in_drive_c("e2e-copy");
  auto foreign = run_program(copy, {"session-status", "--state-dir", dir.windows_path});
  EXPECT_EQ(foreign.exit_code, 1);
  EXPECT_EQ(foreign.out, error_document("DESKTOP_PEER_NOT_AUTHORIZED", kPeerNotAuthorized));
  // The host is unaffected.
  expect_status(marionet({"session-status", "--state-dir", dir.windows_path}));
}

TEST(SessionHostE2e, ForwardedVerbsPrintTheHostsAnswer) {
  const PrefixDir dir = fresh_prefix_dir("session-forward");
  HostCleanup cleanup{dir};
  expect_status(marionet({"session-start", "--session-id", "1", "--state-dir", dir.windows_path}));
  // The host runs the one-shot verbs' work: no receipt exists for the id.
  struct Case {
    std::vector<std::string> args;
    std::string out;
  } cases[] = {
      {{"session-operation-status", "--operation-id", "op-none", "--state-dir", dir.windows_path},
       error_document("DESKTOP_FILE_UNAVAILABLE", kDefault, "op-none")},
      {{"session-image-export", "--operation-id", "op-none", "--state-dir", dir.windows_path},
       error_document("DESKTOP_FILE_UNAVAILABLE", kDefault)},
      {{"session-reconcile", "--operation-id", "op-none", "--observation-id", "op-look", "--state-dir",
        dir.windows_path},
       error_document("DESKTOP_FILE_UNAVAILABLE", kDefault, "op-none")},
  };
  for (const Case& c : cases) {
    auto r = marionet(c.args);
    EXPECT_EQ(r.exit_code, 1) << c.args[0];
    EXPECT_EQ(r.out, c.out) << c.args[0];
  }
  expect_status(marionet({"session-status", "--state-dir", dir.windows_path}));
}

TEST(SessionHostE2e, SeveralClientsAtOnceAreServedOneAfterAnother) {
  const PrefixDir dir = fresh_prefix_dir("session-many");
  HostCleanup cleanup{dir};
  expect_status(marionet({"session-start", "--session-id", "1", "--state-dir", dir.windows_path}));
  std::vector<std::future<RunResult>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::async(std::launch::async, [&] {
      return marionet({"session-status", "--state-dir", dir.windows_path});
    }));
  }
  for (auto& client : clients) expect_status(client.get());
}

TEST(SessionHostE2e, TwoStartsAtOnceLeaveOneHost) {
  const PrefixDir dir = fresh_prefix_dir("session-race");
  HostCleanup cleanup{dir};
  EXPECT_EQ(marionet({"session-status", "--state-dir", dir.windows_path}).out, closed_document(0));
  auto a = std::async(std::launch::async,
                      [&] { return marionet({"session-start", "--session-id", "1", "--state-dir", dir.windows_path}); });
  auto b = std::async(std::launch::async,
                      [&] { return marionet({"session-start", "--session-id", "1", "--state-dir", dir.windows_path}); });
  const RunResult first = a.get();
  const RunResult second = b.get();
  // At least one confirms; a start whose own host lost the state directory
  // before the winner's record appeared is unconfirmed.
  int confirmed = 0;
  for (const RunResult* r : {&first, &second}) {
    if (r->exit_code == 0) {
      expect_status(*r);
      ++confirmed;
    } else {
      EXPECT_EQ(r->out, error_document("DESKTOP_SESSION_START_UNCONFIRMED", kUnconfirmed));
    }
  }
  EXPECT_GE(confirmed, 1);
  const unsigned pid = owner_pid(dir);
  ASSERT_NE(pid, 0u);
  // The one host left is the record's: once it is closed no other host
  // holds the state directory, so a new start gets it at once.
  auto closed = marionet({"session-close", "--state-dir", dir.windows_path});
  EXPECT_EQ(closed.out, closed_document(1));
  expect_status(marionet({"session-start", "--session-id", "1", "--state-dir", dir.windows_path}));
  EXPECT_NE(owner_pid(dir), pid);
}

TEST(SessionHostE2e, AHostThatCannotTakeTheStoreIsUnconfirmedAtOnce) {
  const PrefixDir dir = fresh_prefix_dir("session-gate");
  // The root must exist for the gate to be held in it.
  marionet({"status", "--operation-id", "op-x", "--state-dir", dir.windows_path});
  const std::string ready = dir.linux_path + "/ready";
  const std::string release = dir.linux_path + "/release";
  auto holder = std::async(std::launch::async, [&] {
    return run_program(program_path("state_gate_holder.exe"),
                    {dir.windows_path + "\\VorDesktop-v1\\.gate", dir.windows_path + "\\ready",
                     dir.windows_path + "\\release"});
  });
  for (int i = 0; i < 500 && !fs::exists(ready); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(fs::exists(ready));
  const auto begin = std::chrono::steady_clock::now();
  auto r = marionet({"session-start", "--session-id", "1", "--state-dir", dir.windows_path});
  const auto took = std::chrono::steady_clock::now() - begin;
  write_file(release, "");
  EXPECT_EQ(holder.get().exit_code, 0);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, error_document("DESKTOP_SESSION_START_UNCONFIRMED", kUnconfirmed));
  EXPECT_LT(took, std::chrono::seconds(6));
  EXPECT_FALSE(fs::exists(owner_path(dir)));
}

}  // namespace
}  // namespace vor::e2e
