// The session host's dispatch table, row by row: which actions renew the
// lease, what work each runs and what document it answers.
#include "session/host_dispatch.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "fake_lease_clock.h"
#include "protocol/request.h"
#include "session/documents.h"
#include "standalone/cli/error_codes.h"

namespace vor::desktop {
namespace {

using testing::FakeLeaseClock;
using testing::RecordedExit;
using namespace std::chrono_literals;

constexpr std::uint32_t kHostSession = 3;
constexpr const char* kStateDir = "C:\\state";

Request request(std::string operation_id, std::uint32_t session = kHostSession, std::uint32_t protocol = 1) {
  return Request{protocol, std::move(operation_id), session, Inspect{}};
}

// A document with one window whose ids are numbers, as the broker work gives it.
CliDocument windows_document(std::string code) {
  return json::Object{{"code", std::move(code)},
                      {"result", json::Object{{"windows", json::Array{json::Object{{"handle", std::uint64_t{66051}},
                                                                                    {"processCreated", std::uint64_t{7}}}}}}}};
}

std::string text(const CliDocument& document, std::string_view key) {
  const json::Value* v = document.find(key);
  if (v == nullptr) return "<absent>";
  if (v->is_null()) return "<null>";
  return v->as_string() ? *v->as_string() : "<not text>";
}

bool window_handle_is_text(const CliDocument& document) {
  const json::Value* window = &document.find("result")->find("windows")->as_array()->front();
  return window->find("handle")->as_string() != nullptr;
}

struct Calls {
  std::vector<std::string> execute_requests;
  std::vector<std::optional<std::string>> execute_policies;  // the policy's code
  std::vector<std::string> status_ids, export_ids, reconcile_ids, reconcile_observations;
  std::vector<std::string> state_dirs;
};

class Dispatch : public ::testing::Test {
 protected:
  Dispatch() {
    auto started = start_lease_thread(clock, exit.function());
    lease.emplace(std::move(*started));
    lease_end_operation(*lease);  // start-up done: idle with 300 s
    clock.advance(100s);          // 200 s left
    broker.execute = [this](std::string_view body, std::string_view dir, const std::optional<Error>& policy) {
      calls.execute_requests.emplace_back(body);
      calls.state_dirs.emplace_back(dir);
      calls.execute_policies.push_back(policy ? std::optional(error_code_of(*policy)) : std::nullopt);
      clock.advance(work_time);
      return work_result;
    };
    broker.operation_status = [this](const cmd::Status& c) {
      calls.status_ids.push_back(c.operation_id);
      calls.state_dirs.push_back(c.state_dir);
      return work_result;
    };
    broker.export_image = [this](const cmd::ImageExport& c) {
      calls.export_ids.push_back(c.operation_id);
      calls.state_dirs.push_back(c.state_dir);
      return work_result;
    };
    broker.reconcile = [this](const cmd::Reconcile& c) {
      calls.reconcile_ids.push_back(c.operation_id);
      calls.reconcile_observations.push_back(c.observation_id);
      calls.state_dirs.push_back(c.state_dir);
      clock.advance(work_time);
      return work_result;
    };
  }

  CliDocument dispatch(const SessionAction& action) {
    HostSession session{kHostSession, kStateDir, *lease, ledger, broker};
    CliDocument result = dispatch_session_action(session, action);
    ended = session.end_after_client;
    return result;
  }
  std::chrono::seconds remaining() {
    return std::chrono::duration_cast<std::chrono::seconds>(idle_remaining_seconds(*lease));
  }

  FakeLeaseClock clock;
  RecordedExit exit;
  std::optional<SessionLease> lease;
  FullscreenLedger ledger{"armed-op"};
  HostBroker broker;
  Calls calls;
  Result<CliDocument> work_result = windows_document("DESKTOP_OBSERVED");
  std::chrono::nanoseconds work_time{2s};
  bool ended = false;
};

struct Row {
  const char* name;
  SessionAction action;
  bool work_fails;
  const char* code;
  const char* operation_id;  // nullptr: null in the document
  bool renews;
  bool windows_rewritten;
};

TEST_F(Dispatch, EachActionAnswersAndRenewsTheLeaseAsItsRowSays) {
  const std::vector<Row> rows = {
      {"execute", SessionExecute{request("op-1")}, false, "DESKTOP_OBSERVED", nullptr, true, true},
      {"execute failing", SessionExecute{request("op-1")}, true, "DESKTOP_CAPTURE_INVALID", "op-1", true, false},
      {"execute of another session", SessionExecute{request("op-1", 4)}, false, "DESKTOP_SESSION_MISMATCH", "op-1",
       false, false},
      {"execute of protocol 2", SessionExecute{request("op-1", kHostSession, 2)}, false, "DESKTOP_REQUEST_INVALID",
       "op-1", false, false},
      {"execute with a bad id", SessionExecute{request("op 1")}, false, "DESKTOP_REQUEST_INVALID", nullptr, false,
       false},
      {"operationStatus", SessionOperationStatus{"op-2"}, false, "DESKTOP_OBSERVED", nullptr, false, true},
      {"operationStatus failing", SessionOperationStatus{"op-2"}, true, "DESKTOP_CAPTURE_INVALID", "op-2", false,
       false},
      {"exportImage", SessionExportImage{"op-3"}, false, "DESKTOP_OBSERVED", nullptr, false, false},
      {"exportImage failing", SessionExportImage{"op-3"}, true, "DESKTOP_CAPTURE_INVALID", nullptr, false, false},
      {"reconcile", SessionReconcile{"op-4", "obs-1"}, false, "DESKTOP_OBSERVED", nullptr, true, true},
      {"reconcile failing", SessionReconcile{"op-4", "obs-1"}, true, "DESKTOP_CAPTURE_INVALID", "op-4", true, false},
      {"fullscreenBegin", SessionFullscreenBegin{json::Value(nullptr)}, false, "DESKTOP_FULLSCREEN_UNSUPPORTED",
       nullptr, false, false},
      {"fullscreenStatus", SessionFullscreenStatus{"op-5"}, false, "DESKTOP_FULLSCREEN_UNSUPPORTED", nullptr, false,
       false},
      {"fullscreenEnd", SessionFullscreenEnd{"op-5"}, false, "DESKTOP_FULLSCREEN_UNSUPPORTED", nullptr, false, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(lease_begin_operation(*lease));  // back to a known idle period: 200 s left
    clock.advance(1s);
    ASSERT_TRUE(lease_end_operation(*lease));
    clock.advance(100s);
    work_result = row.work_fails ? Result<CliDocument>(fail(coded("DESKTOP_CAPTURE_INVALID", "bad image")))
                                 : Result<CliDocument>(windows_document("DESKTOP_OBSERVED"));
    const CliDocument result = dispatch(row.action);
    EXPECT_EQ(text(result, "code"), row.code);
    if (row.work_fails || std::string(row.code) != "DESKTOP_OBSERVED") {
      EXPECT_EQ(text(result, "operationId"), row.operation_id ? row.operation_id : "<null>");
      EXPECT_EQ(text(result, "schemaVersion"), "vor.desktop-cli/v1");
      EXPECT_EQ(text(result, "nextSafeAction"), std::string(guidance_text(row.code)));
    } else {
      EXPECT_EQ(window_handle_is_text(result), row.windows_rewritten);
    }
    // A renewed lease starts its 300 s when the work ends; else 200 s are left.
    EXPECT_EQ(remaining(), row.renews ? 300s : 200s);
    EXPECT_FALSE(ended);
  }
  // The work saw the host's state directory and the request re-encoded compactly.
  ASSERT_EQ(calls.execute_requests.size(), 2u);
  EXPECT_EQ(calls.execute_requests[0], encode_request(request("op-1")));
  EXPECT_EQ(calls.execute_policies[0], std::nullopt);
  EXPECT_EQ(calls.status_ids, (std::vector<std::string>{"op-2", "op-2"}));
  EXPECT_EQ(calls.export_ids, (std::vector<std::string>{"op-3", "op-3"}));
  EXPECT_EQ(calls.reconcile_ids, (std::vector<std::string>{"op-4", "op-4"}));
  EXPECT_EQ(calls.reconcile_observations, (std::vector<std::string>{"obs-1", "obs-1"}));
  for (const std::string& dir : calls.state_dirs) EXPECT_EQ(dir, kStateDir);
}

TEST_F(Dispatch, StatusReportsTheLeaseWithoutRenewingIt) {
  const CliDocument first = dispatch(SessionStatus{});
  clock.advance(1s);
  const CliDocument second = dispatch(SessionStatus{});
  EXPECT_EQ(text(first, "code"), "DESKTOP_SESSION_READY");
  EXPECT_EQ(*first.find("sessionId")->as_unsigned(), kHostSession);
  EXPECT_EQ(*first.find("idleRemainingSeconds")->as_unsigned(), 200u);
  EXPECT_EQ(*second.find("idleRemainingSeconds")->as_unsigned(), 199u);
  EXPECT_EQ(remaining(), 199s);
}

TEST_F(Dispatch, CloseAnswersTheClosedDocumentAndEndsAfterTheClient) {
  const CliDocument result = dispatch(SessionClose{});
  EXPECT_EQ(result, session_closed_document(kHostSession));
  EXPECT_TRUE(ended);
  EXPECT_EQ(remaining(), 200s);
}

TEST_F(Dispatch, AnOperationIdOfTheFullscreenLedgerReachesTheTransactionAsItsRefusedPolicy) {
  dispatch(SessionExecute{request("armed-op")});
  ASSERT_EQ(calls.execute_policies.size(), 1u);
  EXPECT_EQ(calls.execute_policies[0], std::optional<std::string>("DESKTOP_FULLSCREEN_OPERATION_CONSUMED"));
}

TEST_F(Dispatch, ABeginRefusedAfterTheIdleDeadlineAnswersExpiredWithoutWork) {
  clock.advance(200s);  // the deadline has passed; the watchdog's grace second has not
  EXPECT_EQ(text(dispatch(SessionExecute{request("op-1")}), "code"), "DESKTOP_SESSION_EXPIRED");
  EXPECT_EQ(text(dispatch(SessionExecute{request("op-1")}), "operationId"), "op-1");
  const CliDocument reconciled = dispatch(SessionReconcile{"op-4", "obs-1"});
  EXPECT_EQ(text(reconciled, "code"), "DESKTOP_SESSION_EXPIRED");
  EXPECT_EQ(text(reconciled, "operationId"), "<null>");
  EXPECT_TRUE(calls.execute_requests.empty());
  EXPECT_TRUE(calls.reconcile_ids.empty());
}

TEST_F(Dispatch, WorkOutlastingItsAllowanceIsAnUnknownOutcome) {
  work_time = 31s;
  const CliDocument executed = dispatch(SessionExecute{request("op-1")});
  EXPECT_EQ(text(executed, "code"), "DESKTOP_OUTCOME_UNKNOWN");
  EXPECT_EQ(text(executed, "operationId"), "op-1");
  EXPECT_EQ(exit.await_code(), 124);  // the watchdog ends the host meanwhile
  EXPECT_EQ(calls.execute_requests.size(), 1u);
}

TEST_F(Dispatch, ReconcileOutlastingItsAllowanceIsAnUnknownOutcomeWithoutId) {
  work_time = 31s;
  const CliDocument reconciled = dispatch(SessionReconcile{"op-4", "obs-1"});
  EXPECT_EQ(text(reconciled, "code"), "DESKTOP_OUTCOME_UNKNOWN");
  EXPECT_EQ(text(reconciled, "operationId"), "<null>");
}

TEST_F(Dispatch, WorkNotBoundAnswersOperationFailed) {
  broker = HostBroker{};
  EXPECT_EQ(text(dispatch(SessionExecute{request("op-1")}), "code"), "DESKTOP_OPERATION_FAILED");
  EXPECT_EQ(text(dispatch(SessionOperationStatus{"op-2"}), "code"), "DESKTOP_OPERATION_FAILED");
  EXPECT_EQ(text(dispatch(SessionExportImage{"op-3"}), "code"), "DESKTOP_OPERATION_FAILED");
  EXPECT_EQ(text(dispatch(SessionReconcile{"op-4", "obs-1"}), "code"), "DESKTOP_OPERATION_FAILED");
}

TEST(HostResults, StateWriteAndProtectionFailuresEndTheHost) {
  const std::vector<std::pair<const char*, bool>> codes = {
      {"DESKTOP_STATE_WRITE_FAILED", true}, {"DESKTOP_STATE_PROTECTION_FAILED", true},
      {"DESKTOP_STATE_INVALID", false},     {"DESKTOP_OBSERVED", false},
  };
  for (const auto& [code, ends] : codes) {
    EXPECT_EQ(result_ends_host(error_guidance(code, std::nullopt)), ends) << code;
  }
  EXPECT_FALSE(result_ends_host(json::Object{{"code", std::uint64_t{1}}}));
  EXPECT_FALSE(result_ends_host(json::Object{}));
}

TEST(HostResults, AnAuthenticationFailureCarriesItsCodeAndWin32Number) {
  const CliDocument with_os = authentication_failure_document(coded_os("DESKTOP_PEER_UNAVAILABLE", 233));
  EXPECT_EQ(text(with_os, "code"), "DESKTOP_PEER_UNAVAILABLE");
  EXPECT_EQ(text(with_os, "operationId"), "<null>");
  ASSERT_NE(with_os.find("win32Error"), nullptr);
  EXPECT_EQ(*with_os.find("win32Error")->as_unsigned(), 233u);
  const CliDocument without = authentication_failure_document(coded("DESKTOP_PEER_NOT_AUTHORIZED", "another image"));
  EXPECT_EQ(text(without, "code"), "DESKTOP_PEER_NOT_AUTHORIZED");
  EXPECT_EQ(without.find("win32Error"), nullptr);
}

}  // namespace
}  // namespace vor::desktop
