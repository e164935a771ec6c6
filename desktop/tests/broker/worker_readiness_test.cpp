#include <gtest/gtest.h>

#include <algorithm>

#include "broker/probe.h"
#include "broker/worker_readiness.h"
#include "desktop/tests/windows/fake_worker_launch.h"
#include "protocol/diagnostics.h"
#include "standalone/cli/error_codes.h"
#include "support/fake_desktop.h"

namespace vor::desktop {
namespace {

using testing::FakeClock;
using testing::FakeWorkerLaunch;

std::string phase_of(const Error& e) {
  const NotSentMarker* marker = e.find<NotSentMarker>();
  return marker ? std::string(startup_phase_name(marker->phase)) : "none";
}

std::string ready_body(std::string code, std::uint32_t pid = 700, std::uint32_t session = 1,
                       std::optional<std::int32_t> win32 = std::nullopt, std::uint32_t protocol = 1) {
  WorkerReady r;
  r.protocol = protocol;
  r.process_id = pid;
  r.session_id = session;
  r.code = std::move(code);
  r.win32_error = win32;
  return encode_worker_ready(r);
}

ArmedInputPolicy sample_policy() {
  ArmedInputPolicy p;
  p.arm_id = "arm-1";
  p.operation_id = "op-1";
  p.session_id = 1;
  p.scope = InputPolicyScope::kVisibleSingleAction;
  return p;
}

// A started worker (pid 700, session 1) over a scripted fake, and the clock
// its limits run on.
struct Started {
  FakeWorkerLaunch* fake;
  WorkerHandle handle;
  FakeClock clock;
};
Started started() {
  auto fake = std::make_unique<FakeWorkerLaunch>();
  FakeWorkerLaunch* raw = fake.get();
  return {raw, FakeWorkerLaunch::started(std::move(fake)), FakeClock()};
}

TEST(AwaitWorkerReady, ReadyWorkerGetsAnAckWithoutExecutionForAProbe) {
  auto w = started();
  w.fake->frames.reads.push_back(ready_body("DESKTOP_WORKER_READY"));
  auto pipe = await_worker_ready(w.handle, *w.fake, w.clock, 1, false, sample_policy());
  ASSERT_TRUE(pipe) << pipe.error().display_chain();
  EXPECT_EQ(*pipe, &w.fake->frames);
  ASSERT_EQ(w.fake->frames.written.size(), 1u);
  EXPECT_EQ(w.fake->frames.written[0], R"({"protocol":1,"execute":false})");
  EXPECT_EQ(w.fake->calls, (std::vector<std::string>{"begin_connect", "worker_running", "client_process_id",
                                                     "process_session_id"}));
}

TEST(AwaitWorkerReady, ExecutionCarriesThePolicyToAReadyWorker) {
  auto w = started();
  w.fake->frames.reads.push_back(ready_body("DESKTOP_WORKER_READY"));
  ASSERT_TRUE(await_worker_ready(w.handle, *w.fake, w.clock, 1, true, sample_policy()));
  auto ack = decode_ready_ack(w.fake->frames.written.at(0));
  ASSERT_TRUE(ack);
  EXPECT_TRUE(ack->execute);
  EXPECT_EQ(ack->input_policy, sample_policy());
}

struct FailureCase {
  const char* name;
  std::function<void(FakeWorkerLaunch&)> script;
  const char* code;
  const char* phase;
  std::optional<std::int32_t> win32;
  bool ack_written;
};

TEST(AwaitWorkerReady, FailuresCarryTheirCodeAndPhase) {
  const std::string long_code = "DESKTOP_" + std::string(93, 'X');  // 101 characters
  const std::string longest = "DESKTOP_" + std::string(92, 'X');    // 100 characters
  const FailureCase cases[] = {
      {"worker exited first",
       [](FakeWorkerLaunch& f) {
         f.connect = std::nullopt;
         f.running = false;
       },
       "DESKTOP_WORKER_EXITED_BEFORE_READY", "workerReadiness", std::nullopt, false},
      {"connect failed", [](FakeWorkerLaunch& f) { f.connect = ConnectResult{ConnectOutcome::kFailed, 232}; },
       "DESKTOP_WORKER_READY_UNCONFIRMED", "workerReadiness", 232, false},
      {"connect timed out", [](FakeWorkerLaunch& f) { f.connect = std::nullopt; },
       "DESKTOP_WORKER_READY_UNCONFIRMED", "workerReadiness", std::nullopt, false},
      {"exited after connecting", [](FakeWorkerLaunch& f) { f.running = false; },
       "DESKTOP_WORKER_EXITED_BEFORE_READY", "peerAuthentication", std::nullopt, false},
      {"exit check failed", [](FakeWorkerLaunch& f) { f.failing = "worker_running"; },
       "DESKTOP_WORKER_EXITED_BEFORE_READY", "peerAuthentication", std::nullopt, false},
      {"client pid unreadable",
       [](FakeWorkerLaunch& f) {
         f.failing = "client_process_id";
         f.failing_error = 6;
       },
       "DESKTOP_PEER_UNAVAILABLE", "peerAuthentication", 6, false},
      {"another client connected first", [](FakeWorkerLaunch& f) { f.client_pid = 701; f.sessions_of[701] = 1; },
       "DESKTOP_PEER_NOT_AUTHORIZED", "peerAuthentication", std::nullopt, false},
      {"client in another session", [](FakeWorkerLaunch& f) { f.sessions_of[700] = 2; },
       "DESKTOP_PEER_NOT_AUTHORIZED", "peerAuthentication", std::nullopt, false},
      {"client session unreadable", [](FakeWorkerLaunch& f) { f.failing = "process_session_id"; },
       "DESKTOP_PEER_NOT_AUTHORIZED", "peerAuthentication", 5, false},
      {"no WorkerReady", [](FakeWorkerLaunch&) {}, "DESKTOP_WORKER_READY_UNCONFIRMED", "workerReadiness",
       std::nullopt, false},
      {"oversized WorkerReady", [](FakeWorkerLaunch& f) { f.frames.reads.push_back(std::string(1025, ' ')); },
       "DESKTOP_FRAME_SIZE_INVALID", "workerReadiness", std::nullopt, false},
      {"undecodable WorkerReady", [](FakeWorkerLaunch& f) { f.frames.reads.push_back("{}"); },
       "DESKTOP_WORKER_READY_UNCONFIRMED", "workerReadiness", std::nullopt, false},
      {"lower-case code", [](FakeWorkerLaunch& f) { f.frames.reads.push_back(ready_body("DESKTOP_worker")); },
       "DESKTOP_WORKER_READY_INVALID", "workerReadiness", std::nullopt, false},
      {"101-character code", [&](FakeWorkerLaunch& f) { f.frames.reads.push_back(ready_body(long_code)); },
       "DESKTOP_WORKER_READY_INVALID", "workerReadiness", std::nullopt, false},
      {"other process id", [](FakeWorkerLaunch& f) { f.frames.reads.push_back(ready_body("DESKTOP_WORKER_READY", 9)); },
       "DESKTOP_WORKER_READY_INVALID", "workerReadiness", std::nullopt, false},
      {"other session",
       [](FakeWorkerLaunch& f) { f.frames.reads.push_back(ready_body("DESKTOP_WORKER_READY", 700, 2)); },
       "DESKTOP_WORKER_READY_INVALID", "workerReadiness", std::nullopt, false},
      {"protocol 2",
       [](FakeWorkerLaunch& f) {
         f.frames.reads.push_back(ready_body("DESKTOP_WORKER_READY", 700, 1, std::nullopt, 2));
       },
       "DESKTOP_WORKER_READY_INVALID", "workerReadiness", std::nullopt, false},
      {"ack not written",
       [](FakeWorkerLaunch& f) {
         f.frames.reads.push_back(ready_body("DESKTOP_WORKER_READY"));
         f.frames.write_error = Error::os(232);
       },
       "DESKTOP_WORKER_READY_UNCONFIRMED", "workerReadiness", 232, false},
      {"worker not ready",
       [](FakeWorkerLaunch& f) { f.frames.reads.push_back(ready_body("DESKTOP_SESSION_MISMATCH", 700, 1, 5)); },
       "DESKTOP_SESSION_MISMATCH", "workerReadiness", 5, true},
      {"100-character code", [&](FakeWorkerLaunch& f) { f.frames.reads.push_back(ready_body(longest)); },
       longest.c_str(), "workerReadiness", std::nullopt, true},
  };
  for (const auto& c : cases) {
    auto w = started();
    c.script(*w.fake);
    auto pipe = await_worker_ready(w.handle, *w.fake, w.clock, 1, true, sample_policy());
    ASSERT_FALSE(pipe) << c.name;
    EXPECT_EQ(error_code_of(pipe.error()), c.code) << c.name;
    EXPECT_EQ(phase_of(pipe.error()), c.phase) << c.name;
    EXPECT_EQ(os_error_code_of(pipe.error()), c.win32) << c.name;
    ASSERT_EQ(w.fake->frames.written.size(), c.ack_written ? 1u : 0u) << c.name;
    if (c.ack_written) {
      // A worker that is not ready is never told to execute.
      EXPECT_EQ(w.fake->frames.written[0], R"({"protocol":1,"execute":false})") << c.name;
    }
  }
}

// The connection is raced against the worker's exit on the clock: polled
// every 10 ms, cancelled when the exit or the 3-second limit comes first.
TEST(AwaitWorkerReady, TheConnectionRacesTheWorkersExitAndTheLimit) {
  {
    auto w = started();
    w.fake->pending_polls = 4;
    w.fake->frames.reads.push_back(ready_body("DESKTOP_WORKER_READY"));
    ASSERT_TRUE(await_worker_ready(w.handle, *w.fake, w.clock, 1, false, std::nullopt));
    EXPECT_EQ(w.clock.sleeps(), std::vector<std::chrono::nanoseconds>(4, std::chrono::milliseconds(10)));
    EXPECT_EQ(std::count(w.fake->calls.begin(), w.fake->calls.end(), "cancel_connect"), 0);
  }
  {
    auto w = started();
    w.fake->connect = std::nullopt;
    w.fake->running_checks = 5;  // seen running five times, then ended
    auto pipe = await_worker_ready(w.handle, *w.fake, w.clock, 1, false, std::nullopt);
    ASSERT_FALSE(pipe);
    EXPECT_EQ(error_code_of(pipe.error()), "DESKTOP_WORKER_EXITED_BEFORE_READY");
    EXPECT_EQ(w.clock.elapsed(), std::chrono::milliseconds(50));
    EXPECT_EQ(w.fake->calls.back(), "cancel_connect");
  }
  {
    auto w = started();
    w.fake->connect = std::nullopt;
    auto pipe = await_worker_ready(w.handle, *w.fake, w.clock, 1, false, std::nullopt);
    ASSERT_FALSE(pipe);
    EXPECT_EQ(error_code_of(pipe.error()), "DESKTOP_WORKER_READY_UNCONFIRMED");
    EXPECT_EQ(w.clock.elapsed(), std::chrono::milliseconds(3000));
    EXPECT_EQ(w.fake->calls.back(), "cancel_connect");
  }
}

// `WorkerReady` and `ReadyAck` share one 3-second budget: the ack gets what
// the read left, and none at all once it is spent.
TEST(AwaitWorkerReady, WorkerReadyAndReadyAckShareOneBudget) {
  {
    auto w = started();
    w.fake->frames.reads.push_back(ready_body("DESKTOP_WORKER_READY"));
    w.fake->frames.clock = &w.clock;
    w.fake->frames.read_cost = std::chrono::milliseconds(2200);
    ASSERT_TRUE(await_worker_ready(w.handle, *w.fake, w.clock, 1, false, std::nullopt));
    EXPECT_EQ(w.fake->frames.write_limits, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(800)});
  }
  {
    auto w = started();
    w.fake->frames.reads.push_back(ready_body("DESKTOP_WORKER_READY"));
    w.fake->frames.clock = &w.clock;
    w.fake->frames.read_cost = std::chrono::milliseconds(3000);
    auto pipe = await_worker_ready(w.handle, *w.fake, w.clock, 1, false, std::nullopt);
    ASSERT_FALSE(pipe);
    EXPECT_EQ(error_code_of(pipe.error()), "DESKTOP_WORKER_READY_UNCONFIRMED");
    EXPECT_TRUE(w.fake->frames.written.empty());
  }
}

// probe_session over the fake, which is also the broker's process port.
Status probe(std::unique_ptr<FakeWorkerLaunch> fake, std::uint32_t session, Clock& clock) {
  ProcSys& processes = *fake;
  return probe_session(std::move(fake), processes, session, clock);
}

std::unique_ptr<FakeWorkerLaunch> ready_worker() {
  auto fake = std::make_unique<FakeWorkerLaunch>();
  fake->frames.reads.push_back(ready_body("DESKTOP_WORKER_READY"));
  return fake;
}

TEST(ProbeSession, SucceedsWhenTheWorkerEndsAfterTheExchange) {
  FakeClock clock;
  auto fake = ready_worker();
  fake->running_checks = 3;  // the peer check and two polls see it running
  const Status s = probe(std::move(fake), 1, clock);
  ASSERT_TRUE(s) << s.error().display_chain();
  EXPECT_EQ(clock.sleeps(), (std::vector<std::chrono::nanoseconds>{std::chrono::milliseconds(10),
                                                                    std::chrono::milliseconds(10)}));
}

TEST(ProbeSession, AWorkerStillRunningAfterThreeSecondsIsUnconfirmed) {
  FakeClock clock;
  const Status s = probe(ready_worker(), 1, clock);
  ASSERT_FALSE(s);
  EXPECT_EQ(error_code_of(s.error()), "DESKTOP_WORKER_EXIT_UNCONFIRMED");
  EXPECT_EQ(phase_of(s.error()), "workerReadiness");
  EXPECT_GE(clock.elapsed(), std::chrono::milliseconds(3000));
  EXPECT_LE(clock.elapsed(), std::chrono::milliseconds(3010));
  for (auto slept : clock.sleeps()) EXPECT_EQ(slept, std::chrono::milliseconds(10));
}

TEST(ProbeSession, LaunchAndReadinessFailuresPassThrough) {
  FakeClock clock;
  const Status other = probe(ready_worker(), 2, clock);
  ASSERT_FALSE(other);
  EXPECT_EQ(error_code_of(other.error()), "DESKTOP_PEER_NOT_AUTHORIZED");
  EXPECT_EQ(phase_of(other.error()), "callerIdentity");

  auto refusing = std::make_unique<FakeWorkerLaunch>();
  refusing->frames.reads.push_back(ready_body("DESKTOP_PEER_NOT_AUTHORIZED"));
  const Status refused = probe(std::move(refusing), 1, clock);
  ASSERT_FALSE(refused);
  EXPECT_EQ(error_code_of(refused.error()), "DESKTOP_PEER_NOT_AUTHORIZED");
  EXPECT_EQ(phase_of(refused.error()), "workerReadiness");
  EXPECT_TRUE(clock.sleeps().empty());
}

}  // namespace
}  // namespace vor::desktop
