// The session verbs of the real program under Wine: clients and hosts are
// real processes. A host started by `session-start` outlives the command, so
// every test that starts one ends it (`session-close`, or by its pid).
//
// `session-start` runs the program's own path through the state-path safety
// check, and Wine reports its Z: drive as a reparse point, so these tests run
// a copy of the program installed inside the prefix's drive C.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <future>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "common/crypto.h"
#include "common/json.h"
#include "desktop/tests/capture_dxgi/png_read.h"
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

RunResult kill_process(unsigned pid) { return run_program("taskkill", {"/f", "/pid", std::to_string(pid)}); }

// Ends the host of `dir` on every path of a test: `session-close`, and its
// pid from the owner record when the close fails.
struct HostCleanup {
  const PrefixDir& dir;
  ~HostCleanup() {
    if (!fs::exists(owner_path(dir))) return;
    const unsigned pid = owner_pid(dir);
    auto closed = marionet({"session-close", "--state-dir", dir.windows_path});
    if (closed.exit_code != 0 && pid != 0) kill_process(pid);
  }
};

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

// --- a real sequence on the test application ---

// The project's test application, started from drive C for one test and
// ended by its pid. Its log names its window and pid ("ready <window> <pid>")
// and every text its single-line edit holds after a change ("single: <text>").
class TestApplication {
 public:
  explicit TestApplication(const PrefixDir& dir) : log_path_(dir.linux_path + "/controls.log") {
    fs::copy_file(program_path("test_controls.exe"), dir.linux_path + "/test_controls.exe");
    running_ = std::async(std::launch::async, [exe = dir.windows_path + "\\test_controls.exe",
                                               log = dir.windows_path + "\\controls.log"] {
      return run_program(exe, {"--log", log});
    });
    static const std::regex ready("^ready ([0-9]+) ([0-9]+)\r\n");
    for (int i = 0; i < 1000 && pid_ == 0; ++i) {
      std::smatch m;
      const std::string text = log();
      if (std::regex_search(text, m, ready)) {
        window_ = std::stoull(m[1]);
        pid_ = static_cast<unsigned>(std::stoul(m[2]));
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }
  // Ends the application by its pid; the runner's future then waits for its end.
  ~TestApplication() {
    if (pid_ != 0) kill_process(pid_);
  }

  std::uint64_t window() const { return window_; }
  unsigned pid() const { return pid_; }
  std::string log() const { return read_file(log_path_); }

  // Whether the log gets this line within 5 seconds.
  bool wait_for_line(const std::string& line) const {
    for (int i = 0; i < 500; ++i) {
      if (log().find("\n" + line + "\r\n") != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

 private:
  std::string log_path_;
  std::future<RunResult> running_;
  std::uint64_t window_ = 0;
  unsigned pid_ = 0;
};

json::Value document_of(const RunResult& r) {
  auto doc = json::parse(r.out);
  if (!doc) {
    ADD_FAILURE() << "not one JSON document: " << r.out << r.err;
    return json::Value();
  }
  return std::move(*doc);
}

// The member at `path` inside `doc`, or nullptr.
const json::Value* member(const json::Value& doc, std::initializer_list<std::string_view> path) {
  const json::Value* v = &doc;
  for (std::string_view key : path) {
    if (v == nullptr) return nullptr;
    v = v->find(key);
  }
  return v;
}

std::string text_at(const json::Value& doc, std::initializer_list<std::string_view> path) {
  const json::Value* v = member(doc, path);
  return v != nullptr && v->as_string() != nullptr ? *v->as_string() : "<missing>";
}

// "true", "false" or "<missing>".
std::string bool_at(const json::Value& doc, std::initializer_list<std::string_view> path) {
  const json::Value* v = member(doc, path);
  return v != nullptr && v->as_bool() != nullptr ? (*v->as_bool() ? "true" : "false") : "<missing>";
}

std::uint64_t number_at(const json::Value& doc, std::initializer_list<std::string_view> path) {
  const json::Value* v = member(doc, path);
  return v != nullptr && v->as_unsigned() != nullptr ? *v->as_unsigned() : ~std::uint64_t{0};
}

// The application's window in a document's `result.windows`, or nullptr.
const json::Value* window_in(const json::Value& doc, const TestApplication& app) {
  const json::Value* windows = member(doc, {"result", "windows"});
  if (windows == nullptr || windows->as_array() == nullptr) return nullptr;
  for (const json::Value& w : *windows->as_array()) {
    if (text_at(w, {"handle"}) == std::to_string(app.window())) return &w;
  }
  return nullptr;
}

// The Linux path of a path inside the prefix's drive C.
std::string linux_path_of(const std::string& windows_path) {
  if (windows_path.rfind("C:\\", 0) != 0) return {};
  std::string rest = windows_path.substr(3);
  for (char& c : rest) {
    if (c == '\\') c = '/';
  }
  return drive_c() + "/" + rest;
}

TEST(SessionHostE2e, ExecuteRunsARealSequenceOnTheTestApplication) {
  const PrefixDir dir = fresh_prefix_dir("session-app");
  TestApplication app(dir);
  ASSERT_NE(app.pid(), 0u) << "the test application did not announce itself: " << app.log();
  HostCleanup cleanup{dir};
  expect_status(marionet({"session-start", "--session-id", "1", "--state-dir", dir.windows_path}));

  // Each step acts on the application's window as an earlier step observed it.
  struct Step {
    const char* id;
    const char* kind;
    const char* observed_by;  // the step whose answer names the window; nullptr: none needed
    const char* text;
    const char* result_code;
    bool mutating;
  };
  const Step steps[] = {
      {"app-inspect", "inspect", nullptr, nullptr, "DESKTOP_OBSERVED", false},
      {"app-focus", "focus", "app-inspect", nullptr, "DESKTOP_FOCUS_ACCEPTED", true},
      {"app-observe", "inspect", nullptr, nullptr, "DESKTOP_OBSERVED", false},
      {"app-type", "type", "app-observe", "Hello from Vor", "DESKTOP_INPUT_ACCEPTED", true},
      {"app-capture", "capture", "app-observe", nullptr, "DESKTOP_OBSERVED", false},
  };
  std::map<std::string, json::Value> answers;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.id);
    json::Object action = {{"kind", step.kind}};
    if (step.observed_by != nullptr) {
      const json::Value* target = window_in(answers[step.observed_by], app);
      ASSERT_NE(target, nullptr);
      action.push_back({"window", *target});
    }
    if (step.text != nullptr) action.push_back({"text", step.text});
    write_file(dir.linux_path + "/" + step.id + ".json",
               request_text(step.id, 1, json::to_string(json::Value(std::move(action)))));
    auto r = marionet({"session-execute", "--request", dir.windows_path + "\\" + step.id + ".json", "--state-dir",
                       dir.windows_path});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    json::Value doc = document_of(r);
    EXPECT_EQ(text_at(doc, {"code"}), "DESKTOP_OPERATION_FINISHED");
    EXPECT_EQ(text_at(doc, {"phase"}), "finished");
    EXPECT_EQ(text_at(doc, {"operationId"}), step.id);
    EXPECT_EQ(number_at(doc, {"sessionId"}), 1u);
    EXPECT_EQ(bool_at(doc, {"mutating"}), step.mutating ? "true" : "false");
    ASSERT_EQ(text_at(doc, {"result", "code"}), step.result_code) << r.out;
    EXPECT_EQ(text_at(doc, {"result", "operationId"}), step.id);
    // The answer names the application's window, seen in its own process.
    const json::Value* seen = window_in(doc, app);
    ASSERT_NE(seen, nullptr) << r.out;
    EXPECT_EQ(number_at(*seen, {"processId"}), app.pid());
    EXPECT_EQ(text_at(*seen, {"title"}), "Vor test controls");
    if (step.observed_by != nullptr) {
      EXPECT_EQ(bool_at(*seen, {"foreground"}), "true");
    }
    answers[step.id] = std::move(doc);
  }
  // The window hands its focus to its single-line edit, where the text arrived.
  EXPECT_TRUE(app.wait_for_line("single: Hello from Vor")) << app.log();

  // The same type request again is answered from its receipt; nothing is typed twice.
  auto replay = marionet({"session-execute", "--request", dir.windows_path + "\\app-type.json", "--state-dir",
                          dir.windows_path});
  ASSERT_EQ(replay.exit_code, 0) << replay.out << replay.err;
  const json::Value replayed = document_of(replay);
  EXPECT_EQ(text_at(replayed, {"code"}), "DESKTOP_OPERATION_FINISHED");
  EXPECT_EQ(text_at(replayed, {"operationId"}), "app-type");
  EXPECT_EQ(text_at(replayed, {"result", "code"}), "DESKTOP_INPUT_ACCEPTED");
  EXPECT_EQ(text_at(replayed, {"createdAt"}), text_at(answers["app-type"], {"createdAt"}));
  EXPECT_EQ(text_at(replayed, {"finishedAt"}), text_at(answers["app-type"], {"finishedAt"}));

  // The capture is the window's rectangle, kept as a protected image.
  const json::Value& capture = answers["app-capture"];
  const json::Value& observed = *window_in(answers["app-observe"], app);
  const std::uint64_t width = number_at(observed, {"rect", "right"}) - number_at(observed, {"rect", "left"});
  const std::uint64_t height = number_at(observed, {"rect", "bottom"}) - number_at(observed, {"rect", "top"});
  EXPECT_EQ(number_at(capture, {"result", "imageWidth"}), width);
  EXPECT_EQ(number_at(capture, {"result", "imageHeight"}), height);
  EXPECT_EQ(member(capture, {"result", "pngBase64"}), nullptr);
  const std::string stored = text_at(capture, {"image", "path"});
  const std::uint64_t bytes = number_at(capture, {"image", "bytes"});
  const std::string sha = text_at(capture, {"image", "sha256"});
  EXPECT_EQ(text_at(capture, {"image", "mimeType"}), "image/png");
  EXPECT_EQ(text_at(capture, {"image", "protection"}), "windows_dpapi_machine_v1");
  ASSERT_TRUE(fs::is_regular_file(linux_path_of(stored))) << stored;
  // Protected: not the PNG itself.
  EXPECT_NE(read_file(linux_path_of(stored)).rfind("\x89PNG", 0), 0u);

  // The export writes the PNG that the receipt describes.
  auto exported = marionet({"session-image-export", "--operation-id", "app-capture", "--state-dir", dir.windows_path});
  ASSERT_EQ(exported.exit_code, 0) << exported.out << exported.err;
  const json::Value export_doc = document_of(exported);
  EXPECT_EQ(text_at(export_doc, {"code"}), "DESKTOP_IMAGE_EXPORTED");
  EXPECT_EQ(text_at(export_doc, {"operationId"}), "app-capture");
  EXPECT_EQ(number_at(export_doc, {"sessionId"}), 1u);
  EXPECT_EQ(number_at(export_doc, {"image", "bytes"}), bytes);
  EXPECT_EQ(text_at(export_doc, {"image", "sha256"}), sha);
  const std::string png_path = linux_path_of(text_at(export_doc, {"image", "path"}));
  const std::string png = read_file(png_path);
  EXPECT_EQ(png.size(), bytes) << png_path;
  auto digest = sha256(png);
  ASSERT_TRUE(digest);
  EXPECT_EQ(to_hex(*digest), sha);
  auto decoded = desktop::testing::read_png(std::vector<std::uint8_t>(png.begin(), png.end()));
  ASSERT_TRUE(decoded) << "not a PNG this reader decodes: " << png_path;
  EXPECT_EQ(decoded->width, width);
  EXPECT_EQ(decoded->height, height);

  // The status of each operation is its receipt: the type's result without
  // an image, the capture's with the same image.
  struct StatusCase {
    const char* id;
    const char* result_code;
    bool mutating;
    bool image;
  } statuses[] = {
      {"app-type", "DESKTOP_INPUT_ACCEPTED", true, false},
      {"app-capture", "DESKTOP_OBSERVED", false, true},
  };
  for (const StatusCase& c : statuses) {
    SCOPED_TRACE(c.id);
    auto r = marionet({"session-operation-status", "--operation-id", c.id, "--state-dir", dir.windows_path});
    ASSERT_EQ(r.exit_code, 0) << r.out << r.err;
    const json::Value doc = document_of(r);
    EXPECT_EQ(text_at(doc, {"code"}), "DESKTOP_OPERATION_FINISHED");
    EXPECT_EQ(text_at(doc, {"phase"}), "finished");
    EXPECT_EQ(text_at(doc, {"operationId"}), c.id);
    EXPECT_EQ(bool_at(doc, {"mutating"}), c.mutating ? "true" : "false");
    EXPECT_EQ(text_at(doc, {"result", "code"}), c.result_code);
    EXPECT_EQ(text_at(doc, {"result", "operationId"}), c.id);
    if (c.image) {
      EXPECT_EQ(text_at(doc, {"image", "path"}), stored);
      EXPECT_EQ(text_at(doc, {"image", "sha256"}), sha);
      EXPECT_EQ(number_at(doc, {"image", "bytes"}), bytes);
    } else {
      ASSERT_NE(member(doc, {"image"}), nullptr);
      EXPECT_TRUE(member(doc, {"image"})->is_null());
    }
  }
  expect_status(marionet({"session-status", "--state-dir", dir.windows_path}));

  // Closing ends the host and removes every image, the exported copy too.
  auto closed = marionet({"session-close", "--state-dir", dir.windows_path});
  EXPECT_EQ(closed.exit_code, 0);
  EXPECT_EQ(closed.out, closed_document(1));
  EXPECT_FALSE(fs::exists(owner_path(dir)));
  EXPECT_FALSE(fs::exists(linux_path_of(stored)));
  EXPECT_FALSE(fs::exists(png_path));
  EXPECT_EQ(app.log().find("single: Hello from VorH"), std::string::npos) << app.log();
}

}  // namespace
}  // namespace vor::e2e
