#include <gtest/gtest.h>

#include "desktop/tests/windows/fake_worker_launch.h"
#include "protocol/diagnostics.h"
#include "standalone/cli/error_codes.h"
#include "windows/worker_launch.h"

namespace vor::desktop {
namespace {

using testing::FakeWorkerLaunch;

struct Launch {
  std::shared_ptr<FakeWorkerLaunch::Seen> fake;  // what the fake saw, also after it was dropped
  Result<WorkerHandle> result;
};

// Runs start_worker over a fake that `script` prepared.
template <class Script>
std::unique_ptr<Launch> launch(std::uint32_t target, Script script) {
  auto out = std::make_unique<Launch>();
  auto fake = std::make_unique<FakeWorkerLaunch>();
  script(*fake);
  out->fake = fake->seen;
  ProcSys& processes = *fake;  // lives inside the launch while start_worker runs
  out->result = start_worker(std::move(fake), processes, target);
  return out;
}

std::string phase_of(const Error& e) {
  const NotSentMarker* marker = e.find<NotSentMarker>();
  return marker ? std::string(startup_phase_name(marker->phase)) : "none";
}

// The attribute list is released as soon as the process exists.
const std::vector<std::string> kSameSessionOrder = {
    "process_session_id", "enumerate_sessions",  "is_process_in_job", "module_path",
    "open_module_file",   "open_own_token",      "create_environment_block", "token_group_attributes",
    "create_security_descriptor", "create_pipe", "register_pipe",
    "create_job",         "set_job_limits",      "attribute_list_size", "initialize_attribute_list",
    "set_job_list_attribute", "create_process",  "release_startup",   "resume_thread"};

TEST(StartWorker, SameSessionLaunchRunsEveryStepInOrderAndConfinesTheWorker) {
  auto l = launch(1, [](FakeWorkerLaunch&) {});
  ASSERT_TRUE(l->result) << l->result.error().display_chain();
  const FakeWorkerLaunch::Seen& f = *l->fake;
  EXPECT_EQ(f.calls, kSameSessionOrder);
  EXPECT_EQ(l->result->process_id, 700u);
  EXPECT_TRUE(l->result->same_session);
  EXPECT_FALSE(l->fake->destroyed);
  // The worker holds its token, job, pipe and process; security and list are gone.
  EXPECT_EQ(f.live_owners, 4);
  EXPECT_EQ(f.sddl, "D:P(A;;GA;;;SY)(A;;GRGW;;;S-1-5-5-0-9)");
  ASSERT_EQ(f.pipe_name.size(), 21u + 32u);
  EXPECT_TRUE(f.pipe_name.starts_with("\\\\.\\pipe\\Vor.Desktop."));
  EXPECT_EQ(f.pipe_name.find_first_not_of("0123456789abcdef", 21), std::string::npos);
  EXPECT_EQ(f.command_line, "\"C:\\Vor\\Vor.Marionet.exe\" worker --pipe " + f.pipe_name + " --broker-pid 500 --session 1");
  EXPECT_EQ(f.application, "C:\\Vor\\Vor.Marionet.exe");
  EXPECT_EQ(f.creation_flags, 0x08084404u);
  EXPECT_EQ(f.desktop, "winsta0\\default");
  EXPECT_FALSE(f.created_as_user);
  EXPECT_EQ(f.limits.limit_flags, 0x210Au);
  EXPECT_EQ(f.limits.per_process_user_time, 20000000);
  EXPECT_EQ(f.limits.active_process_limit, 1u);
  EXPECT_EQ(f.limits.process_memory_limit, 134217728u);
}

TEST(StartWorker, TwoLaunchesGetDifferentPipes) {
  auto a = launch(1, [](FakeWorkerLaunch&) {});
  auto b = launch(1, [](FakeWorkerLaunch&) {});
  EXPECT_NE(a->fake->pipe_name, b->fake->pipe_name);
}

struct StepFailure {
  const char* step;
  const char* code;
  const char* phase;
};

TEST(StartWorker, EachFailingStepReportsItsCodeAndPhaseAndReleasesEverything) {
  const StepFailure cases[] = {
      {"process_session_id", "DESKTOP_PROCESS_SESSION_UNAVAILABLE", "callerIdentity"},
      {"enumerate_sessions", "DESKTOP_SESSIONS_UNAVAILABLE", "targetSession"},
      {"is_process_in_job", "DESKTOP_LAUNCH_CONTEXT_UNAVAILABLE", "launchContext"},
      {"module_path", "DESKTOP_OPERATION_FAILED", "moduleImage"},
      {"open_module_file", "DESKTOP_MODULE_UNAVAILABLE", "moduleImage"},
      {"open_own_token", "DESKTOP_SESSION_TOKEN_UNAVAILABLE", "userToken"},
      {"create_environment_block", "DESKTOP_ENVIRONMENT_UNAVAILABLE", "environment"},
      {"token_group_attributes", "DESKTOP_LOGON_UNAVAILABLE", "userToken"},
      {"create_security_descriptor", "DESKTOP_PIPE_ACL_FAILED", "pipeSecurity"},
      {"create_pipe", "DESKTOP_PIPE_UNAVAILABLE", "pipeCreate"},
      {"register_pipe", "DESKTOP_PIPE_UNAVAILABLE", "pipeCreate"},
      {"create_job", "DESKTOP_SUPERVISOR_FAILED", "supervision"},
      {"set_job_limits", "DESKTOP_SUPERVISOR_FAILED", "supervision"},
      {"initialize_attribute_list", "DESKTOP_SUPERVISOR_FAILED", "supervision"},
      {"set_job_list_attribute", "DESKTOP_SUPERVISOR_UNSUPPORTED", "supervision"},
      {"create_process", "DESKTOP_WORKER_START_FAILED", "processCreate"},
      {"resume_thread", "DESKTOP_WORKER_START_FAILED", "processResume"},
  };
  for (const auto& c : cases) {
    auto l = launch(1, [&](FakeWorkerLaunch& f) {
      f.failing = c.step;
      f.failing_error = 1450;
    });
    ASSERT_FALSE(l->result) << c.step;
    const Error& e = l->result.error();
    EXPECT_EQ(error_code_of(e), c.code) << c.step;
    EXPECT_EQ(os_error_code_of(e), 1450) << c.step;
    EXPECT_EQ(phase_of(e), c.phase) << c.step;
    EXPECT_EQ(e.outermost(), std::string("startup phase ") + c.phase) << c.step;
    EXPECT_TRUE(l->fake->destroyed) << c.step;  // every handle of the launch released
    EXPECT_EQ(l->fake->live_owners, 0) << c.step;

    // Nothing after the failing step ran, except releasing an attribute list
    // that was made, and killing a worker that could not be resumed.
    std::vector<std::string> expected;
    for (const auto& step : kSameSessionOrder) {
      expected.push_back(step);
      if (step == c.step) break;
    }
    const std::string failed = c.step;
    if (failed == "set_job_list_attribute" || failed == "create_process") expected.push_back("release_startup");
    if (failed == "resume_thread") {
      expected.push_back("terminate_job");
      expected.push_back("terminate_process");
    }
    EXPECT_EQ(l->fake->calls, expected) << c.step;
  }
}

struct RefusedCase {
  const char* name;
  std::uint32_t target;
  std::function<void(FakeWorkerLaunch&)> script;
  const char* code;
  const char* phase;
};

TEST(StartWorker, RefusedTargetsAndContexts) {
  const RefusedCase cases[] = {
      {"user-mode broker, other session", 2, [](FakeWorkerLaunch&) {}, "DESKTOP_PEER_NOT_AUTHORIZED",
       "callerIdentity"},
      {"broker SID unreadable, other session", 2, [](FakeWorkerLaunch& f) { f.failing = "process_user_sid"; },
       "DESKTOP_PEER_UNAVAILABLE", "callerIdentity"},
      {"own session not listed", 1, [](FakeWorkerLaunch& f) { f.sessions = {{0, true}, {3, true}}; },
       "DESKTOP_SESSION_NOT_ACTIVE", "targetSession"},
      {"own session disconnected", 1, [](FakeWorkerLaunch& f) { f.sessions = {{1, false}}; },
       "DESKTOP_SESSION_NOT_ACTIVE", "targetSession"},
      {"session 0", 0,
       [](FakeWorkerLaunch& f) {
         f.sessions_of[500] = 0;
       },
       "DESKTOP_SESSION_NOT_ACTIVE", "targetSession"},
      {"SYSTEM broker in a job, other session", 1,
       [](FakeWorkerLaunch& f) {
         f.sessions_of[500] = 0;
         f.sids[500] = "S-1-5-18";
         f.in_job = true;
       },
       "DESKTOP_CROSS_SESSION_JOB_UNSUPPORTED", "launchContext"},
      {"no logon group", 1, [](FakeWorkerLaunch& f) { f.group_attributes = {0x7, 0x40000000, 0x80000000}; },
       "DESKTOP_LOGON_UNAVAILABLE", "userToken"},
      {"empty attribute list", 1, [](FakeWorkerLaunch& f) { f.list_size = 0; }, "DESKTOP_SUPERVISOR_FAILED",
       "supervision"},
      {"oversized attribute list", 1, [](FakeWorkerLaunch& f) { f.list_size = 65537; },
       "DESKTOP_SUPERVISOR_FAILED", "supervision"},
  };
  for (const auto& c : cases) {
    auto l = launch(c.target, c.script);
    ASSERT_FALSE(l->result) << c.name;
    EXPECT_EQ(error_code_of(l->result.error()), c.code) << c.name;
    EXPECT_EQ(phase_of(l->result.error()), c.phase) << c.name;
    EXPECT_TRUE(l->fake->destroyed) << c.name;
    EXPECT_EQ(l->fake->live_owners, 0) << c.name;
    EXPECT_EQ(std::count(l->fake->calls.begin(), l->fake->calls.end(), "create_process"), 0) << c.name;
  }
}

TEST(StartWorker, AcceptsTheLargestAttributeListAndAJobInTheOwnSession) {
  auto l = launch(1, [](FakeWorkerLaunch& f) {
    f.list_size = 65536;
    f.in_job = true;
  });
  EXPECT_TRUE(l->result);
}

TEST(StartWorker, SystemBrokerStartsAWorkerInAnotherSessionWithThatSessionsToken) {
  auto l = launch(1, [](FakeWorkerLaunch& f) {
    f.sessions_of[500] = 0;
    f.sids[500] = "S-1-5-18";
  });
  ASSERT_TRUE(l->result) << l->result.error().display_chain();
  EXPECT_FALSE(l->result->same_session);
  EXPECT_TRUE(l->fake->created_as_user);
  const auto& calls = l->fake->calls;
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "query_session_token"), 1);
  EXPECT_EQ(std::count(calls.begin(), calls.end(), "open_own_token"), 0);
  EXPECT_EQ(l->fake->command_line.substr(l->fake->command_line.size() - 11), "--session 1");
}

Request request_with(std::uint32_t protocol, std::uint32_t session) {
  auto request = decode_request(R"({"protocol":)" + std::to_string(protocol) +
                                R"(,"operationId":"op-7","sessionId":)" + std::to_string(session) +
                                R"(,"action":{"kind":"find_windows","selector":{"processId":null,"title":"Editor"},)"
                                R"("timeoutMs":1000}})");
  return *request;
}

TEST(StartWorker, ARequestIsValidatedBeforeAnythingIsTouched) {
  auto fake = std::make_unique<FakeWorkerLaunch>();
  auto seen = fake->seen;
  ProcSys& processes = *fake;
  auto refused = start_worker(std::move(fake), processes, request_with(2, 1), Time(std::chrono::seconds(1'800'000'000)));
  ASSERT_FALSE(refused);
  EXPECT_EQ(error_code_of(refused.error()), "DESKTOP_PROTOCOL_INCOMPATIBLE");
  EXPECT_EQ(phase_of(refused.error()), "validate");
  EXPECT_TRUE(seen->calls.empty());

  auto other = std::make_unique<FakeWorkerLaunch>();
  auto other_seen = other->seen;
  ProcSys& other_processes = *other;
  auto started =
      start_worker(std::move(other), other_processes, request_with(1, 1), Time(std::chrono::seconds(1'800'000'000)));
  ASSERT_TRUE(started) << started.error().display_chain();
  EXPECT_EQ(other_seen->command_line.substr(other_seen->command_line.size() - 11), "--session 1");
}

}  // namespace
}  // namespace vor::desktop
