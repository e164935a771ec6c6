#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <vector>

#include "broker/execute_transaction.h"
#include "common/base64.h"
#include "desktop/tests/standalone/operation_status_fixtures.h"
#include "desktop/tests/windows/fake_worker_launch.h"
#include "execute_fixtures.h"
#include "native/execution_evidence.h"
#include "protocol/messages.h"
#include "standalone/cli/one_shot.h"
#include "standalone/state/fullscreen_ledger.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;
using testing::FakeWorkerLaunch;
using testing::kEpoch;
using testing::text_of;

Window observed_window() { return testing::observed_window(kEpoch - 1s); }

using testing::ready_frame;
using testing::request_of;
Request inspect(std::string id = "op-1") { return request_of(std::move(id), Inspect{}); }
Request click(std::string id = "op-click") { return request_of(std::move(id), Click{observed_window(), 5, 6}); }
Request launch(std::string id = "op-launch") {
  return request_of(std::move(id), Launch{"C:\\Apps\\Editor.exe", {"a b", "c\\\""}});
}
Request capture(std::string id = "op-cap") { return request_of(std::move(id), Capture{observed_window()}); }

// What the worker answers for `request` with this code.
Response answer(const Request& request, std::string code) {
  return testing::answer(request, std::move(code), observed_window());
}

// The store with the state verbs' ports and a worker launch that each test
// scripts through `script`; every launch is counted.
class ExecuteTransaction : public testing::StateVerbs {
 public:
  ExecuteTransaction() : exec{ports, [this] { return next_launch(); }} { processes.user_sid_text = "S-1-5-21-1"; }

  std::unique_ptr<WorkerLaunchSys> next_launch() {
    auto fake = std::make_unique<FakeWorkerLaunch>();
    fake->ends_after_reads = 2;  // WorkerReady and the response
    fake->frames.reads.push_back(ready_frame());
    for (const auto& r : responses) fake->frames.reads.push_back(r);
    if (script) script(*fake);
    seen.push_back(fake->seen);
    return fake;
  }

  // The worker answers with this response.
  void worker_answers(const Response& response) { responses = {encode_response(response)}; }

  CliDocument run(const Request& request, const InputPolicyArgument& policy = std::nullopt) {
    return run_bytes(encode_request(request), policy);
  }
  CliDocument run_bytes(const std::string& bytes, const InputPolicyArgument& policy = std::nullopt) {
    auto doc = execute_transaction(exec, bytes, "C:\\s", policy);
    EXPECT_TRUE(doc) << (doc ? "" : doc.error().display_chain());
    return doc ? *doc : CliDocument{};
  }
  std::string result_code(const CliDocument& doc) {
    const json::Value* result = doc.find("result");
    return result ? text_of(result->find("code")) : "<no result>";
  }
  void write_state_file(const std::string& name, const std::string& text) {
    ASSERT_TRUE(write_whole_file(fs, root().join(name), Bytes(text.begin(), text.end())));
  }
  bool receipt_exists(const std::string& id) { return state_file_exists(fs, path_of(id, "json")); }

  std::vector<Result<std::string>> responses;
  std::function<void(FakeWorkerLaunch&)> script;
  std::vector<std::shared_ptr<FakeWorkerLaunch::Seen>> seen;
  ExecutePorts exec;
};

TEST_F(ExecuteTransaction, InspectSendsTheCompactRequestAndFinishesWithTheFullResult) {
  const Request request = inspect();
  worker_answers(answer(request, std::string(kObservedCode)));
  const CliDocument doc = run(request);

  EXPECT_EQ(text_of(doc.find("phase")), "finished");
  EXPECT_EQ(result_code(doc), "DESKTOP_OBSERVED");
  // The printed result keeps the title; the stored receipt does not.
  EXPECT_EQ(text_of(doc.find("result")->find("windows")->as_array()->at(0).find("title")), "Editor");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0]->written.at(1), encode_request(request));
  Receipt stored_receipt = stored("op-1");
  EXPECT_EQ(stored_receipt.phase, ReceiptPhase::kFinished);
  EXPECT_FALSE(stored_receipt.mutating);
  EXPECT_EQ(stored_receipt.pid, 4242u);
  EXPECT_EQ(stored_receipt.pid_created, processes.created);
  ASSERT_TRUE(stored_receipt.result);
  EXPECT_EQ(stored_receipt.result->windows.at(0).title, "");
  EXPECT_EQ(stored_receipt.request_hash, to_hex(*sha256(encode_request(request))));
  EXPECT_EQ(*stored_receipt.finished_at, kEpoch);
}

TEST_F(ExecuteTransaction, TheSameRequestIsAnsweredFromItsReceiptWithoutAWorker) {
  const Request request = inspect();
  worker_answers(answer(request, std::string(kObservedCode)));
  const CliDocument first = run(request);
  // Re-indented, with its keys in another order: the same request.
  const CliDocument second = run_bytes("{ \"sessionId\": 1,\n  \"action\": {\"kind\": \"inspect\"},\n"
                                       "  \"operationId\": \"op-1\", \"protocol\": 1 }\n");
  EXPECT_EQ(seen.size(), 1u);
  EXPECT_EQ(text_of(second.find("phase")), "finished");
  EXPECT_EQ(result_code(second), "DESKTOP_OBSERVED");
  EXPECT_EQ(text_of(second.find("createdAt")), text_of(first.find("createdAt")));

  const CliDocument changed = run(request_of("op-1", FindWindows{}));
  EXPECT_EQ(text_of(changed.find("code")), "DESKTOP_IDEMPOTENCY_CONFLICT");
  EXPECT_EQ(text_of(changed.find("operationId")), "op-1");
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(ExecuteTransaction, AnUnsettledMutatingReceiptFencesInputButNotObservation) {
  Receipt earlier = testing::sample_receipt("op-type");
  earlier.phase = ReceiptPhase::kUnknown;
  put(earlier);
  Receipt settled = testing::sample_receipt("op-old");
  settled.phase = ReceiptPhase::kReconciled;
  put(settled);

  const CliDocument fenced = run(click());
  EXPECT_EQ(text_of(fenced.find("code")), "DESKTOP_INPUT_FENCED");
  EXPECT_EQ(text_of(fenced.find("operationId")), "op-type");
  EXPECT_TRUE(seen.empty());
  EXPECT_FALSE(receipt_exists("op-click"));

  worker_answers(answer(inspect(), std::string(kObservedCode)));
  EXPECT_EQ(result_code(run(inspect())), "DESKTOP_OBSERVED");
  EXPECT_EQ(seen.size(), 1u);
}

TEST_F(ExecuteTransaction, AFullStoreRefusesANewOperationWhileAReplayStillAnswers) {
  worker_answers(answer(inspect(), std::string(kObservedCode)));
  run(inspect());
  for (int i = 0; i < 127; ++i) {
    Receipt r = testing::sample_receipt("filler-" + std::to_string(i));
    r.mutating = false;
    r.phase = ReceiptPhase::kFinished;
    r.finished_at = kEpoch;
    put(r);
  }
  const CliDocument refused = run(inspect("op-new"));
  EXPECT_EQ(text_of(refused.find("code")), "DESKTOP_STATE_QUOTA_EXCEEDED");
  EXPECT_EQ(text_of(refused.find("operationId")), "op-new");
  EXPECT_EQ(result_code(run(inspect())), "DESKTOP_OBSERVED");
  EXPECT_EQ(seen.size(), 1u);
}

// How an uncertain or failed worker stage completes the receipt.
struct StageCase {
  const char* name;
  bool mutating;
  std::function<void(ExecuteTransaction&, const Request&)> arrange;
  ReceiptPhase phase;
  const char* code;
  bool sent;  // request bytes were written
};

class WorkerStage : public ExecuteTransaction, public ::testing::WithParamInterface<StageCase> {};

TEST_P(WorkerStage, CompletesTheReceiptWithoutReportingSentInputAsNotSent) {
  const StageCase& c = GetParam();
  const Request request = c.mutating ? click() : inspect();
  c.arrange(*this, request);
  const CliDocument doc = run(request);

  EXPECT_EQ(result_code(doc), c.code);
  const Receipt r = stored(request.operation_id);
  EXPECT_EQ(r.phase, c.phase);
  ASSERT_TRUE(r.result);
  EXPECT_EQ(r.result->code, c.code);
  const bool said_not_sent = r.result->next_safe_action.starts_with("No desktop Request bytes were sent.");
  EXPECT_EQ(said_not_sent, !c.sent);
  const bool wrote_request = !seen.empty() && seen.front()->written.size() == 2;
  EXPECT_EQ(wrote_request, c.sent);
}

std::vector<StageCase> stage_cases() {
  auto other_id = [](ExecuteTransaction& t, const Request& r) {
    Response wrong = answer(r, std::string(kObservedCode));
    wrong.operation_id = "someone-else";
    t.worker_answers(wrong);
  };
  auto no_answer = [](ExecuteTransaction& t, const Request&) { t.responses = {fail(Error::io("early eof"))}; };
  auto garbage = [](ExecuteTransaction& t, const Request&) { t.responses = {std::string("{\"protocol\":1")}; };
  auto never_ends = [](ExecuteTransaction& t, const Request& r) {
    t.worker_answers(answer(r, std::string(kObservedCode)));
    t.script = [](FakeWorkerLaunch& f) { f.ends_after_reads.reset(); };
  };
  auto times_out = [](ExecuteTransaction& t, const Request&) {
    t.responses = {fail(Error::io(std::string(kPipeTimeLimitPassed)))};
  };
  auto no_worker = [](ExecuteTransaction& t, const Request&) {
    t.script = [](FakeWorkerLaunch& f) { f.failing = "create_pipe"; };
  };
  auto input_unknown = [](ExecuteTransaction& t, const Request& r) {
    t.worker_answers(answer(r, std::string(kInputOutcomeUnknown)));
  };
  using P = ReceiptPhase;
  return {
      {"MismatchMutating", true, other_id, P::kUnknown, "DESKTOP_OUTCOME_UNKNOWN", true},
      {"MismatchReadOnly", false, other_id, P::kFinished, "DESKTOP_OUTCOME_UNKNOWN", true},
      {"NoResponseMutating", true, no_answer, P::kUnknown, "DESKTOP_OUTCOME_UNKNOWN", true},
      {"UndecodableResponse", true, garbage, P::kUnknown, "DESKTOP_OUTCOME_UNKNOWN", true},
      {"WorkerNeverEnds", true, never_ends, P::kUnknown, "DESKTOP_OUTCOME_UNKNOWN", true},
      {"ReadTimesOut", false, times_out, P::kFinished, "DESKTOP_OUTCOME_UNKNOWN", true},
      {"WorkerNotStartedMutating", true, no_worker, P::kFinished, "DESKTOP_PIPE_UNAVAILABLE", false},
      {"InputOutcomeUnknown", true, input_unknown, P::kUnknown, "DESKTOP_INPUT_OUTCOME_UNKNOWN", true},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, WorkerStage, ::testing::ValuesIn(stage_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ExecuteTransaction, TheExchangeGivesUpAfterFifteenSecondsWithTheInspectSentence) {
  const Request request = click();
  worker_answers(answer(request, "DESKTOP_CLICK_SENT"));
  script = [](FakeWorkerLaunch& f) { f.ends_after_reads.reset(); };
  run(request);
  // The worker's end is polled every 10 ms until the exchange's limit.
  EXPECT_GE(clock.elapsed(), 15s);
  EXPECT_LT(clock.elapsed(), 15s + 20ms);
  EXPECT_EQ(stored("op-click").result->code, "DESKTOP_OUTCOME_UNKNOWN");
}

TEST_F(ExecuteTransaction, AValidatedLaunchStartsTheApplicationWithItsQuotedCommandLine) {
  const Request request = launch();
  worker_answers(answer(request, std::string(kLaunchValidated)));
  const CliDocument doc = run(request);

  EXPECT_EQ(result_code(doc), "DESKTOP_APPLICATION_STARTED");
  const json::Value* pid = doc.find("result")->find("processId");
  ASSERT_NE(pid, nullptr);
  ASSERT_NE(pid->as_unsigned(), nullptr);
  EXPECT_EQ(*pid->as_unsigned(), 900u);
  EXPECT_EQ(text_of(doc.find("result")->find("nextSafeAction")), kApplicationStartedGuidance);
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0]->started_application, "C:\\Apps\\Editor.exe");
  EXPECT_EQ(seen[0]->started_command_line, "\"C:\\Apps\\Editor.exe\" \"a b\" \"c\\\\\\\"\"");
  EXPECT_FALSE(seen[0]->started_as_user);
  EXPECT_EQ(stored("op-launch").phase, ReceiptPhase::kFinished);
}

TEST_F(ExecuteTransaction, ALaunchTheWorkerRefusedStartsNothing) {
  const Request request = launch();
  worker_answers(answer(request, "DESKTOP_USER_ACTIVE"));
  EXPECT_EQ(result_code(run(request)), "DESKTOP_USER_ACTIVE");
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0]->started_application, "");
}

TEST_F(ExecuteTransaction, AFailedApplicationStartIsRecordedWithItsOsError) {
  const Request request = launch();
  worker_answers(answer(request, std::string(kLaunchValidated)));
  script = [](FakeWorkerLaunch& f) {
    f.failing = "start_application";
    f.failing_error = 2;
  };
  const CliDocument doc = run(request);
  EXPECT_EQ(result_code(doc), "DESKTOP_APPLICATION_START_FAILED");
  const json::Value* win32 = doc.find("result")->find("win32Error");
  ASSERT_TRUE(win32 && (win32->as_unsigned() || win32->as_signed()));
  EXPECT_EQ(win32->as_unsigned() ? static_cast<std::int64_t>(*win32->as_unsigned()) : *win32->as_signed(), 2);
  EXPECT_EQ(stored("op-launch").phase, ReceiptPhase::kFinished);
}

TEST_F(ExecuteTransaction, ACaptureIsStoredProtectedAndNeverPrintedOrKept) {
  const Request request = capture();
  Response r = answer(request, "DESKTOP_CAPTURED");
  r.png_base64 = base64_encode(png);
  worker_answers(r);
  const CliDocument doc = run(request);

  EXPECT_EQ(doc.find("result")->find("pngBase64"), nullptr);
  const json::Value* image = doc.find("image");
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(text_of(image->find("path")), path_of("op-cap", "image"));
  const Receipt stored_receipt = stored("op-cap");
  ASSERT_TRUE(stored_receipt.image);
  EXPECT_EQ(stored_receipt.image->bytes, png.size());
  EXPECT_FALSE(stored_receipt.result->png_base64);
  auto back = read_protected_image(ctx, root(), "op-cap", *stored_receipt.image);
  ASSERT_TRUE(back) << back.error().display_chain();
  EXPECT_EQ(*back, png);
}

TEST_F(ExecuteTransaction, AnInvalidCaptureCompletesTheReceiptWithItsOwnCode) {
  const Request request = capture();
  Response r = answer(request, "DESKTOP_CAPTURED");
  r.png_base64 = base64_encode(Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9});
  worker_answers(r);
  const CliDocument doc = run(request);

  EXPECT_EQ(result_code(doc), "DESKTOP_CAPTURE_INVALID");
  EXPECT_EQ(text_of(doc.find("result")->find("nextSafeAction")), kCompletionFailureGuidance);
  EXPECT_EQ(stored("op-cap").phase, ReceiptPhase::kFinished);
  EXPECT_FALSE(state_file_exists(fs, path_of("op-cap", "image")));
}

// Refusals before a receipt exists: nothing is written and no worker starts.
struct RefusalCase {
  const char* name;
  std::function<std::string()> bytes;
  std::function<void(ExecuteTransaction&)> arrange;
  const char* code;
  const char* operation_id;  // "" when the document names none
};

class Refusal : public ExecuteTransaction, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(Refusal, LeavesNoReceiptAndStartsNoWorker) {
  const RefusalCase& c = GetParam();
  if (c.arrange) c.arrange(*this);
  const std::size_t before = load_receipts(ctx, root())->size();
  auto doc = execute_transaction(exec, c.bytes(), "C:\\s", std::nullopt);
  const std::string code = doc ? text_of(doc->find("code")) : error_code_of(doc.error());
  EXPECT_EQ(code, c.code);
  if (doc) {
    const json::Value* id = doc->find("operationId");
    EXPECT_EQ(id && id->as_string() ? *id->as_string() : std::string(), c.operation_id);
  }
  EXPECT_TRUE(seen.empty());
  EXPECT_EQ(load_receipts(ctx, root())->size(), before);
}

// A find_elements request whose file leaves out the selector's members and
// whose name is long: its compact form, with the members written as null,
// no longer fits a request frame although the file does.
std::string growing_request() {
  Request r = request_of("op-big", FindElements{observed_window(), ElementSelector{}, 100});
  std::get<FindElements>(r.action).window.title = std::string(16000, 'x');
  std::string text = encode_request(r);
  text = std::regex_replace(text, std::regex("\"(automationId|name|className|controlType)\":null,?"), "");
  text = std::regex_replace(text, std::regex(",\\}"), "}");
  return text;
}

std::vector<RefusalCase> refusal_cases() {
  auto valid = [] { return encode_request(inspect("op-r")); };
  auto ledger = [](ExecuteTransaction& t) {
    const std::string text = "{\"schemaVersion\":\"vor.marionet-fullscreen/v1\",\"operationIds\":[\"op-r\"]}";
    t.write_state_file("pilot.arm", text);
  };
  return {
      {"TooLarge", [] { return std::string(16385, ' '); }, nullptr, "DESKTOP_REQUEST_INVALID", ""},
      {"NotARequest", [] { return std::string("{\"protocol\":1}"); }, nullptr, "DESKTOP_REQUEST_INVALID", ""},
      {"NotUtf8", [] { return std::string("{\"protocol\":1,\"operationId\":\"\xff\"}"); }, nullptr,
       "DESKTOP_REQUEST_INVALID", ""},
      {"CompactFormTooLarge", growing_request, nullptr, "DESKTOP_REQUEST_INVALID", ""},
      {"EmptyOperationId", [] { return encode_request(inspect("")); }, nullptr, "DESKTOP_TARGET_INVALID", ""},
      {"OperationIdOf161", [] { return encode_request(inspect(std::string(161, 'a'))); }, nullptr,
       "DESKTOP_TARGET_INVALID", ""},
      {"OtherProtocol", [] { Request r = inspect("op-r"); r.protocol = 2; return encode_request(r); }, nullptr,
       "DESKTOP_PROTOCOL_INCOMPATIBLE", "op-r"},
      {"StaleObservation",
       [] {
         Request r = click("op-r");
         std::get<Click>(r.action).window.observed_at = kEpoch - 20s;
         return encode_request(r);
       },
       nullptr, "DESKTOP_OBSERVATION_STALE", "op-r"},
      {"ConsumedByFullscreenPilot", valid, ledger, "DESKTOP_FULLSCREEN_OPERATION_CONSUMED", "op-r"},
  };
}

INSTANTIATE_TEST_SUITE_P(Cases, Refusal, ::testing::ValuesIn(refusal_cases()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ExecuteTransaction, AGrowingRequestFitsItsFileLimitButNotTheFrame) {
  const std::string text = growing_request();
  EXPECT_LE(text.size(), 16384u);
  auto decoded = decode_request(text);
  ASSERT_TRUE(decoded) << decoded.error().display_chain();
  EXPECT_GT(encode_request(*decoded).size(), 16384u);
}

TEST_F(ExecuteTransaction, AnInputPolicyRefusalIsReportedAndAPolicySkipsTheLedger) {
  const InputPolicyArgument refused = Result<ArmedInputPolicy>(fail("DESKTOP_FULLSCREEN_OPERATION_CONSUMED"));
  const CliDocument doc = run(inspect(), refused);
  EXPECT_EQ(text_of(doc.find("code")), "DESKTOP_FULLSCREEN_OPERATION_CONSUMED");
  EXPECT_TRUE(seen.empty());

  ArmedInputPolicy policy;
  policy.arm_id = "arm-1";
  policy.operation_id = "op-1";
  policy.session_id = 1;
  policy.scope = InputPolicyScope::kVisibleSingleAction;
  worker_answers(answer(inspect(), std::string(kObservedCode)));
  EXPECT_EQ(result_code(run(inspect(), Result<ArmedInputPolicy>(policy))), "DESKTOP_OBSERVED");
  ASSERT_EQ(seen.size(), 1u);
  // The ReadyAck carries the policy to the worker.
  EXPECT_NE(seen[0]->written.at(0).find("arm-1"), std::string::npos);
}

TEST_F(ExecuteTransaction, TheExecuteVerbReadsItsRequestFileUnderItsBound) {
  worker_answers(answer(inspect(), std::string(kObservedCode)));
  const std::string text = encode_request(inspect());
  ASSERT_TRUE(write_whole_file(fs, "C:\\s\\request.json", Bytes(text.begin(), text.end())));
  ASSERT_TRUE(write_whole_file(fs, "C:\\s\\big.json", Bytes(16385, ' ')));

  OneShotServices services;
  services.execute = [this](const cmd::Execute& c) { return run_execute(exec, c); };
  auto doc = run_standalone_command(cmd::Execute{"C:\\s\\request.json", "C:\\s"}, services);
  ASSERT_TRUE(doc) << doc.error().display_chain();
  EXPECT_EQ(result_code(*doc), "DESKTOP_OBSERVED");

  auto big = run_execute(exec, cmd::Execute{"C:\\s\\big.json", "C:\\s"});
  ASSERT_FALSE(big);
  EXPECT_EQ(error_code_of(big.error()), "DESKTOP_FILE_TOO_LARGE");
  auto missing = run_execute(exec, cmd::Execute{"C:\\s\\none.json", "C:\\s"});
  ASSERT_FALSE(missing);
  EXPECT_EQ(error_code_of(missing.error()), "DESKTOP_FILE_UNAVAILABLE");
}

}  // namespace
}  // namespace vor::desktop
