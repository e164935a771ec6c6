#include <gtest/gtest.h>

#include "protocol/diagnostics.h"
#include "standalone/cli/probe.h"
#include "support/fake_desktop.h"

namespace vor::desktop {
namespace {

const std::string kReady =
    "The finite helper authenticated and exited without dispatch. Observe the chosen session; desktop lock, capture "
    "and application outcome are not verified by this probe.";
const std::string kPeerGuidance =
    "Run in your own interactive Windows session, or through an authorized LocalSystem command runner to select "
    "another user session.";

TEST(ProbeDocument, ReadyDocumentHasExactlyItsKeys) {
  const CallerFacts caller{1, false, false};
  EXPECT_EQ(print_line(probe_document(1, Status(), caller, 37)),
            R"({"callerInJob":false,"callerIsSystem":false,"callerSessionId":1,"code":"DESKTOP_WORKER_READY",)"
            R"("elapsedMs":37,"nextSafeAction":")" +
                kReady +
                R"(","ready":true,"requestDispatched":false,"reusableHostStartSupported":true,)"
                R"("schemaVersion":"vor.desktop-cli/v1","sessionId":1})"
                "\n");
}

TEST(ProbeDocument, FailedDocumentCarriesTheErrorDocumentMarkerAndWin32Error) {
  const Error error = not_sent(Error::os(1314).context("DESKTOP_PEER_NOT_AUTHORIZED"), StartupPhase::kCallerIdentity);
  const CallerFacts caller{1, false, true};
  EXPECT_EQ(print_line(probe_document(2, fail(error), caller, 4)),
            R"({"callerInJob":true,"callerIsSystem":false,"callerSessionId":1,"code":"DESKTOP_PEER_NOT_AUTHORIZED",)"
            R"("elapsedMs":4,"nextSafeAction":")" +
                kPeerGuidance +
                R"(","operationId":null,"ready":false,"requestDispatched":false,"retryable":false,)"
                R"("reusableHostStartSupported":false,"schemaVersion":"vor.desktop-cli/v1","sessionId":2,)"
                R"("startup":{"phase":"callerIdentity","requestDispatched":false},"win32Error":1314})"
                "\n");
}

TEST(ProbeDocument, WithoutMarkerOrOsErrorThoseKeysAreAbsent) {
  const CliDocument doc = probe_document(1, fail(Error("DESKTOP_WORKER_EXIT_UNCONFIRMED")), CallerFacts{}, 0);
  EXPECT_EQ(doc.find("startup"), nullptr);
  EXPECT_EQ(doc.find("win32Error"), nullptr);
  EXPECT_EQ(doc.find("callerSessionId")->kind(), json::Value::Kind::kNull);
}

TEST(ProbeDocument, ReusableHostStartNeedsAKnownOwnSessionAndANonSystemCaller) {
  struct Case {
    CallerFacts caller;
    std::uint32_t session;
    bool supported;
  };
  const Case cases[] = {
      {{1, false, false}, 1, true},
      {{1, false, std::nullopt}, 1, true},
      {{1, true, false}, 1, false},
      {{1, std::nullopt, false}, 1, false},
      {{std::nullopt, false, false}, 1, false},
      {{0, true, false}, 1, false},
      {{1, false, false}, 2, false},
  };
  for (const auto& c : cases) {
    const CliDocument doc = probe_document(c.session, Status(), c.caller, 0);
    EXPECT_EQ(*doc.find("reusableHostStartSupported")->as_bool(), c.supported);
    const json::Value* is_system = doc.find("callerIsSystem");
    if (c.caller.is_system) {
      EXPECT_EQ(*is_system->as_bool(), *c.caller.is_system);
    } else {
      EXPECT_EQ(is_system->kind(), json::Value::Kind::kNull);
    }
  }
}

class FakeProbe final : public ProbeSys {
 public:
  testing::FakeClock clock_;
  Status outcome;
  std::vector<std::string> calls;
  CallerFacts caller_facts() override {
    calls.push_back("caller_facts");
    return {1, false, false};
  }
  Status probe_worker(std::uint32_t) override {
    calls.push_back("probe_worker");
    clock_.advance(std::chrono::microseconds(412'600));
    return outcome;
  }
  Clock& clock() override { return clock_; }
};

TEST(RunProbe, ReadsTheCallerFirstAndTimesTheWholeProbe) {
  FakeProbe probe;
  const CliDocument doc = run_probe(probe, 1);
  EXPECT_EQ(probe.calls, (std::vector<std::string>{"caller_facts", "probe_worker"}));
  EXPECT_EQ(*doc.find("elapsedMs")->as_unsigned(), 412u);
  EXPECT_TRUE(*doc.find("ready")->as_bool());

  probe.outcome = fail(not_sent(Error("DESKTOP_WORKER_EXIT_UNCONFIRMED"), StartupPhase::kWorkerReadiness));
  const CliDocument failed = run_probe(probe, 1);
  EXPECT_FALSE(*failed.find("ready")->as_bool());
  EXPECT_EQ(*failed.find("code")->as_string(), "DESKTOP_WORKER_EXIT_UNCONFIRMED");
}

}  // namespace
}  // namespace vor::desktop
