// Crash safety of the execute transaction: a first execute in a fresh state
// directory is cut short at each of its changing file-system calls (the call
// half done, nothing after it, the broker process gone), then a new broker
// looks at the disk:
// - every receipt present loads and none is plaintext;
// - `status` of the cut operation finds no receipt (only when nothing was
//   sent), reports "unknown" for a receipt its dead broker left "running",
//   or the completed outcome; a request that may have been sent is never
//   missing nor reported as not sent;
// - new input is fenced exactly while the cut mutating operation is
//   unsettled, a replay never starts a worker again, an observation still
//   runs, and no image outlives a pass without its record nor a temporary
//   the day it is kept.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "broker/execute_transaction.h"
#include "common/base64.h"
#include "desktop/tests/standalone/operation_status_fixtures.h"
#include "desktop/tests/windows/fake_worker_launch.h"
#include "execute_fixtures.h"
#include "standalone/state/state_maintenance.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;
using testing::FakeWorkerLaunch;
using testing::kEpoch;
using testing::text_of;

constexpr std::string_view kCutId = "op-cut";

Window observed_window() { return testing::observed_window(kEpoch - 1s); }

// Brokers by process id: the one that ran the cut transaction ends, a new
// one (the next id) runs everything after.
class Brokers final : public ProcSys {
 public:
  std::uint32_t current = 4242;
  std::set<std::uint32_t> ended;

  void next() {
    ended.insert(current);
    ++current;
  }

  Win32<std::unique_ptr<Process>> open(std::uint32_t pid, Access) override {
    if (ended.count(pid)) return win32_error(kErrorInvalidParameter);  // its id is free again
    return std::unique_ptr<Process>(std::make_unique<Alive>(pid));
  }
  Win32<std::uint32_t> process_session_id(std::uint32_t) override { return 1u; }
  std::uint32_t current_process_id() override { return current; }

 private:
  class Alive final : public Process {
   public:
    explicit Alive(std::uint32_t pid) : pid_(pid) {}
    Win32<std::uint64_t> creation_time() override { return 133'000'000'000'000'000ULL + pid_; }
    Win32<bool> has_exited() override { return false; }
    Win32<std::u16string> image_path() override { return win32_error(kErrorAccessDenied); }
    Result<std::string> user_sid() override { return std::string("S-1-5-21-1"); }

   private:
    std::uint32_t pid_;
  };
};

// One disk and the brokers that work on it, with a scripted worker per launch.
struct World {
  World()
      : ctx{fs, dpapi, clock,
            [this]() -> Result<std::string> {
              char buf[33];
              std::snprintf(buf, sizeof buf, "%032x", ++uuids);
              return std::string(buf);
            }},
        ports{ctx, identity, brokers},
        exec{ports, [this] { return next_launch(); }} {
    fs.add_directory("C:\\s");
    clock.now = kEpoch;
  }

  std::unique_ptr<WorkerLaunchSys> next_launch() {
    auto fake = std::make_unique<FakeWorkerLaunch>();
    fake->ends_after_reads = 2;  // WorkerReady and the response
    fake->frames.reads.push_back(testing::ready_frame());
    fake->frames.reads.push_back(encode_response(worker_answer));
    fake->failing = failing_step;
    launches.push_back(fake->seen);
    return fake;
  }

  // `failing`: the launch step that fails, so that nothing is sent.
  Result<CliDocument> execute(const Request& request, Response answer, std::string failing = "") {
    worker_answer = std::move(answer);
    failing_step = std::move(failing);
    return execute_transaction(exec, encode_request(request), "C:\\s", std::nullopt);
  }

  // Some worker was handed the request frame (after its ReadyAck).
  bool request_sent() const {
    for (const auto& seen : launches) {
      if (seen->written.size() >= 2) return true;
    }
    return false;
  }

  // The broker died at the cut; a new process comes to the same disk.
  void restart() {
    fs.restart();
    brokers.next();
  }

  testing::FakeFileSystem fs;
  testing::FakeDataProtection dpapi;
  testing::FakeClock clock;
  testing::FakeIdentity identity;
  Brokers brokers;
  unsigned uuids = 0;
  StateContext ctx;
  StatePorts ports;
  ExecutePorts exec;
  Response worker_answer;
  std::string failing_step;
  std::vector<std::shared_ptr<FakeWorkerLaunch::Seen>> launches;
};

struct CutCase {
  const char* name;
  Request request;  // operation kCutId
  Response answer;  // what its worker answers
  const char* final_phase;
  const char* final_code;  // of the completed receipt's result
  bool image;
  bool sends;           // the request reaches the worker
  const char* failing;  // the worker launch's step that fails, or ""
};

void PrintTo(const CutCase& c, std::ostream* os) { *os << c.name; }

const Bytes& capture_png() {
  static const Bytes png = testing::sample_png(400);
  return png;
}

std::vector<CutCase> cut_cases() {
  using testing::answer;
  using testing::request_of;
  const std::string id(kCutId);
  const Request type = request_of(id, Type{observed_window(), "hello"});
  const Request click = request_of(id, Click{observed_window(), 5, 6});
  const Request capture = request_of(id, Capture{observed_window()});
  Response captured = answer(capture, std::string(kObservedCode), observed_window());
  captured.png_base64 = base64_encode(capture_png());
  const Response accepted = answer(type, "DESKTOP_INPUT_ACCEPTED", observed_window());
  const Response unknown = answer(click, std::string(kInputOutcomeUnknown), observed_window());
  return {
      {"TypeAccepted", type, accepted, "finished", "DESKTOP_INPUT_ACCEPTED", false, true, ""},
      {"ClickOutcomeUnknown", click, unknown, "unknown", "DESKTOP_INPUT_OUTCOME_UNKNOWN", false, true, ""},
      {"CaptureStoresItsImage", capture, captured, "finished", "DESKTOP_OBSERVED", true, true, ""},
      // Nothing is sent: the finished receipt says so, and no cut may turn
      // that into a claim in the other direction.
      {"TypeWorkerNotStarted", type, accepted, "finished", "DESKTOP_PIPE_UNAVAILABLE", false, false, "create_pipe"},
  };
}

std::string code_in(const CliDocument& doc) { return text_of(doc.find("code")); }
std::string result_code(const CliDocument& doc) {
  const json::Value* result = doc.find("result");
  return result && !result->is_null() ? text_of(result->find("code")) : "<no result>";
}
bool ends_with(const std::string& text, std::string_view tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A request written on the wire is never reported as one that was not.
void expect_not_reported_unsent(const CliDocument& status) {
  const json::Value* result = status.find("result");
  if (result == nullptr || result->is_null()) return;
  const json::Value* startup = result->find("startup");
  if (startup == nullptr || startup->is_null()) return;
  const json::Value* dispatched = startup->find("requestDispatched");
  ASSERT_NE(dispatched, nullptr);
  ASSERT_NE(dispatched->as_bool(), nullptr);
  EXPECT_TRUE(*dispatched->as_bool()) << "a sent request is reported as not sent";
}

class ExecuteCrash : public ::testing::TestWithParam<CutCase> {};

TEST_P(ExecuteCrash, EveryCutLeavesAReadableStoreAndNeverHidesSentInput) {
  const CutCase& c = GetParam();
  const bool mutating = is_mutating(c.request.action);

  int total = 0;
  {
    World w;
    w.fs.crash_at(0);
    auto doc = w.execute(c.request, c.answer, c.failing);
    ASSERT_TRUE(doc) << doc.error().display_chain();
    ASSERT_EQ(text_of(doc->find("phase")), c.final_phase);
    ASSERT_EQ(result_code(*doc), c.final_code);
    total = w.fs.changes();
  }
  ASSERT_GT(total, 8);

  // A cut write puts half its bytes, or none. The last round cuts nothing:
  // the broker dies after its last write, before it could print its answer.
  int cuts_after_sending = 0;
  int receipt_temporaries = 0;
  for (int round = 0; round < 2 * (total + 1); ++round) {
    const int k = round % (total + 1) + 1;
    const bool writes_nothing = round > total;
    SCOPED_TRACE("cut at changing call " + std::to_string(k) + " of " + std::to_string(total) +
                 (writes_nothing ? ", a cut write puts nothing" : ", a cut write puts half"));
    World w;
    w.fs.cut_writes_nothing = writes_nothing;
    w.fs.crash_at(k);
    (void)w.execute(c.request, c.answer, c.failing);
    ASSERT_EQ(w.fs.crashed(), k <= total);
    const bool sent = w.request_sent();
    cuts_after_sending += sent ? 1 : 0;
    w.restart();

    // Every receipt on the disk loads, protected.
    auto root = ensure_state_directory(w.fs, w.identity, "C:\\s");
    ASSERT_TRUE(root) << root.error().display_chain();
    auto receipts = load_receipts(w.ctx, *root);
    ASSERT_TRUE(receipts) << receipts.error().display_chain();
    for (const std::string& name : w.fs.names(root->path())) {
      if (ends_with(name, ".json")) {
        EXPECT_TRUE(has_protected_header(w.fs.data(root->join(name)))) << name;
      }
    }

    // What `status` says of the cut operation, its broker gone.
    auto status = run_status(w.ports, cmd::Status{std::string(kCutId), "C:\\s"});
    std::string phase = "absent";
    if (!status) {
      EXPECT_EQ(error_code_of(status.error()), "DESKTOP_FILE_UNAVAILABLE") << status.error().display_chain();
      EXPECT_FALSE(sent) << "a request that may have been sent has no receipt";
    } else {
      phase = text_of(status->find("phase"));
      if (sent) expect_not_reported_unsent(*status);
      const json::Value* image = status->find("image");
      ASSERT_NE(image, nullptr);
      if (phase == "unknown") {
        EXPECT_EQ(code_in(*status), "DESKTOP_OUTCOME_UNKNOWN");
        EXPECT_EQ(text_of(status->find("nextSafeAction")), kUnsettledSentence);
        // Either the dead broker's "running" receipt or the completed unknown outcome.
        const std::string code = result_code(*status);
        EXPECT_TRUE(code == "<no result>" || code == c.final_code) << code;
        EXPECT_TRUE(image->is_null());
      } else {
        EXPECT_EQ(phase, c.final_phase);
        EXPECT_EQ(code_in(*status), "DESKTOP_OPERATION_FINISHED");
        EXPECT_EQ(result_code(*status), c.final_code);
        EXPECT_EQ(sent, c.sends);
        EXPECT_EQ(image->is_null(), !c.image);
        if (c.image) {
          const Receipt stored = load_operation_receipt(w.ctx, *root, std::string(kCutId)).value();
          ASSERT_TRUE(stored.image);
          auto png = read_protected_image(w.ctx, *root, std::string(kCutId), *stored.image);
          ASSERT_TRUE(png) << png.error().display_chain();
          EXPECT_EQ(*png, capture_png());
        }
      }
    }
    const bool unsettled_input = mutating && phase == "unknown";

    // New input waits for the cut input to be settled, and only then.
    const Request next = testing::request_of("op-next", Type{observed_window(), "next"});
    std::size_t launched = w.launches.size();
    auto fenced = w.execute(next, testing::answer(next, "DESKTOP_INPUT_ACCEPTED", observed_window()));
    ASSERT_TRUE(fenced) << fenced.error().display_chain();
    if (unsettled_input) {
      EXPECT_EQ(code_in(*fenced), "DESKTOP_INPUT_FENCED");
      EXPECT_EQ(text_of(fenced->find("operationId")), kCutId);
      EXPECT_EQ(w.launches.size(), launched);
    } else {
      EXPECT_EQ(text_of(fenced->find("phase")), "finished") << code_in(*fenced);
    }

    // A replay answers from the receipt and never reaches a worker; with
    // no receipt nothing was sent, and the replay is the first run.
    launched = w.launches.size();
    auto replay = w.execute(c.request, c.answer, c.failing);
    ASSERT_TRUE(replay) << replay.error().display_chain();
    if (status) {
      EXPECT_EQ(w.launches.size(), launched);
      EXPECT_EQ(text_of(replay->find("phase")), phase);
      EXPECT_EQ(code_in(*replay), code_in(*status));
      EXPECT_EQ(text_of(replay->find("createdAt")), text_of(status->find("createdAt")));
    } else {
      EXPECT_EQ(w.launches.size(), launched + 1);
      EXPECT_EQ(text_of(replay->find("phase")), c.final_phase);
    }

    // An observation runs, and its pass leaves no image without a record.
    const Request look = testing::request_of("op-look", Inspect{});
    auto looked = w.execute(look, testing::answer(look, std::string(kObservedCode), observed_window()));
    ASSERT_TRUE(looked) << looked.error().display_chain();
    EXPECT_EQ(text_of(looked->find("phase")), "finished");
    EXPECT_EQ(result_code(*looked), kObservedCode);
    std::set<std::string> recorded;
    const std::vector<Receipt> after = load_receipts(w.ctx, *root).value();
    for (const Receipt& r : after) {
      if (r.image) recorded.insert(r.image->file_name);
    }
    for (const std::string& name : w.fs.names(root->path())) {
      if (ends_with(name, ".image") || ends_with(name, ".png")) {
        EXPECT_TRUE(recorded.count(name)) << name;
      }
      // No plaintext receipt stays on the disk, not even a cut one.
      if (is_receipt_temporary_name(name)) {
        ++receipt_temporaries;
        EXPECT_TRUE(has_protected_header(w.fs.data(root->join(name)))) << name;
      }
    }

    // A day later nothing temporary is left, no image at all, and the cut
    // input, when unsettled, still fences.
    auto pass = maintain_state_directory(w.ctx, w.brokers, *root, kEpoch + 25h, false);
    ASSERT_TRUE(pass) << pass.error().display_chain();
    for (const std::string& name : w.fs.names(root->path())) {
      EXPECT_EQ(name.find(".tmp-"), std::string::npos) << name;
      EXPECT_FALSE(ends_with(name, ".image") || ends_with(name, ".png")) << name;
    }
    const bool kept = state_file_exists(w.fs, state_file_path(*root, std::string(kCutId), "json").value());
    EXPECT_EQ(kept, mutating && text_of(replay->find("phase")) == "unknown");
  }
  EXPECT_EQ(cuts_after_sending > 0, c.sends);
  EXPECT_LT(cuts_after_sending, 2 * total);
  EXPECT_GT(receipt_temporaries, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, ExecuteCrash, ::testing::ValuesIn(cut_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vor::desktop
