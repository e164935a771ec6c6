// The session verbs of the real program under Wine: clients and hosts are
// real processes. A host started by `session-start` outlives the command, so
// every test that starts one ends it (`session-close`, or by its pid).
//
// `session-start` runs the program's own path through the state-path safety
// check, and Wine reports its Z: drive as a reparse point, so these tests run
// a copy of the program installed inside the prefix's drive C.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
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

std::string error_document(const std::string& code, const std::string& sentence, const char* operation_id = nullptr) {
  const std::string op = operation_id ? "\"" + std::string(operation_id) + "\"" : "null";
  return "{\"code\":\"" + code + "\",\"nextSafeAction\":\"" + sentence + "\",\"operationId\":" + op +
         ",\"retryable\":false,\"schemaVersion\":\"vor.desktop-cli/v1\"}\n";
}

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

// The program, installed once per run inside drive C.
std::string installed(const std::string& folder = "e2e-bin") {
  const fs::path dir = fs::path(drive_c()) / folder;
  fs::create_directories(dir);
  const fs::path exe = dir / "Vor.Marionet.exe";
  fs::copy_file(program_path("Vor.Marionet.exe"), exe, fs::copy_options::overwrite_existing);
  return exe.string();
}

RunResult marionet(const std::vector<std::string>& args) {
  static const std::string exe = installed();
  return run_path(exe, args);
}

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string owner_path(const PrefixDir& dir) { return dir.linux_path + "/VorDesktop-v1/session.owner"; }

// The host's pid from its owner record, 0 when there is none.
unsigned owner_pid(const PrefixDir& dir) {
  auto owner = json::parse(read_text(owner_path(dir)));
  if (!owner || owner->find("pid") == nullptr) return 0;
  return static_cast<unsigned>(*owner->find("pid")->as_unsigned());
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
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

}  // namespace
}  // namespace vor::e2e
