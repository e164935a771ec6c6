#include <gtest/gtest.h>

#include <map>

#include "common/text.h"
#include "native/observation.h"
#include "readiness/occlusion.h"
#include "support/fake_frame_pipe.h"
#include "standalone/cli/error_codes.h"
#include "standalone/worker/worker_mode.h"

namespace vor::desktop {
namespace {

using testing::FakeFramePipe;

constexpr std::uint32_t kWorkerPid = 42;
constexpr std::uint32_t kBrokerPid = 500;
const std::string kExe = "C:\\Vor\\Vor.Marionet.exe";

// The worker (pid 42) in session 1 and a broker (pid 500) whose facts each
// case changes; `failing` names a query that fails.
class FakeBrokerIdentity final : public ProcSys, public BrokerIdentitySys {
 public:
  std::map<std::uint32_t, std::uint32_t> sessions{{kWorkerPid, 1}, {kBrokerPid, 1}};
  std::map<std::uint32_t, std::string> sids{{kWorkerPid, "S-1-5-21-7"}, {kBrokerPid, "S-1-5-21-7"}};
  std::string own_path = kExe;
  std::u16string broker_path = u"\\\\?\\c:\\VOR\\vor.marionet.EXE";
  std::string failing;
  std::vector<std::string> calls;

  WorkerPorts ports() { return {*this, *this}; }

  class Proc final : public Process {
   public:
    Proc(FakeBrokerIdentity& owner, std::uint32_t pid) : owner_(owner), pid_(pid) {}
    Win32<std::uint64_t> creation_time() override { return 1u; }
    Win32<bool> has_exited() override { return false; }
    Win32<std::u16string> image_path() override {
      owner_.calls.push_back("image_path");
      if (owner_.failing == "image_path") return win32_error(31);
      return owner_.broker_path;
    }
    Result<std::string> user_sid() override {
      owner_.calls.push_back("process_user_sid");
      if (owner_.failing == "process_user_sid") return fail(Error::os(1312).context("DESKTOP_TOKEN_UNAVAILABLE"));
      return owner_.sids.at(pid_);
    }

   private:
    FakeBrokerIdentity& owner_;
    std::uint32_t pid_;
  };

  Win32<std::unique_ptr<Process>> open(std::uint32_t pid, Access) override {
    calls.push_back("open_process");
    if (failing == "open_process") return win32_error(5);
    return std::unique_ptr<Process>(new Proc(*this, pid));
  }
  Result<std::string> own_image_path() override {
    calls.push_back("own_image_path");
    return own_path;
  }
  Win32<std::uint32_t> process_session_id(std::uint32_t pid) override {
    calls.push_back("process_session_id");
    return sessions.at(pid);
  }
  std::uint32_t current_process_id() override { return kWorkerPid; }
  std::string lower_case(std::string_view text) override { return ascii_lower(text); }
};

struct IdentityCase {
  const char* name;
  std::function<void(FakeBrokerIdentity&)> script;
  const char* code;  // nullptr: accepted
};

TEST(CheckBrokerIdentity, AcceptsOnlyItsOwnExecutableAsItsUserOrAsSystemInSessionZero) {
  const IdentityCase cases[] = {
      {"same user, same session, path differs only in case and prefix", [](FakeBrokerIdentity&) {}, nullptr},
      {"another executable", [](FakeBrokerIdentity& f) { f.broker_path = u"C:\\Vor\\Other.exe"; },
       "DESKTOP_PEER_NOT_AUTHORIZED"},
      {"another user in the session", [](FakeBrokerIdentity& f) { f.sids[kBrokerPid] = "S-1-5-21-8"; },
       "DESKTOP_PEER_NOT_AUTHORIZED"},
      {"SYSTEM in session 0",
       [](FakeBrokerIdentity& f) {
         f.sessions[kBrokerPid] = 0;
         f.sids[kBrokerPid] = "S-1-5-18";
       },
       nullptr},
      {"SYSTEM in session 0, another executable",
       [](FakeBrokerIdentity& f) {
         f.sessions[kBrokerPid] = 0;
         f.sids[kBrokerPid] = "S-1-5-18";
         f.broker_path = u"C:\\Elsewhere\\Vor.Marionet.exe";
       },
       "DESKTOP_PEER_NOT_AUTHORIZED"},
      {"the worker's user in session 0", [](FakeBrokerIdentity& f) { f.sessions[kBrokerPid] = 0; },
       "DESKTOP_PEER_NOT_AUTHORIZED"},
      {"the worker's user in a third session", [](FakeBrokerIdentity& f) { f.sessions[kBrokerPid] = 3; },
       "DESKTOP_PEER_NOT_AUTHORIZED"},
      {"server cannot be opened", [](FakeBrokerIdentity& f) { f.failing = "open_process"; },
       "DESKTOP_PROCESS_UNAVAILABLE"},
      {"user SIDs unreadable", [](FakeBrokerIdentity& f) { f.failing = "process_user_sid"; },
       "DESKTOP_TOKEN_UNAVAILABLE"},
      {"session 0 SID unreadable",
       [](FakeBrokerIdentity& f) {
         f.sessions[kBrokerPid] = 0;
         f.failing = "process_user_sid";
       },
       "DESKTOP_PEER_UNAVAILABLE"},
      {"image unreadable", [](FakeBrokerIdentity& f) { f.failing = "image_path"; }, "DESKTOP_PEER_IMAGE_UNAVAILABLE"},
  };
  for (const auto& c : cases) {
    FakeBrokerIdentity f;
    c.script(f);
    const Status s = check_broker_identity(f.ports(), kBrokerPid, 1);
    if (c.code == nullptr) {
      EXPECT_TRUE(s) << c.name << ": " << s.error().display_chain();
    } else {
      ASSERT_FALSE(s) << c.name;
      EXPECT_EQ(error_code_of(s.error()), c.code) << c.name;
    }
  }
}

TEST(CheckBrokerIdentity, TheFirstFailureSkipsTheRemainingChecks) {
  FakeBrokerIdentity f;
  f.failing = "open_process";
  ASSERT_FALSE(check_broker_identity(f.ports(), kBrokerPid, 1));
  EXPECT_EQ(f.calls, std::vector<std::string>{"open_process"});

  FakeBrokerIdentity g;
  EXPECT_TRUE(check_broker_identity(g.ports(), kBrokerPid, 1));
  // The server's SID is read through the handle already open; the worker's
  // own through a process of its own.
  EXPECT_EQ(g.calls, (std::vector<std::string>{"open_process", "own_image_path", "process_session_id",
                                               "process_user_sid", "open_process", "process_user_sid",
                                               "image_path"}));
}

const std::string kClick =
    R"({"protocol":1,"operationId":"op-1","sessionId":1,"action":{"kind":"click","window":{"minimized":false,)"
    R"("handle":132456,"processId":4242,"processCreated":133000000000000000,"rect":{"left":-8,"top":0,"right":1280,)"
    R"("bottom":1024},"title":"Editor","observedAt":"2026-03-04T05:06:07.250Z","lastInputTick":4294967295,)"
    R"("foreground":true},"x":-5,"y":7}})";
std::string with_kind(const std::string& action_json) {
  return R"({"protocol":1,"operationId":"op-1","sessionId":1,"action":)" + action_json + "}";
}

std::string with_session(std::string request, std::uint32_t session) {
  const std::string from = "\"sessionId\":1";
  request.replace(request.find(from), from.size(), "\"sessionId\":" + std::to_string(session));
  return request;
}

// The same window as a focus and an element action.
std::string focus_of(const std::string& click) {
  std::string window = click.substr(click.find("\"window\":"));
  window = window.substr(0, window.find(",\"x\":"));
  return with_kind("{\"kind\":\"focus\"," + window + "}");
}
std::string element_action_of(const std::string& click) {
  std::string window = click.substr(click.find("\"window\":"));
  window = window.substr(0, window.find(",\"x\":"));
  return with_kind("{\"kind\":\"element_action\"," + window +
                   R"(,"selector":{"automationId":"btn","name":null,"className":null,"controlType":50000},)"
                   R"("operation":{"kind":"invoke"},"verify":{"selector":{"automationId":"btn","name":null,)"
                   R"("className":null,"controlType":50000},"condition":{"kind":"absent"}},"timeoutMs":3000})");
}

const std::string kReadyJson = R"({"protocol":1,"processId":42,"sessionId":1,"code":"DESKTOP_WORKER_READY"})";


Result<Response> executor_fails(const Request&, const std::optional<ArmedInputPolicy>&, InputFlags& flags) {
  flags.dispatched = true;
  return fail("desktop operation executor is not available in this build");
}

// The snapshot a fake readiness query takes of `session`.
NoticeContext snapshot_of(std::uint32_t session) {
  NoticeContext c;
  c.worker_session_id = session;
  c.input_desktop_available = true;
  c.input_desktop_name = "Default";
  c.notification_state_name = "accepts_notifications";
  c.foreground_handle = "0";
  return c;
}

struct Exchange {
  FakeFramePipe pipe;
  FakeBrokerIdentity identity;
  DesktopExecutor executor = executor_fails;
  std::vector<std::uint32_t> snapshots;  // sessions whose readiness was queried
  Status run() {
    return run_worker_exchange(pipe, identity.ports(), WorkerArgs{"\\\\.\\pipe\\Vor.Desktop.x", kBrokerPid, 1}, executor,
                               [this](std::uint32_t session) {
                                 snapshots.push_back(session);
                                 return snapshot_of(session);
                               });
  }
};

TEST(WorkerExchange, AProbeAcknowledgementEndsTheWorkerAfterWorkerReady) {
  Exchange x;
  x.pipe.reads.push_back(R"({"protocol":1,"execute":false})");
  EXPECT_TRUE(x.run());
  EXPECT_EQ(x.pipe.written, std::vector<std::string>{kReadyJson});
  EXPECT_EQ(x.pipe.reads_done, 1);
}

TEST(WorkerExchange, AnIdentityFailureIsReportedThenEndsTheWorkerAfterTheAck) {
  Exchange x;
  x.identity.failing = "open_process";
  x.pipe.reads.push_back(R"({"protocol":1,"execute":true})");
  x.pipe.reads.push_back(kClick);
  const Status s = x.run();
  ASSERT_FALSE(s);
  EXPECT_EQ(error_code_of(s.error()), "DESKTOP_PROCESS_UNAVAILABLE");
  EXPECT_EQ(x.pipe.written, std::vector<std::string>{R"({"protocol":1,"processId":42,"sessionId":1,)"
                                                     R"("code":"DESKTOP_PROCESS_UNAVAILABLE","win32Error":5})"});
  EXPECT_EQ(x.pipe.reads_done, 1);  // no request is read
}

TEST(WorkerExchange, EndsWithoutAnotherMessageOnABadAckOrPipe) {
  struct Case {
    const char* name;
    std::vector<std::string> reads;
    const char* code;
  };
  const Case cases[] = {
      {"protocol 2", {R"({"protocol":2,"execute":true})", kClick}, "DESKTOP_PROTOCOL_INCOMPATIBLE"},
      {"undecodable ack", {R"({"protocol":1})", kClick}, "DESKTOP_OPERATION_FAILED"},
      {"no ack", {}, "DESKTOP_OPERATION_FAILED"},
      {"request for another session",
       {R"({"protocol":1,"execute":true})", with_session(kClick, 2)},
       "DESKTOP_SESSION_MISMATCH"},
      {"oversized request", {R"({"protocol":1,"execute":true})", std::string(16385, ' ')}, "DESKTOP_FRAME_SIZE_INVALID"},
  };
  for (const auto& c : cases) {
    Exchange x;
    for (const auto& r : c.reads) x.pipe.reads.push_back(r);
    const Status s = x.run();
    ASSERT_FALSE(s) << c.name;
    EXPECT_EQ(error_code_of(s.error()), c.code) << c.name;
    EXPECT_EQ(x.pipe.written, std::vector<std::string>{kReadyJson}) << c.name;
  }
}

TEST(WorkerExchange, AnExecutorFailureIsAnsweredWithAResponse) {
  Exchange x;
  x.pipe.reads.push_back(R"({"protocol":1,"execute":true})");
  x.pipe.reads.push_back(kClick);
  ASSERT_TRUE(x.run());
  ASSERT_EQ(x.pipe.written.size(), 2u);
  auto response = decode_response(x.pipe.written[1]);
  ASSERT_TRUE(response);
  EXPECT_EQ(response->operation_id, "op-1");
  EXPECT_EQ(response->session_id, 1u);
  EXPECT_EQ(response->code, "DESKTOP_OPERATION_FAILED");
  EXPECT_EQ(response->next_safe_action, kDefaultGuidance);
  ASSERT_TRUE(response->input_diagnostic);
  EXPECT_EQ(response->input_diagnostic->mode, "visible_per_action");
  EXPECT_TRUE(response->input_diagnostic->input_dispatched);
  EXPECT_EQ(response->notice_context, snapshot_of(1)) << "the failure carried none: the session's snapshot";
  EXPECT_EQ(x.snapshots, std::vector<std::uint32_t>{1});
}

TEST(WorkerExchange, TheNoticeContextOfAResponseIsTheCarriedOneOrElseTheSessionsSnapshot) {
  NoticeContext locked = snapshot_of(1);
  locked.input_desktop_available = false;
  locked.input_desktop_name = "Winlogon";
  struct Case {
    const char* name;
    DesktopExecutor executor;
    std::string code;
    NoticeContext expected;
    std::size_t snapshots;
  };
  const Case cases[] = {
      {"a readiness refusal carries the snapshot that caused it",
       [&](const Request&, const std::optional<ArmedInputPolicy>&, InputFlags&) -> Result<Response> {
         return fail(Error::with("DESKTOP_LOCKED_OR_UNAVAILABLE", locked));
       },
       "DESKTOP_LOCKED_OR_UNAVAILABLE", locked, 0},
      {"a success without a snapshot",
       [](const Request& r, const std::optional<ArmedInputPolicy>&, InputFlags&) -> Result<Response> {
         return build_response(r, "DESKTOP_INPUT_SENT", "x");
       },
       "DESKTOP_INPUT_SENT", snapshot_of(1), 1},
      {"a success with its own snapshot",
       [&](const Request& r, const std::optional<ArmedInputPolicy>&, InputFlags&) -> Result<Response> {
         Response response = build_response(r, "DESKTOP_INPUT_SENT", "x");
         response.notice_context = locked;
         return response;
       },
       "DESKTOP_INPUT_SENT", locked, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Exchange x;
    x.executor = c.executor;
    x.pipe.reads.push_back(R"({"protocol":1,"execute":true})");
    x.pipe.reads.push_back(kClick);
    ASSERT_TRUE(x.run());
    ASSERT_EQ(x.pipe.written.size(), 2u);
    auto response = decode_response(x.pipe.written[1]);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->code, c.code);
    EXPECT_EQ(response->notice_context, c.expected);
    EXPECT_EQ(x.snapshots.size(), c.snapshots);
  }
}

TEST(WorkerExchange, AFailedWorkerReadyWriteEndsTheWorker) {
  Exchange x;
  x.pipe.write_error = Error::os(232);
  ASSERT_FALSE(x.run());
  EXPECT_EQ(x.pipe.reads_done, 0);
}

Request request_of(const std::string& json) { return *decode_request(json); }

TEST(ExecutorFailureResponse, TheWholeOutermostMessageIsTheCodeWhenItLooksLikeOne) {
  const Request request = request_of(kClick);
  const std::string ninety_nine = "DESKTOP_" + std::string(91, 'A');
  struct Case {
    Error error;
    std::string code;
  };
  const Case cases[] = {
      {Error("DESKTOP_ELEMENT_AMBIGUOUS"), "DESKTOP_ELEMENT_AMBIGUOUS"},
      {Error("DESKTOP_ELEMENT_AMBIGUOUS").context("while searching"), "DESKTOP_OPERATION_FAILED"},
      {Error("DESKTOP_ELEMENT_AMBIGUOUS: two matches"), "DESKTOP_ELEMENT_AMBIGUOUS: two matches"},
      {Error(ninety_nine), ninety_nine},
      {Error(ninety_nine + "A"), "DESKTOP_OPERATION_FAILED"},
      {Error("DESKTOP"), "DESKTOP_OPERATION_FAILED"},
  };
  for (const auto& c : cases) {
    const Response r = executor_failure_response(request, c.error);
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.next_safe_action, guidance_text(c.code));
    EXPECT_EQ(r.operation_id, "op-1");
  }
  EXPECT_NE(guidance_text("DESKTOP_ELEMENT_AMBIGUOUS"), kDefaultGuidance);
}

TEST(ExecutorFailureResponse, CopiesTheNoticeContextThatTheChainCarries) {
  const Request request = request_of(kClick);
  NoticeContext ctx = snapshot_of(1);
  ctx.screensaver_running = true;
  const Response refused = executor_failure_response(request, Error::with("DESKTOP_NOTICE_PROOF_UNAVAILABLE", ctx));
  EXPECT_EQ(refused.code, "DESKTOP_NOTICE_PROOF_UNAVAILABLE");
  EXPECT_EQ(refused.notice_context, ctx);
  // Deeper in the chain it is still copied; the code rule reads only the outermost message.
  const Response wrapped = executor_failure_response(
      request, Error::with("DESKTOP_LOCKED_OR_UNAVAILABLE", ctx).context("while showing the notice"));
  EXPECT_EQ(wrapped.code, "DESKTOP_OPERATION_FAILED");
  EXPECT_EQ(wrapped.notice_context, ctx);
  EXPECT_EQ(executor_failure_response(request, Error("DESKTOP_TARGET_CHANGED")).notice_context, std::nullopt);
}


TEST(ExecutorFailureResponse, CopiesATargetChangeAndReplacesTheGuidanceOfAVisibilityFailure) {
  const Request request = request_of(kClick);
  TargetDiagnostic d;
  d.phase = TargetPhase::kBeforeInput;
  d.foreground_changed = true;
  const Response changed = executor_failure_response(request, target_changed_error(d));
  EXPECT_EQ(changed.code, "DESKTOP_TARGET_CHANGED");
  EXPECT_EQ(changed.next_safe_action, guidance_text("DESKTOP_TARGET_CHANGED"));
  EXPECT_EQ(changed.target_diagnostic, d);

  const Response hidden = executor_failure_response(
      request, Error::with("DESKTOP_CAPTURE_OCCLUSION_UNKNOWN", VisibilityFailure{"DESKTOP_CAPTURE_OCCLUSION_UNKNOWN"}));
  EXPECT_EQ(hidden.code, "DESKTOP_CAPTURE_OCCLUSION_UNKNOWN");
  EXPECT_NE(hidden.next_safe_action, guidance_text("DESKTOP_CAPTURE_OCCLUSION_UNKNOWN"));
  EXPECT_TRUE(hidden.next_safe_action.starts_with("Windows could not confirm the exact crop's visual visibility."));
}

TEST(CompleteWorkerResponse, InputDiagnosticByKindAndPolicy) {
  ArmedInputPolicy policy;
  policy.arm_id = "arm-9";
  policy.scope = InputPolicyScope::kFullscreenDiagnostic;
  const std::string launch = with_kind(R"({"kind":"launch","program":"C:\\x.exe","arguments":[]})");
  const std::string find = with_kind(R"({"kind":"find_windows","selector":{"processId":null,"title":"E"},"timeoutMs":1000})");
  struct Case {
    std::string request;
    bool with_policy;
    std::optional<std::string> mode;  // nullopt: no diagnostic
  };
  const Case cases[] = {
      {kClick, false, "visible_per_action"},
      {kClick, true, "fullscreen_diagnostic"},
      {focus_of(kClick), false, std::nullopt},
      {focus_of(kClick), true, "fullscreen_diagnostic"},
      {element_action_of(kClick), false, "visible_semantic_uia"},
      {launch, false, std::nullopt},
      {find, true, std::nullopt},
  };
  for (const auto& c : cases) {
    const Request request = request_of(c.request);
    Response r = build_response(request, "DESKTOP_OBSERVED", "x");
    InputFlags flags;
    flags.dispatched = true;
    complete_worker_response(r, request, c.with_policy ? std::optional(policy) : std::nullopt, flags);
    ASSERT_EQ(r.input_diagnostic.has_value(), c.mode.has_value()) << c.request;
    if (!c.mode) continue;
    EXPECT_EQ(r.input_diagnostic->mode, *c.mode);
    EXPECT_EQ(r.input_diagnostic->arm_id, c.with_policy ? std::optional<std::string>("arm-9") : std::nullopt);
    EXPECT_TRUE(r.input_diagnostic->input_dispatched);
    EXPECT_FALSE(r.input_diagnostic->entry_issued);
  }
}

TEST(CompleteWorkerResponse, ExecutionEvidenceForEveryKindButLaunch) {
  const std::string launch = with_kind(R"({"kind":"launch","program":"C:\\x.exe","arguments":[]})");
  struct Case {
    std::string request;
    std::string code;
    bool dispatched;
    std::optional<std::string> delivery;  // nullopt: no execution
    std::string verification;
  };
  const Case cases[] = {
      {kClick, "DESKTOP_INPUT_OUTCOME_UNKNOWN", false, "unknown", "unknown"},
      {kClick, "DESKTOP_INPUT_SENT", true, "attempted_once", "not_verified"},
      {focus_of(kClick), "DESKTOP_FOCUS_ACCEPTED", true, "not_applicable", "foreground_observed"},
      {element_action_of(kClick), "DESKTOP_TARGET_CHANGED", false, "not_dispatched", "not_verified"},
      {launch, "DESKTOP_LAUNCHED", true, std::nullopt, ""},
  };
  for (const auto& c : cases) {
    const Request request = request_of(c.request);
    Response r = build_response(request, c.code, "x");
    InputFlags flags;
    flags.dispatched = c.dispatched;
    complete_worker_response(r, request, std::nullopt, flags);
    ASSERT_EQ(r.execution.has_value(), c.delivery.has_value()) << c.request;
    if (!c.delivery) continue;
    EXPECT_EQ(r.execution->delivery, *c.delivery) << c.request;
    EXPECT_EQ(r.execution->verification, c.verification) << c.request;
    EXPECT_EQ(r.execution->reason_code, c.code) << c.request;
  }
}

}  // namespace
}  // namespace vor::desktop
