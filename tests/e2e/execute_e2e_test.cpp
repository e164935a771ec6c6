// The execute transaction of the real program under Wine (stand-in build),
// with `status`, `image-export` and `reconcile` on the receipts it leaves:
// replays answered from the receipt, a changed request under a known id,
// the input fence of an unsettled input, reconcile, the image lease and
// request files that are refused before anything is written.
//
// Every case works in a state directory of its own inside drive C (the
// program checks the request file and the state directory like state paths,
// and Wine reports its Z: drive as a reparse point). A case that needs a
// window starts its own test application with a title of its own and ends
// it by its process. Workers of one Windows session exclude each other (the
// input-owner mutex), so ctest runs these cases one after another.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/crypto.h"
#include "common/json.h"
#include "common/time.h"
#include "desktop/tests/capture_dxgi/png_read.h"
#include "e2e.h"

namespace vor::e2e {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

const std::string kDefault =
    "Check the exact operation/session and supported CLI options. Observe again before new input; do not replay an "
    "uncertain action.";
const std::string kConflict =
    "Keep the same operationId only for the exact original request. Use a new id for new intent.";
const std::string kFenced =
    "Read status of the returned operationId. Observe the same session with a new read-only request, verify the "
    "application's state, then explicitly reconcile. Do not repeat input.";
const std::string kUnsettledAction =
    "Observe and verify the same session, then explicitly reconcile; never replay input.";
const std::string kSettledAction =
    "Inspect the result; observe again to verify application effects. An expired image requires a new observation.";

// The program under test, installed once per test process inside drive C.
const std::string& installed(Build build = Build::kStandins) {
  static const std::string standins = install_in_drive_c("e2e-execute-bin");
  static const std::string release = install_in_drive_c("e2e-execute-release", "Vor.Marionet.exe", Build::kRelease);
  return build == Build::kStandins ? standins : release;
}

RunResult marionet(const std::vector<std::string>& args, Build build = Build::kStandins) {
  return run_program(installed(build), args);
}

// --- documents ---

json::Value document_of(const RunResult& r) {
  std::string_view text = r.out;
  EXPECT_TRUE(text.ends_with("\n")) << r.out;
  if (text.ends_with("\n")) text.remove_suffix(1);
  auto value = json::parse(text);
  EXPECT_TRUE(value) << "not one JSON document: " << r.out << r.err;
  return value ? std::move(*value) : json::Value();
}

// The member at `path`, or nullptr.
const json::Value* member(const json::Value& document, std::initializer_list<std::string_view> path) {
  const json::Value* at = &document;
  for (std::string_view key : path) {
    at = at->find(key);
    if (at == nullptr) return nullptr;
  }
  return at;
}

// The member at `path`, or null.
json::Value value_at(const json::Value& document, std::initializer_list<std::string_view> path) {
  const json::Value* at = member(document, path);
  return at ? *at : json::Value();
}

std::uint64_t unsigned_at(const json::Value& document, std::initializer_list<std::string_view> path) {
  const json::Value* at = member(document, path);
  EXPECT_TRUE(at && at->as_unsigned()) << json::to_string(document);
  return at && at->as_unsigned() ? *at->as_unsigned() : 0;
}

std::string text_at(const json::Value& document, std::initializer_list<std::string_view> path) {
  const json::Value* at = member(document, path);
  if (at == nullptr) return "<absent>";
  return at->as_string() ? *at->as_string() : "<" + json::to_string(*at) + ">";
}

// A printed answer as a replay prints it from the receipt, which keeps no
// window titles: every window titled `title` untitled.
std::string as_replayed(std::string printed, const std::string& title) {
  const std::string titled = "\"title\":\"" + title + "\"";
  EXPECT_NE(printed.find(titled), std::string::npos) << printed;
  for (auto at = printed.find(titled); at != std::string::npos; at = printed.find(titled, at)) {
    printed.replace(at, titled.size(), "\"title\":\"\"");
  }
  return printed;
}

// What an operation status document must say.
struct Expected {
  std::string operation_id;
  std::string phase;
  std::string code;
  bool mutating = false;
  std::optional<std::string> result_code;  // none: `result` is null
};

std::string next_safe_action_of(const std::string& phase) {
  return phase == "unknown" ? kUnsettledAction : kSettledAction;
}

// Checks an operation status document (exit 0) and returns it parsed.
json::Value expect_status(const RunResult& r, const Expected& e) {
  EXPECT_EQ(r.exit_code, 0) << r.out << r.err;
  json::Value doc = document_of(r);
  EXPECT_EQ(json::to_sorted_string(doc) + "\n", r.out) << "keys in byte order, compact";
  EXPECT_EQ(text_at(doc, {"schemaVersion"}), "vor.desktop-cli/v1");
  EXPECT_EQ(text_at(doc, {"operationId"}), e.operation_id) << r.out;
  EXPECT_EQ(text_at(doc, {"phase"}), e.phase) << r.out;
  EXPECT_EQ(text_at(doc, {"code"}), e.code) << r.out;
  EXPECT_EQ(text_at(doc, {"nextSafeAction"}), next_safe_action_of(e.phase)) << r.out;
  const json::Value* mutating = doc.find("mutating");
  EXPECT_TRUE(mutating && mutating->as_bool() && *mutating->as_bool() == e.mutating) << r.out;
  EXPECT_EQ(text_at(doc, {"sessionId"}), "<1>") << r.out;
  EXPECT_NE(text_at(doc, {"createdAt"}), "<absent>") << r.out;
  if (e.result_code) {
    EXPECT_EQ(text_at(doc, {"result", "code"}), *e.result_code) << r.out;
  } else {
    EXPECT_EQ(text_at(doc, {"result"}), "<null>") << r.out;
  }
  return doc;
}

// --- the state directory and its requests ---

struct Store {
  explicit Store(const std::string& name) : dir(fresh_prefix_dir(name)) {}

  std::string root() const { return dir.linux_path + "/VorDesktop-v1"; }
  std::string root_windows() const { return dir.windows_path + "\\VorDesktop-v1"; }

  // Writes the request file "<file>" and executes it.
  RunResult execute(const std::string& file, const std::string& bytes) {
    write_file(dir.linux_path + "/" + file, bytes);
    return execute_file(file);
  }
  std::vector<std::string> execute_args(const std::string& file) const {
    return {"execute", "--request", dir.windows_path + "\\" + file, "--state-dir", dir.windows_path};
  }
  RunResult execute_file(const std::string& file) { return marionet(execute_args(file)); }
  // The same, left running.
  std::unique_ptr<StartedProgram> start_execute(const std::string& file) const {
    return std::make_unique<StartedProgram>(installed(), execute_args(file));
  }
  RunResult status(const std::string& id) {
    return marionet({"status", "--operation-id", id, "--state-dir", dir.windows_path});
  }
  RunResult image_export(const std::string& id) {
    return marionet({"image-export", "--operation-id", id, "--state-dir", dir.windows_path});
  }
  RunResult reconcile(const std::string& id, const std::string& observation) {
    return marionet(
        {"reconcile", "--operation-id", id, "--observation-id", observation, "--state-dir", dir.windows_path});
  }

  // Every file of the state root with its bytes.
  std::map<std::string, std::string> files() const {
    std::map<std::string, std::string> listed;
    for (const auto& entry : fs::directory_iterator(root())) {
      listed[entry.path().filename().string()] = read_file(entry.path().string());
    }
    return listed;
  }

  PrefixDir dir;
};

// The store's name of an operation's file: the SHA-256 of its id in hex.
std::string state_file_name(const std::string& operation_id, const std::string& extension) {
  return to_hex(*sha256(operation_id)) + "." + extension;
}

std::string request(const std::string& operation_id, json::Value action) {
  return json::to_string(json::Object{
      {"protocol", 1}, {"operationId", operation_id}, {"sessionId", 1}, {"action", std::move(action)}});
}

json::Value inspect() { return json::Object{{"kind", "inspect"}}; }

json::Value find_windows(const std::string& title, unsigned timeout_ms) {
  return json::Object{{"kind", "find_windows"},
                      {"selector", json::Object{{"processId", nullptr}, {"title", title}}},
                      {"timeoutMs", timeout_ms}};
}

json::Value with_window(const char* kind, const json::Value& window, json::Object more = {}) {
  json::Object action{{"kind", kind}, {"window", window}};
  for (json::Member& m : more) action.push_back(std::move(m));
  return action;
}

// An element the test application does not have.
json::Value absent_element() {
  return json::Object{
      {"automationId", "vor-absent"}, {"name", nullptr}, {"className", nullptr}, {"controlType", nullptr}};
}

// Invokes the absent element: the worker looks for it until `timeout_ms` ends.
json::Value invoke_absent(const json::Value& window, unsigned timeout_ms) {
  return with_window(
      "element_action", window,
      {{"selector", absent_element()},
       {"operation", json::Object{{"kind", "invoke"}}},
       {"verify", json::Object{{"selector", absent_element()}, {"condition", json::Object{{"kind", "absent"}}}}},
       {"timeoutMs", timeout_ms}});
}

// --- the test application ---

// test_controls.exe with a title of its own, ended by its process when the
// test ends.
class TestApplication {
 public:
  TestApplication(const Store& store, std::string title) : title_(std::move(title)) {
    const std::string log = store.dir.linux_path + "/controls.log";
    program_ = std::make_unique<StartedProgram>(
        program_path("test_controls.exe"), std::vector<std::string>{"--log", store.dir.windows_path + "\\controls.log",
                                                                     "--title", title_});
    for (int i = 0; i < 600 && !ready_; ++i) {
      const std::string text = read_file(log);
      ready_ = text.find("ready ") != std::string::npos && text.find("\r\n") != std::string::npos;
      if (!ready_) std::this_thread::sleep_for(50ms);
    }
  }

  bool ready() const { return ready_; }
  const std::string& title() const { return title_; }
  // Ends it now (it is ended at the end of the test otherwise).
  void end() {
    program_->kill();
    program_->wait();
  }

 private:
  std::string title_;
  bool ready_ = false;
  std::unique_ptr<StartedProgram> program_;
};

struct Observation {
  std::string operation_id;
  json::Value window;  // the application's window as the inspect printed it
  Time finished_at;
};

// An inspect that observed the desktop, with the application's window in
// it. A worker that still runs for an earlier operation holds the session's
// input owner, and an inspect meanwhile ends at once with
// "DESKTOP_OWNER_CONFLICT": it is tried again under a new id.
Observation observe(Store& store, const TestApplication& app, const std::string& operation_id) {
  for (int attempt = 1; attempt <= 40; ++attempt) {
    const std::string id = operation_id + "-" + std::to_string(attempt);
    const RunResult r = store.execute(id + ".json", request(id, inspect()));
    const json::Value doc = document_of(r);
    if (text_at(doc, {"result", "code"}) == "DESKTOP_OWNER_CONFLICT") {
      std::this_thread::sleep_for(250ms);
      continue;
    }
    expect_status(r, {id, "finished", "DESKTOP_OPERATION_FINISHED", false, "DESKTOP_OBSERVED"});
    if (const json::Value* windows = member(doc, {"result", "windows"}); windows && windows->as_array()) {
      for (const json::Value& window : *windows->as_array()) {
        if (text_at(window, {"title"}) == app.title()) {
          return {id, window, parse_rfc3339(text_at(doc, {"finishedAt"})).value_or(Time())};
        }
      }
    }
    ADD_FAILURE() << "no window titled " << app.title() << " in " << r.out;
    return {id, json::Value(), Time()};
  }
  ADD_FAILURE() << "the input owner stayed taken";
  return {};
}

// An `execute` of "<id>.json" left running, and the first status document
// that `status` answered for its operation once the receipt existed (an
// empty result when none did).
struct Watched {
  std::unique_ptr<StartedProgram> broker;
  RunResult first_status;
};

Watched start_and_watch(Store& store, const std::string& id) {
  Watched watched{store.start_execute(id + ".json"), {}};
  for (int i = 0; i < 300; ++i) {
    RunResult s = store.status(id);
    if (s.exit_code == 0) {
      watched.first_status = std::move(s);
      break;
    }
  }
  return watched;
}

std::string phase_of(const RunResult& r) { return r.out.empty() ? "" : text_at(document_of(r), {"phase"}); }

// Leaves a mutating operation unsettled: its broker is killed while its
// worker looks for an absent element for 4 s, once `status` reports it
// running. Its receipt stays "running" with a process that is gone, which
// every reader reports as "unknown". Returns the operation id; a broker
// that finished before it was seen running (a very slow machine) is tried
// again under a new id.
std::string leave_unsettled(Store& store, const TestApplication& app, const std::string& operation_id) {
  for (int attempt = 1; attempt <= 3; ++attempt) {
    const std::string id = operation_id + "-" + std::to_string(attempt);
    const Observation seen = observe(store, app, "look-" + id);
    write_file(store.dir.linux_path + "/" + id + ".json", request(id, invoke_absent(seen.window, 4000)));
    Watched watched = start_and_watch(store, id);
    if (phase_of(watched.first_status) == "running") watched.broker->kill();
    const RunResult ended = watched.broker->wait();
    if (phase_of(store.status(id)) == "unknown") return id;
    std::cerr << "attempt " << attempt << ": the broker was not seen running: " << ended.out << "\n";
  }
  ADD_FAILURE() << "no broker could be killed while its worker ran";
  return operation_id;
}

// --- replay and conflict ---

TEST(ExecuteE2e, ARepeatedRequestIsAnsweredFromItsReceiptWithoutAWorker) {
  Store store("exec-replay");
  TestApplication app(store, "Vor test controls replay");
  ASSERT_TRUE(app.ready());
  const std::string body = request("replay-find", find_windows(app.title(), 100));
  const RunResult first = store.execute("find.json", body);
  expect_status(first, {"replay-find", "finished", "DESKTOP_OPERATION_FINISHED", false, "DESKTOP_WINDOWS_FOUND"});
  const auto stored = store.files();

  // The request's own run printed the window's title; its receipt keeps none.
  const std::string from_receipt = as_replayed(first.out, app.title());

  // The same file, and the same request re-indented with its members
  // reordered, answer from the receipt, times and window included, and no
  // file of the store changes. So does the file once the window is gone,
  // where a new search would find nothing.
  write_file(store.dir.linux_path + "/reordered.json",
             "{\n  \"action\": {\"timeoutMs\": 100, \"selector\": {\"title\": \"" + app.title() +
                 "\", \"processId\": null}, \"kind\": \"find_windows\"},\n  \"sessionId\": 1,\n"
                 "  \"operationId\": \"replay-find\",\n  \"protocol\": 1\n}\n");
  for (const char* file : {"find.json", "reordered.json"}) {
    const RunResult again = store.execute_file(file);
    EXPECT_EQ(again.exit_code, 0) << file;
    EXPECT_EQ(again.out, from_receipt) << file;
  }
  app.end();
  const RunResult gone = store.execute_file("find.json");
  EXPECT_EQ(gone.exit_code, 0);
  EXPECT_EQ(gone.out, from_receipt);
  EXPECT_EQ(store.files(), stored);

  // A changed request under the same id is refused and changes nothing.
  struct Case {
    const char* what;
    std::string body;
  } changed[] = {
      {"another timeout", request("replay-find", find_windows(app.title(), 200))},
      {"another kind", request("replay-find", inspect())},
  };
  for (const Case& c : changed) {
    const RunResult r = store.execute("changed.json", c.body);
    EXPECT_EQ(r.exit_code, 1) << c.what;
    EXPECT_EQ(r.out, error_document("DESKTOP_IDEMPOTENCY_CONFLICT", kConflict, "replay-find")) << c.what;
  }
  EXPECT_EQ(store.files(), stored);
  EXPECT_EQ(store.execute_file("find.json").out, from_receipt);
}

// --- the fence of an unsettled input, and reconcile ---

TEST(ExecuteE2e, AnUnsettledInputFencesEveryMutatingRequestButNoObservation) {
  Store store("exec-fence");
  TestApplication app(store, "Vor test controls fence");
  ASSERT_TRUE(app.ready());
  const std::string lost = leave_unsettled(store, app, "fence-lost");
  const RunResult status = store.status(lost);
  const json::Value unsettled = expect_status(status, {lost, "unknown", "DESKTOP_OUTCOME_UNKNOWN", true, {}});
  EXPECT_EQ(text_at(unsettled, {"finishedAt"}), "<null>");
  EXPECT_EQ(text_at(unsettled, {"image"}), "<null>");
  // Its own request again answers from the receipt: the input is not replayed.
  const RunResult replayed = store.execute_file(lost + ".json");
  EXPECT_EQ(replayed.exit_code, 0);
  EXPECT_EQ(replayed.out, status.out);

  using W = const json::Value&;
  struct Case {
    const char* kind;
    json::Value (*action)(W window);
  } mutating[] = {
      {"element_action", [](W w) { return invoke_absent(w, 100); }},
      {"focus", [](W w) { return with_window("focus", w); }},
      {"click", [](W w) { return with_window("click", w, {{"x", 20}, {"y", 20}}); }},
      {"type", [](W w) { return with_window("type", w, {{"text", "fenced"}}); }},
      {"key", [](W w) { return with_window("key", w, {{"key", "enter"}}); }},
      {"launch",
       [](W) {
         return json::Value(json::Object{
             {"kind", "launch"}, {"program", "C:\\windows\\notepad.exe"}, {"arguments", json::Array{}}});
       }},
  };
  for (const Case& c : mutating) {
    // An observation still runs while the fence holds.
    const Observation seen = observe(store, app, std::string("look-") + c.kind);
    const std::string id = std::string("fenced-") + c.kind;
    const RunResult r = store.execute(id + ".json", request(id, c.action(seen.window)));
    EXPECT_EQ(r.exit_code, 1) << c.kind;
    EXPECT_EQ(r.out, error_document("DESKTOP_INPUT_FENCED", kFenced, lost.c_str())) << c.kind;
    // Nothing was recorded for the fenced request.
    EXPECT_FALSE(fs::exists(store.root() + "/" + state_file_name(id, "json"))) << c.kind;
  }
  expect_status(store.status(lost), {lost, "unknown", "DESKTOP_OUTCOME_UNKNOWN", true, {}});
}

TEST(ExecuteE2e, AnInvokedButtonWhoseOutcomeWineHidesFencesInputUntilReconciled) {
  Store store("exec-invoke");
  TestApplication app(store, "Vor test controls invoke");
  ASSERT_TRUE(app.ready());
  // Under Wine the button's own click handling moves the session's
  // last-input tick, so the invoke is delivered but cannot be verified.
  const Observation seen = observe(store, app, "look-invoke");
  const json::Value push = json::Object{{"automationId", nullptr}, {"name", "Push"}, {"className", nullptr},
                                        {"controlType", nullptr}};
  const RunResult invoked = store.execute(
      "invoke.json",
      request("invoke", with_window("element_action", seen.window,
                                    {{"selector", push},
                                     {"operation", json::Object{{"kind", "invoke"}}},
                                     {"verify", json::Object{{"selector", push},
                                                             {"condition", json::Object{{"kind", "name_equals"},
                                                                                        {"text", "Pushed"}}}}},
                                     {"timeoutMs", 4000}})));
  expect_status(invoked, {"invoke", "unknown", "DESKTOP_OUTCOME_UNKNOWN", true, "DESKTOP_INPUT_OUTCOME_UNKNOWN"});
  EXPECT_NE(read_file(store.dir.linux_path + "/controls.log").find("push 1"), std::string::npos);

  const Observation again = observe(store, app, "look-typed");
  const std::string typed = request("typed", with_window("type", again.window, {{"text", "after"}}));
  const RunResult fenced = store.execute("typed.json", typed);
  EXPECT_EQ(fenced.exit_code, 1);
  EXPECT_EQ(fenced.out, error_document("DESKTOP_INPUT_FENCED", kFenced, "invoke"));

  const Observation verified = observe(store, app, "look-verified");
  expect_status(store.reconcile("invoke", verified.operation_id),
                {"invoke", "reconciled", "DESKTOP_OUTCOME_RECONCILED", true, "DESKTOP_INPUT_OUTCOME_UNKNOWN"});
  const Observation fresh = observe(store, app, "look-unfenced");
  const RunResult unfenced =
      store.execute("typed.json", request("typed", with_window("type", fresh.window, {{"text", "after"}})));
  // The fenced attempt left no receipt, so its id is free for the new request.
  expect_status(unfenced, {"typed", "finished", "DESKTOP_OPERATION_FINISHED", true, "DESKTOP_INPUT_ACCEPTED"});
}

TEST(ExecuteE2e, ReconcileWithAFreshObservationSettlesTheInputAndLiftsTheFence) {
  Store store("exec-reconcile");
  TestApplication app(store, "Vor test controls reconcile");
  ASSERT_TRUE(app.ready());
  const Observation before = observe(store, app, "look-before");
  const std::string lost = leave_unsettled(store, app, "reconcile-lost");
  // An observation counts for 15 s after it finished (Wine's clock is this
  // machine's).
  const Observation stale = observe(store, app, "look-stale");
  while (Time(std::chrono::system_clock::now()) < stale.finished_at + 16s) std::this_thread::sleep_for(250ms);

  struct Refusal {
    const char* what;
    std::string target;
    std::string observation;
  } refusals[] = {
      {"an observation older than the operation", lost, before.operation_id},
      {"a read-only target", before.operation_id, before.operation_id},
      {"a mutating observation", lost, lost},
      {"an observation older than 15 s", lost, stale.operation_id},
  };
  for (const Refusal& c : refusals) {
    const RunResult r = store.reconcile(c.target, c.observation);
    EXPECT_EQ(r.exit_code, 1) << c.what;
    EXPECT_EQ(r.out, error_document("DESKTOP_RECONCILE_OBSERVATION_REQUIRED", kDefault, c.target.c_str())) << c.what;
  }
  expect_status(store.status(lost), {lost, "unknown", "DESKTOP_OUTCOME_UNKNOWN", true, {}});

  const Observation after = observe(store, app, "look-after");
  const RunResult reconciled = store.reconcile(lost, after.operation_id);
  expect_status(reconciled, {lost, "reconciled", "DESKTOP_OUTCOME_RECONCILED", true, {}});
  // A later status reads the same; a second reconcile finds it settled.
  const RunResult status = store.status(lost);
  EXPECT_EQ(status.exit_code, 0);
  EXPECT_EQ(status.out, reconciled.out);
  const RunResult again = store.reconcile(lost, after.operation_id);
  EXPECT_EQ(again.exit_code, 1);
  EXPECT_EQ(again.out, error_document("DESKTOP_RECONCILE_OBSERVATION_REQUIRED", kDefault, lost.c_str()));

  // The fence is lifted: a new mutating request runs its worker.
  const Observation fresh = observe(store, app, "look-fresh");
  const RunResult action = store.execute("unfenced.json", request("unfenced", invoke_absent(fresh.window, 100)));
  expect_status(action, {"unfenced", "finished", "DESKTOP_OPERATION_FINISHED", true, "DESKTOP_ELEMENT_NOT_READY"});
}

// --- status of every phase ---

TEST(ExecuteE2e, StatusReportsARunningOperationAndThenItsFinishedReceipt) {
  Store store("exec-running");
  // A search for a window that never opens keeps the worker busy for 4 s;
  // a broker that finished before `status` saw it running (a very slow
  // machine) is tried again under a new id.
  for (int attempt = 1; attempt <= 3; ++attempt) {
    const std::string id = "long-find-" + std::to_string(attempt);
    write_file(store.dir.linux_path + "/" + id + ".json",
               request(id, find_windows("Vor test controls that never opens", 4000)));
    Watched watched = start_and_watch(store, id);
    const RunResult finished = watched.broker->wait();
    if (phase_of(watched.first_status) != "running") {
      std::cerr << "attempt " << attempt << ": the broker was not seen running: " << finished.out << "\n";
      continue;
    }
    const json::Value running =
        expect_status(watched.first_status, {id, "running", "DESKTOP_OPERATION_RUNNING", false, {}});
    EXPECT_EQ(text_at(running, {"finishedAt"}), "<null>");
    EXPECT_EQ(text_at(running, {"image"}), "<null>");

    const json::Value final_doc =
        expect_status(finished, {id, "finished", "DESKTOP_OPERATION_FINISHED", false, "DESKTOP_WINDOW_NOT_FOUND"});
    EXPECT_EQ(text_at(final_doc, {"createdAt"}), text_at(running, {"createdAt"}));
    EXPECT_NE(text_at(final_doc, {"finishedAt"}), "<null>");
    // Nothing was found, so the receipt holds the whole answer.
    EXPECT_EQ(store.status(id).out, finished.out);
    return;
  }
  ADD_FAILURE() << "no broker was seen running";
}

// --- images ---

// A capture of the application's window, and the export document that
// the image's record in it promises.
struct Captured {
  std::string observation_id;  // the inspect the capture's window came from
  std::string printed;         // what the capture's execute printed
  json::Value status;
  std::string export_document;
};

Captured capture(Store& store, const TestApplication& app, const std::string& id) {
  const Observation seen = observe(store, app, "look-" + id);
  const RunResult r = store.execute(id + ".json", request(id, with_window("capture", seen.window)));
  json::Value doc = expect_status(r, {id, "finished", "DESKTOP_OPERATION_FINISHED", false, "DESKTOP_OBSERVED"});
  EXPECT_EQ(r.out.find("pngBase64"), std::string::npos);
  EXPECT_EQ(text_at(doc, {"image", "path"}), store.root_windows() + "\\" + state_file_name(id, "image"));
  EXPECT_EQ(text_at(doc, {"image", "mimeType"}), "image/png");
  EXPECT_EQ(text_at(doc, {"image", "protection"}), "windows_dpapi_machine_v1");
  json::Object image{
      {"bytes", value_at(doc, {"image", "bytes"})},
      {"createdAt", value_at(doc, {"image", "createdAt"})},
      {"mimeType", "image/png"},
      {"path", store.root_windows() + "\\" + state_file_name(id, "png")},
      {"sha256", value_at(doc, {"image", "sha256"})},
  };
  const std::string exported = json::to_sorted_string(json::Object{{"code", "DESKTOP_IMAGE_EXPORTED"},
                                                                   {"image", std::move(image)},
                                                                   {"operationId", id},
                                                                   {"schemaVersion", "vor.desktop-cli/v1"},
                                                                   {"sessionId", 1}}) +
                               "\n";
  return {seen.operation_id, r.out, std::move(doc), exported};
}

TEST(ExecuteE2e, ImageExportWritesTheRecordedPngAgainAndAgainWithinTheLease) {
  Store store("exec-image");
  TestApplication app(store, "Vor test controls image");
  ASSERT_TRUE(app.ready());
  const Captured shot = capture(store, app, "shot");
  const std::string png_path = store.root() + "/" + state_file_name("shot", "png");
  const std::uint64_t bytes = unsigned_at(shot.status, {"image", "bytes"});
  const std::string sha = text_at(shot.status, {"image", "sha256"});
  EXPECT_FALSE(fs::exists(png_path)) << "no plain copy before an export";

  // Each export writes the recorded image: a fresh one, one over its own
  // earlier copy, one over a copy changed in between and one after the copy
  // was removed.
  struct Case {
    const char* what;
    void (*before)(const std::string& path);
  } cases[] = {
      {"first export", [](const std::string&) {}},
      {"again", [](const std::string&) {}},
      {"over a changed copy", [](const std::string& path) { write_file(path, "not the image"); }},
      {"after the copy was removed", [](const std::string& path) { fs::remove(path); }},
  };
  for (const Case& c : cases) {
    c.before(png_path);
    const RunResult r = store.image_export("shot");
    EXPECT_EQ(r.exit_code, 0) << c.what << ": " << r.out;
    EXPECT_EQ(r.out, shot.export_document) << c.what;
    const std::string png = read_file(png_path);
    EXPECT_EQ(png.size(), bytes) << c.what;
    EXPECT_EQ(to_hex(*sha256(png)), sha) << c.what;
    const auto decoded = desktop::testing::read_png(std::vector<std::uint8_t>(png.begin(), png.end()));
    ASSERT_TRUE(decoded) << c.what << ": not a PNG";
    EXPECT_EQ(decoded->width, unsigned_at(shot.status, {"result", "imageWidth"})) << c.what;
    EXPECT_EQ(decoded->height, unsigned_at(shot.status, {"result", "imageHeight"})) << c.what;
  }
  // A replay of the capture answers from its receipt, image included, and
  // the status still shows the protected image.
  EXPECT_EQ(store.execute_file("shot.json").out, as_replayed(shot.printed, app.title()));
  const json::Value status = expect_status(
      store.status("shot"), {"shot", "finished", "DESKTOP_OPERATION_FINISHED", false, "DESKTOP_OBSERVED"});
  EXPECT_EQ(json::to_string(value_at(status, {"image"})), json::to_string(value_at(shot.status, {"image"})));
  // An operation that stored no image has none to export.
  const RunResult none = store.image_export(shot.observation_id);
  EXPECT_EQ(none.exit_code, 1);
  EXPECT_EQ(none.out, error_document("DESKTOP_IMAGE_EXPIRED", kDefault));
}

TEST(ExecuteE2e, ImageExportAfterTheLeaseIsExpiredAndTheImageIsGone) {
  Store store("exec-lease");
  TestApplication app(store, "Vor test controls lease");
  ASSERT_TRUE(app.ready());
  const Captured shot = capture(store, app, "leased");
  const auto created = parse_rfc3339(text_at(shot.status, {"image", "createdAt"}));
  ASSERT_TRUE(created);
  EXPECT_EQ(store.image_export("leased").out, shot.export_document);
  // Wine's clock is this machine's: wait until the 60 s lease is surely over.
  while (Time(std::chrono::system_clock::now()) < *created + 61s) std::this_thread::sleep_for(500ms);

  const RunResult r = store.image_export("leased");
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, error_document("DESKTOP_IMAGE_EXPIRED", kDefault));
  // The export's maintenance removed both files; the receipt stays, without an image.
  EXPECT_FALSE(fs::exists(store.root() + "/" + state_file_name("leased", "image")));
  EXPECT_FALSE(fs::exists(store.root() + "/" + state_file_name("leased", "png")));
  const json::Value status = expect_status(
      store.status("leased"), {"leased", "finished", "DESKTOP_OPERATION_FINISHED", false, "DESKTOP_OBSERVED"});
  EXPECT_EQ(text_at(status, {"image"}), "<null>");
}

// --- refused request files ---

TEST(ExecuteE2e, RefusedRequestFilesWriteNothing) {
  Store store("exec-refused");
  // A first operation makes the state root with its gate and a receipt.
  const RunResult made = store.execute("made.json", request("made", inspect()));
  expect_status(made, {"made", "finished", "DESKTOP_OPERATION_FINISHED", false, "DESKTOP_OBSERVED"});
  const auto stored = store.files();

  const std::string good = request("refused", inspect());
  fs::create_directories(store.dir.linux_path + "/folder.json");
  struct Case {
    const char* file;
    std::optional<std::string> bytes;  // none: the file is not written
    const char* code;
  } cases[] = {
      {"large.json", good + std::string(16385 - good.size(), ' '), "DESKTOP_FILE_TOO_LARGE"},
      // A title in Latin-1.
      {"not-utf8.json",
       "{\"protocol\":1,\"operationId\":\"refused\",\"sessionId\":1,\"action\":{\"kind\":\"find_windows\","
       "\"selector\":{\"processId\":null,\"title\":\"caf\xE9\"},\"timeoutMs\":100}}",
       "DESKTOP_REQUEST_INVALID"},
      {"not-a-request.json", std::string("{\"protocol\":1,\"operationId\":\"refused\",\"sessionId\":1}"),
       "DESKTOP_REQUEST_INVALID"},
      {"unknown-kind.json", request("refused", json::Object{{"kind", "paint"}}), "DESKTOP_REQUEST_INVALID"},
      {"bom.json", "\xEF\xBB\xBF" + good, "DESKTOP_REQUEST_INVALID"},
      {"trailing.json", good + " x", "DESKTOP_REQUEST_INVALID"},
      {"empty.json", std::string(), "DESKTOP_REQUEST_INVALID"},
      {"missing.json", std::nullopt, "DESKTOP_FILE_UNAVAILABLE"},
      {"folder.json", std::nullopt, "DESKTOP_FILE_TOO_LARGE"},
  };
  for (const Case& c : cases) {
    if (c.bytes) write_file(store.dir.linux_path + "/" + c.file, *c.bytes);
    const RunResult r = store.execute_file(c.file);
    EXPECT_EQ(r.exit_code, 1) << c.file;
    EXPECT_EQ(r.out, error_document(c.code, kDefault)) << c.file;
  }
  EXPECT_EQ(store.files(), stored);

  // A file of exactly 16,384 bytes is read and runs.
  const RunResult largest = store.execute("largest.json", good + std::string(16384 - good.size(), ' '));
  expect_status(largest, {"refused", "finished", "DESKTOP_OPERATION_FINISHED", false, "DESKTOP_OBSERVED"});
}

// --- the release build under Wine ---

TEST(ExecuteE2e, TheReleaseBuildRefusesEveryStateDirectoryUnderWine) {
  // Wine never keeps the protected flag of a DACL, so the state root that
  // the release build creates never reads back as the one it asked for.
  const std::string unsafe =
      "Use a dedicated local state directory owned by the calling Windows identity; do not use links or share it "
      "with unrelated users.";
  Store store("exec-release");
  write_file(store.dir.linux_path + "/inspect.json", request("release-inspect", inspect()));
  struct Case {
    std::vector<std::string> args;
    const char* reported_id;
  } cases[] = {
      {store.execute_args("inspect.json"), "release-inspect"},
      {{"status", "--operation-id", "release-inspect", "--state-dir", store.dir.windows_path}, "release-inspect"},
      {{"image-export", "--operation-id", "release-inspect", "--state-dir", store.dir.windows_path}, nullptr},
      {{"reconcile", "--operation-id", "release-inspect", "--observation-id", "release-inspect", "--state-dir",
        store.dir.windows_path},
       "release-inspect"},
  };
  for (const Case& c : cases) {
    const RunResult r = marionet(c.args, Build::kRelease);
    EXPECT_EQ(r.exit_code, 1) << c.args[0];
    EXPECT_EQ(r.out, error_document("DESKTOP_STATE_UNSAFE", unsafe, c.reported_id)) << c.args[0];
  }
  // The root was made, and nothing was written into it.
  EXPECT_TRUE(store.files().empty());
}

}  // namespace
}  // namespace vor::e2e
