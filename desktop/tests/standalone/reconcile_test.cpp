// `reconcile` over the fake store: the eight checks in order, the receipt
// written back, and the status that follows.
#include "standalone/cli/reconcile.h"

#include <gtest/gtest.h>

#include <functional>

#include "operation_status_fixtures.h"

namespace vor::desktop {
namespace {

using testing::code_of;
using testing::kEpoch;
using testing::sample_receipt;
using testing::sample_response;
using testing::text_of;
using namespace std::chrono_literals;

class Reconcile : public testing::StateVerbs {
 protected:
  Reconcile() {
    target = sample_receipt("op-click");  // mutating, running, created at kEpoch
    observation = sample_receipt("op-look");
    observation.mutating = false;
    observation.phase = ReceiptPhase::kFinished;
    observation.finished_at = kEpoch + 5s;
    observation.result = sample_response("op-look");  // code "DESKTOP_OBSERVED"
    processes.gone();
    now = kEpoch + 6s;
  }
  Result<CliDocument> reconcile() {
    put(target);
    put(observation);
    clock.now = now;
    return run_reconcile(ports, cmd::Reconcile{"op-click", "op-look", "C:\\s"});
  }

  Receipt target;
  Receipt observation;
  Time now;
};

TEST_F(Reconcile, SettlesTheTargetAndStatusShowsItAfterwards) {
  auto doc = reconcile();
  ASSERT_TRUE(doc) << doc.error().display_chain();
  EXPECT_EQ(text_of(doc->find("code")), "DESKTOP_OUTCOME_RECONCILED");
  EXPECT_EQ(text_of(doc->find("phase")), "reconciled");
  EXPECT_EQ(text_of(doc->find("operationId")), "op-click");
  EXPECT_EQ(text_of(doc->find("nextSafeAction")), kSettledSentence);

  const Receipt settled = stored("op-click");
  EXPECT_EQ(settled.phase, ReceiptPhase::kReconciled);
  EXPECT_EQ(settled.reconciled_by, "op-look");
  Receipt expected = target;
  expected.phase = ReceiptPhase::kReconciled;
  expected.reconciled_by = "op-look";
  EXPECT_EQ(settled, expected);  // nothing else changes

  auto later = run_status(ports, cmd::Status{"op-click", "C:\\s"});
  ASSERT_TRUE(later);
  EXPECT_EQ(json::to_sorted_string(*later), json::to_sorted_string(*doc));
}

TEST_F(Reconcile, UnknownTargetAndTheFreshnessBoundaryPass) {
  struct Case {
    const char* name;
    std::function<void()> change;
  } cases[] = {
      {"unknown target", [this] { target.phase = ReceiptPhase::kUnknown; }},
      {"exactly 15,000 ms", [this] { now = *observation.finished_at + 15000ms + 999us; }},
      {"observed at this instant", [this] { now = *observation.finished_at; }},
      {"process id reused", [this] {
         processes = testing::FakeProcessLiveness{};
         processes.created += 1;
       }},
      {"process exited", [this] {
         processes = testing::FakeProcessLiveness{};
         processes.exited = true;
       }},
  };
  for (const Case& c : cases) {
    const Receipt saved_target = target;
    const Time saved_now = now;
    c.change();
    auto doc = reconcile();
    EXPECT_TRUE(doc) << c.name << ": " << (doc ? "" : doc.error().display_chain());
    target = saved_target;
    now = saved_now;
    processes = testing::FakeProcessLiveness{};
    processes.gone();
  }
}

TEST_F(Reconcile, EveryFailedCheckRefusesAndLeavesTheTargetAsItWas) {
  struct Case {
    const char* name;
    std::function<void()> change;
  } cases[] = {
      {"read-only target", [this] { target.mutating = false; }},
      {"finished target", [this] {
         target.phase = ReceiptPhase::kFinished;
         target.finished_at = kEpoch + 1s;
       }},
      {"reconciled target", [this] {
         target.phase = ReceiptPhase::kReconciled;
         target.reconciled_by = "op-earlier";
       }},
      {"process still runs", [this] { processes = testing::FakeProcessLiveness{}; }},
      {"mutating observation", [this] { observation.mutating = true; }},
      {"other session", [this] { observation.session_id = 2; }},
      {"observation unfinished", [this] { observation.finished_at.reset(); }},
      {"observed before the target", [this] { observation.finished_at = kEpoch - 1ms; }},
      {"observed as the target began", [this] { observation.finished_at = kEpoch; }},
      {"no result", [this] { observation.result.reset(); }},
      {"result of another code", [this] { observation.result->code = "DESKTOP_TARGET_CHANGED"; }},
      {"15,001 ms ago", [this] { now = *observation.finished_at + 15001ms; }},
      {"finished in the future", [this] { now = *observation.finished_at - 1ms; }},
  };
  for (const Case& c : cases) {
    const Receipt saved_target = target;
    const Receipt saved_observation = observation;
    const Time saved_now = now;
    c.change();
    const Receipt before = target;
    auto doc = reconcile();
    ASSERT_FALSE(doc) << c.name;
    EXPECT_EQ(code_of(doc.error()), kReconcileObservationRequired) << c.name << ": " << doc.error().display_chain();
    EXPECT_EQ(stored("op-click"), before) << c.name;
    target = saved_target;
    observation = saved_observation;
    now = saved_now;
    processes = testing::FakeProcessLiveness{};
    processes.gone();
  }
}

TEST_F(Reconcile, UnreadableProcessStateFailsTheCommand) {
  processes.open_error = kErrorAccessDenied;
  auto doc = reconcile();
  ASSERT_FALSE(doc);
  EXPECT_EQ(code_of(doc.error()), kProcessStateUnavailable);
  EXPECT_EQ(doc.error().os_error(), kErrorAccessDenied);
  EXPECT_EQ(stored("op-click").phase, ReceiptPhase::kRunning);
}

TEST_F(Reconcile, ChecksRunInOrder) {
  // A read-only target is refused before its process is asked after.
  target.mutating = false;
  processes.open_error = kErrorAccessDenied;
  auto doc = reconcile();
  ASSERT_FALSE(doc);
  EXPECT_EQ(code_of(doc.error()), kReconcileObservationRequired);
  EXPECT_EQ(processes.opens, 0);
}

TEST_F(Reconcile, NeedsBothReceiptsAndTheGate) {
  put(target);
  auto missing = run_reconcile(ports, cmd::Reconcile{"op-click", "op-none", "C:\\s"});
  ASSERT_FALSE(missing);
  EXPECT_EQ(code_of(missing.error()), kFileUnavailable);

  auto gate = open_gate(fs, root());
  ASSERT_TRUE(gate);
  auto held = reconcile();
  ASSERT_FALSE(held);
  EXPECT_EQ(code_of(held.error()), kOwnerConflict);
  EXPECT_EQ(stored("op-click").phase, ReceiptPhase::kRunning);
}

}  // namespace
}  // namespace vor::desktop
