// The three element kinds over the scripted tree, controls and notice gate:
// their loops and deadlines, every refusal before the action, the classic
// push button and edit paths with their bounded messages, and what an
// uncertain outcome reports.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "uia/element_operations.h"
#include "uia/fake_automation.h"
#include "uia/uia_fixture.h"

namespace vor::desktop::uia {
namespace {

using namespace std::chrono_literals;
using testing::by_name;
using testing::FakeAutomation;
using testing::FakeControl;
using testing::UiaFixture;

// The notice banner as element_action sees it, scripted per case.
class FakeGate final : public NoticeGate {
 public:
  explicit FakeGate(vor::desktop::testing::FakeClock& clock) : clock_(clock) {}

  Result<WindowHandle> show(const Rect& target) override {
    log.push_back("show");
    shown_over = target;
    if (!show_result) return fail(show_result.error());
    return WindowHandle{0x7770};
  }
  Status prove(WindowHandle banner, std::uint32_t tick) override {
    log.push_back("prove");
    EXPECT_EQ(banner, WindowHandle{0x7770});
    proved_tick = tick;
    clock_.advance(proof_cost);
    if (during_proof) during_proof();
    return proof_result;
  }
  void tear_down(WindowHandle banner) override {
    log.push_back("tear_down");
    EXPECT_EQ(banner, WindowHandle{0x7770});
  }
  bool take_queued_stop() override {
    log.push_back("take_queued_stop");
    return queued_stop;
  }

  std::vector<std::string> log;
  Status show_result;
  Status proof_result;
  std::chrono::nanoseconds proof_cost = 1100ms;  // the proof's one-second hold
  std::function<void()> during_proof;
  bool queued_stop = false;
  Rect shown_over;
  std::uint32_t proved_tick = 0;

 private:
  vor::desktop::testing::FakeClock& clock_;
};

struct ActionFixture : UiaFixture {
  ActionFixture() {
    label = uia.add_child(root, {.automation_id = u"log", .name = u"idle", .control_type = 50020});
    // Invoking anything writes "clicked" into the log label.
    uia.on_invoke = [this](int) { uia.node(label).name = u"clicked"; };
  }
  static Check log_says(std::string text) {
    Check check;
    check.selector.automation_id = "log";
    check.condition = NameEquals{std::move(text)};
    return check;
  }
  Result<Outcome> act(const ElementSelector& selector, const Operation& operation, const Check& verify,
                      std::uint32_t timeout_ms = 3000) {
    return element_action(target(), gate, selector, operation, verify, timeout_ms);
  }
  Result<Outcome> click(const std::string& name, std::uint32_t timeout_ms = 3000) {
    return act(by_name(name), Invoke{}, log_says("clicked"), timeout_ms);
  }

  FakeGate gate{desk.clock};
  int label = 0;
};

const ActionFailure& action_failure(const Error& error) {
  static const ActionFailure kNone{};
  const ActionFailure* failure = error.find<ActionFailure>();
  EXPECT_NE(failure, nullptr) << error.display_chain();
  return failure ? *failure : kNone;
}

// --- to_action_failure ---

TEST(ToActionFailure, ListedCodesAreKeptEverythingElseIsOperationFailed) {
  const std::vector<std::string> listed = {
      "DESKTOP_WAIT_TIMEOUT",          "DESKTOP_TARGET_CHANGED",          "DESKTOP_UIA_SEARCH_LIMIT",
      "DESKTOP_ELEMENT_AMBIGUOUS",     "DESKTOP_UIA_QUERY_TIMEOUT",       "DESKTOP_OBSERVATION_STALE",
      "DESKTOP_UIA_SCOPE_MISMATCH",    "DESKTOP_WINDOW_UNAVAILABLE",      "DESKTOP_HUMAN_INPUT_ACTIVE",
      "DESKTOP_HUMAN_INPUT_CHANGED",   "DESKTOP_LOCKED_OR_UNAVAILABLE",   "DESKTOP_UIA_METADATA_TOO_LARGE",
      "DESKTOP_PASSWORD_ELEMENT_DENIED", "DESKTOP_UIA_PATTERN_UNSUPPORTED", "DESKTOP_INPUT_STATE_UNAVAILABLE",
      "DESKTOP_UIA_PROVIDER_UNAVAILABLE"};
  for (const std::string& code : listed) {
    const Error e = to_action_failure(AutomationFailurePhase::kVerificationRead, Error::os(5).context(code));
    EXPECT_EQ(e.outermost(), "DESKTOP_INPUT_OUTCOME_UNKNOWN");
    const ActionFailure& f = action_failure(e);
    EXPECT_EQ(f.reason_code, code);
    EXPECT_EQ(f.diagnostic.reason_code, code);
    EXPECT_EQ(f.diagnostic.phase, AutomationFailurePhase::kVerificationRead);
    EXPECT_FALSE(e.os_error()) << "the chain it replaces is dropped";
  }
  const std::vector<Error> others = {
      Error("DESKTOP_ELEMENT_CHANGED"), Error("DESKTOP_STOP_REQUESTED"), Error("DESKTOP_INPUT_OUTCOME_UNKNOWN"),
      Error("DESKTOP_WAIT_TIMEOUT").context("while verifying"), Error("desktop_wait_timeout"), Error()};
  for (const Error& error : others) {
    const Error e = to_action_failure(AutomationFailurePhase::kDispatch, error);
    EXPECT_EQ(action_failure(e).reason_code, "DESKTOP_OPERATION_FAILED") << error.display_chain();
    EXPECT_EQ(action_failure(e).diagnostic.phase, AutomationFailurePhase::kDispatch);
  }
}

TEST(RemainingMillis, CountsDownToZero) {
  vor::desktop::testing::FakeClock clock;
  OperationDeadline deadline(clock, 1000);
  EXPECT_EQ(remaining_millis(deadline), 1000u);
  clock.advance(999'500us);
  EXPECT_EQ(remaining_millis(deadline), 0u) << "less than a whole millisecond left";
  clock.advance(1s);
  EXPECT_EQ(remaining_millis(deadline), 0u);
}

// --- find_elements ---

TEST(FindElements, MatchAppearingOnALaterPassIsFound) {
  UiaFixture f;
  f.uia.at(120ms, [&](FakeAutomation& uia) { uia.add_child(f.root, {.name = u"Late"}); });
  auto outcome = find_elements(f.target(), by_name("Late"), 1000);
  ASSERT_TRUE(outcome) << outcome.error().display_chain();
  ASSERT_EQ(outcome->elements.size(), 1u);
  EXPECT_EQ(outcome->elements[0].name, "Late");
  EXPECT_GE(outcome->elapsed_ms, 120u);
  EXPECT_LT(outcome->elapsed_ms, 1000u);
  EXPECT_FALSE(outcome->action_attempted);
  EXPECT_EQ(outcome->verification, "observed");
}

TEST(FindElements, NoneUntilTheDeadlineIsASuccessWithNoElements) {
  UiaFixture f;
  f.button(u"Other");
  auto outcome = find_elements(f.target(), by_name("Missing"), 500);
  ASSERT_TRUE(outcome) << outcome.error().display_chain();
  EXPECT_TRUE(outcome->elements.empty());
  EXPECT_EQ(outcome->elapsed_ms, 500u);
  EXPECT_EQ(outcome->verification, "observed");
  for (auto slice : f.desk.clock.sleeps()) EXPECT_LE(slice, 50ms);
}

TEST(FindElements, ErrorsAreNotRetried) {
  UiaFixture f;
  f.uia.fail("get_ControlViewWalker", testing::kFakeFailure);
  auto outcome = find_elements(f.target(), by_name("A"), 1000);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().outermost(), "DESKTOP_UIA_PROVIDER_UNAVAILABLE");
  EXPECT_TRUE(f.desk.clock.sleeps().empty());
}

// --- wait_element ---

Check check_of(std::string name, Condition condition) {
  Check check;
  check.selector = by_name(std::move(name));
  check.condition = std::move(condition);
  return check;
}

TEST(WaitElement, ReadyLater) {
  UiaFixture f;
  const int button = f.uia.add_child(f.root, {.name = u"Go", .enabled = false});
  f.uia.at(300ms, [&](FakeAutomation& uia) { uia.node(button).enabled = true; });
  auto outcome = wait_element(f.target(), check_of("Go", Ready{}), 1000);
  ASSERT_TRUE(outcome) << outcome.error().display_chain();
  EXPECT_EQ(outcome->verification, "verified");
  EXPECT_TRUE(outcome->elements.empty());
  EXPECT_GE(outcome->elapsed_ms, 300u);
}

TEST(WaitElement, NeverReadyTimesOut) {
  UiaFixture f;
  f.uia.add_child(f.root, {.name = u"Go", .offscreen = true});
  auto outcome = wait_element(f.target(), check_of("Go", Ready{}), 400);
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().outermost(), "DESKTOP_WAIT_TIMEOUT");
  EXPECT_EQ(f.desk.clock.elapsed(), 400ms);
}

TEST(WaitElement, PasswordElementIsDenied) {
  UiaFixture f;
  f.uia.add_child(f.root, {.password = true, .automation_id = u"pw", .value = true, .current_value = u"secret"});
  Check check;
  check.selector.automation_id = "pw";
  for (const Condition& condition : {Condition{Ready{}}, Condition{ValueEquals{"secret"}}}) {
    check.condition = condition;
    auto outcome = wait_element(f.target(), check, 1000);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().outermost(), "DESKTOP_PASSWORD_ELEMENT_DENIED");
  }
  EXPECT_EQ(f.uia.count("get_CurrentValue"), 0);
}

TEST(WaitElement, AbsentHoldsOnceTheElementIsGone) {
  UiaFixture f;
  const int busy = f.button(u"Busy");
  f.uia.at(200ms, [&](FakeAutomation& uia) { uia.node(f.root).children.clear(); });
  auto outcome = wait_element(f.target(), check_of("Busy", Absent{}), 1000);
  ASSERT_TRUE(outcome) << outcome.error().display_chain();
  EXPECT_GE(outcome->elapsed_ms, 200u);
  EXPECT_GT(f.uia.touches(busy), 0);
  // Absent with no element at all holds at once.
  auto at_once = wait_element(f.target(), check_of("Never", Absent{}), 1000);
  ASSERT_TRUE(at_once);
}

TEST(WaitElement, ValueEqualsComparesUnitForUnit) {
  struct Case {
    std::u16string current;
    bool holds;
  };
  for (const Case& c : {Case{u"ab\u00e9", true}, Case{u"ab\u00e9 ", false}, Case{u"AB\u00e9", false}}) {
    UiaFixture f;
    f.uia.add_child(f.root, {.automation_id = u"v", .value = true, .current_value = c.current});
    Check check;
    check.selector.automation_id = "v";
    check.condition = ValueEquals{"ab\xc3\xa9"};
    OperationDeadline deadline(f.desk.clock, 1000);
    auto holds = read_element_predicate(f.target(), check, deadline);
    ASSERT_TRUE(holds) << holds.error().display_chain();
    EXPECT_EQ(*holds, c.holds);
  }
  UiaFixture f;
  f.uia.add_child(f.root, {.automation_id = u"v"});
  Check check;
  check.selector.automation_id = "v";
  check.condition = ValueEquals{"x"};
  OperationDeadline deadline(f.desk.clock, 1000);
  auto holds = read_element_predicate(f.target(), check, deadline);
  ASSERT_FALSE(holds);
  EXPECT_EQ(holds.error().outermost(), "DESKTOP_UIA_PATTERN_UNSUPPORTED");
}

// --- element_action through the pattern ---

TEST(ElementAction, InvokeIsProvenDispatchedAndVerified) {
  ActionFixture f;
  f.button(u"OK");
  auto outcome = f.click("OK");
  ASSERT_TRUE(outcome) << outcome.error().display_chain();
  EXPECT_TRUE(outcome->action_attempted);
  EXPECT_EQ(outcome->verification, "verified");
  EXPECT_TRUE(outcome->elements.empty());
  EXPECT_TRUE(f.dispatched);
  EXPECT_EQ(f.uia.invokes, 1);
  const std::vector<std::string> gate = {"show", "prove", "tear_down", "take_queued_stop"};
  EXPECT_EQ(f.gate.log, gate);
  EXPECT_EQ(f.gate.shown_over, f.window.rect);
  EXPECT_EQ(f.gate.proved_tick, f.window.last_input_tick);
}

TEST(ElementAction, AmbiguousFailsAtOnce) {
  ActionFixture f;
  f.button(u"OK");
  f.button(u"OK");
  auto outcome = f.click("OK");
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().outermost(), "DESKTOP_ELEMENT_AMBIGUOUS");
  EXPECT_TRUE(f.desk.clock.sleeps().empty());
  EXPECT_TRUE(f.gate.log.empty());
}

TEST(ElementAction, EnabledLaterIsActedOn) {
  ActionFixture f;
  const int ok = f.uia.add_child(f.root, {.name = u"OK", .enabled = false, .invoke = true});
  f.uia.at(250ms, [&](FakeAutomation& uia) { uia.node(ok).enabled = true; });
  auto outcome = f.click("OK");
  ASSERT_TRUE(outcome) << outcome.error().display_chain();
  EXPECT_EQ(f.uia.invokes, 1);
}

TEST(ElementAction, NeverReadyIsNotReady) {
  for (const bool exists : {true, false}) {
    ActionFixture f;
    if (exists) f.uia.add_child(f.root, {.name = u"OK", .enabled = false, .invoke = true});
    auto outcome = f.click("OK", 500);
    ASSERT_FALSE(outcome);
    EXPECT_EQ(outcome.error().outermost(), "DESKTOP_ELEMENT_NOT_READY");
    EXPECT_EQ(f.desk.clock.elapsed(), 500ms);
    EXPECT_TRUE(f.gate.log.empty());
  }
}

TEST(ElementAction, PostconditionAlreadyTrueShowsNoBanner) {
  ActionFixture f;
  f.button(u"OK");
  f.uia.node(f.label).name = u"clicked";
  auto outcome = f.click("OK");
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().outermost(), "DESKTOP_POSTCONDITION_ALREADY_SATISFIED");
  EXPECT_TRUE(f.gate.log.empty());
  EXPECT_EQ(f.uia.invokes, 0);
}

TEST(ElementAction, ElementChangedDuringTheProofIsNotActedOn) {
  struct Case {
    const char* name;
    std::function<void(ActionFixture&, int)> change;
  };
  const Case cases[] = {
      {"rect", [](ActionFixture& f, int ok) { f.uia.node(ok).rect.right += 1; }},
      {"recreated", [](ActionFixture& f, int ok) { f.uia.replace(ok); }},
      {"gone", [](ActionFixture& f, int) { f.uia.node(f.root).children = {f.label}; }},
      {"renamed", [](ActionFixture& f, int ok) { f.uia.node(ok).automation_id = u"other"; }},
  };
  for (const Case& c : cases) {
    ActionFixture f;
    const int ok = f.button(u"OK");
    f.gate.during_proof = [&] { c.change(f, ok); };
    auto outcome = f.click("OK");
    ASSERT_FALSE(outcome) << c.name;
    EXPECT_EQ(outcome.error().outermost(), "DESKTOP_ELEMENT_CHANGED") << c.name;
    EXPECT_FALSE(f.dispatched) << c.name;
    EXPECT_EQ(f.uia.invokes, 0) << c.name;
  }
}

TEST(ElementAction, ProofLongerThanTheDeadlineTimesOutBeforeActing) {
  ActionFixture f;
  f.button(u"OK");
  f.gate.proof_cost = 1200ms;
  auto outcome = f.click("OK", 1000);
  ASSERT_FALSE(outcome);
  // The search after the proof already finds the deadline passed.
  EXPECT_EQ(outcome.error().outermost(), "DESKTOP_UIA_QUERY_TIMEOUT");
  EXPECT_FALSE(f.dispatched);
  EXPECT_EQ(f.uia.invokes, 0);
}

TEST(ElementAction, ProofFailureIsReturnedAfterTheTeardown) {
  ActionFixture f;
  f.button(u"OK");
  f.gate.proof_result = fail(std::string("DESKTOP_STOP_REQUESTED"));
  auto outcome = f.click("OK");
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().outermost(), "DESKTOP_STOP_REQUESTED");
  const std::vector<std::string> gate = {"show", "prove", "tear_down"};
  EXPECT_EQ(f.gate.log, gate);
  EXPECT_FALSE(f.dispatched);
}

TEST(ElementAction, StopStillQueuedAfterTheProofStopsTheAction) {
  ActionFixture f;
  f.button(u"OK");
  f.gate.queued_stop = true;
  auto outcome = f.click("OK");
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().outermost(), "DESKTOP_STOP_REQUESTED");
  EXPECT_FALSE(f.dispatched);
  EXPECT_EQ(f.uia.invokes, 0);
}

TEST(ElementAction, HumanInputSinceTheObservationStopsBeforeTheBanner) {
  ActionFixture f;
  f.button(u"OK");
  f.desk.last_input = 5000u;
  auto outcome = f.click("OK");
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().outermost(), "DESKTOP_HUMAN_INPUT_CHANGED");
  EXPECT_TRUE(f.gate.log.empty());
}

TEST(ElementAction, RefusalsOfPrepare) {
  struct Case {
    const char* name;
    testing::FakeNode node;
    Operation operation;
    const char* code;
  };
  const Case cases[] = {
      {"password", {.password = true, .name = u"OK", .invoke = true}, Invoke{}, "DESKTOP_PASSWORD_ELEMENT_DENIED"},
      {"no invoke", {.name = u"OK"}, Invoke{}, "DESKTOP_UIA_PATTERN_UNSUPPORTED"},
      {"no value", {.name = u"OK", .invoke = true}, SetValue{"x"}, "DESKTOP_UIA_PATTERN_UNSUPPORTED"},
      {"read only", {.name = u"OK", .value = true, .read_only = true}, SetValue{"x"}, "DESKTOP_ELEMENT_READ_ONLY"},
      {"outside", {.rect = {700, 500, 900, 550}, .name = u"OK", .invoke = true}, Invoke{}, "DESKTOP_UIA_SCOPE_MISMATCH"},
      {"empty rect", {.rect = {10, 10, 10, 40}, .name = u"OK", .invoke = true}, Invoke{}, "DESKTOP_WINDOW_BOUNDS_INVALID"},
  };
  for (const Case& c : cases) {
    ActionFixture f;
    testing::FakeNode node = c.node;
    node.automation_id = u"ok";
    f.uia.add_child(f.root, node);
    ElementSelector selector;
    selector.automation_id = "ok";
    auto outcome = f.act(selector, c.operation, ActionFixture::log_says("clicked"));
    ASSERT_FALSE(outcome) << c.name;
    EXPECT_EQ(outcome.error().outermost(), c.code) << c.name;
    EXPECT_FALSE(f.dispatched) << c.name;
    EXPECT_EQ(f.uia.invokes + f.uia.set_values, 0) << c.name;
  }
}

// --- after the dispatch ---

TEST(ElementAction, InvokeFailingAfterDispatchIsUncertain) {
  ActionFixture f;
  f.button(u"OK");
  f.uia.fail("Invoke", testing::kFakeTimeout);
  auto outcome = f.click("OK");
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().outermost(), "DESKTOP_INPUT_OUTCOME_UNKNOWN");
  const ActionFailure& failure = action_failure(outcome.error());
  EXPECT_EQ(failure.diagnostic.phase, AutomationFailurePhase::kDispatch);
  EXPECT_EQ(failure.reason_code, "DESKTOP_UIA_PROVIDER_UNAVAILABLE");
  EXPECT_TRUE(f.dispatched);
}

TEST(ElementAction, VerificationNeverTrueIsAVerificationDeadline) {
  ActionFixture f;
  f.button(u"OK");
  f.uia.on_invoke = nullptr;
  auto outcome = f.click("OK");
  ASSERT_FALSE(outcome);
  const ActionFailure& failure = action_failure(outcome.error());
  EXPECT_EQ(failure.diagnostic.phase, AutomationFailurePhase::kVerificationDeadline);
  EXPECT_EQ(failure.reason_code, "DESKTOP_WAIT_TIMEOUT");
  EXPECT_EQ(f.desk.clock.elapsed(), 3000ms);
}

TEST(ElementAction, WindowClosingAfterTheActionIsAPostDispatchGuardFailure) {
  ActionFixture f;
  f.button(u"OK");
  f.uia.on_invoke = [&](int) { f.desk.remove_window(f.handle); };
  auto outcome = f.click("OK");
  ASSERT_FALSE(outcome);
  const ActionFailure& failure = action_failure(outcome.error());
  EXPECT_EQ(failure.diagnostic.phase, AutomationFailurePhase::kPostDispatchGuard);
  EXPECT_EQ(failure.reason_code, "DESKTOP_WINDOW_UNAVAILABLE");
}

TEST(ElementAction, VerificationReadTimingOutOnceIsRetried) {
  ActionFixture f;
  f.button(u"OK");
  f.uia.on_invoke = [&](int) {
    f.uia.node(f.label).name = u"clicked";
    f.uia.fail("ElementFromHandleBuildCache", testing::kFakeTimeout);
  };
  auto outcome = f.click("OK");
  ASSERT_TRUE(outcome) << outcome.error().display_chain();
  EXPECT_EQ(f.uia.invokes, 1);
  EXPECT_FALSE(f.desk.clock.sleeps().empty());
}

TEST(ElementAction, VerificationReadTooLargeIsNotRetried) {
  ActionFixture f;
  f.button(u"OK");
  f.uia.on_invoke = [&](int) { f.uia.node(f.label).name = std::u16string(257, u'x'); };
  auto outcome = f.click("OK");
  ASSERT_FALSE(outcome);
  const ActionFailure& failure = action_failure(outcome.error());
  EXPECT_EQ(failure.diagnostic.phase, AutomationFailurePhase::kVerificationRead);
  EXPECT_EQ(failure.reason_code, "DESKTOP_UIA_METADATA_TOO_LARGE");
  EXPECT_TRUE(f.desk.clock.sleeps().empty());
}

TEST(ElementAction, SetValueThroughThePatternIsVerifiedByValue) {
  ActionFixture f;
  f.uia.add_child(f.root, {.automation_id = u"note", .control_type = kEditControlType, .value = true});
  ElementSelector selector;
  selector.automation_id = "note";
  Check verify;
  verify.selector = selector;
  verify.condition = ValueEquals{"hello"};
  auto outcome = f.act(selector, SetValue{"hello"}, verify);
  ASSERT_TRUE(outcome) << outcome.error().display_chain();
  EXPECT_EQ(f.uia.set_values, 1);
}

// --- classic controls ---

struct ClassicFixture : ActionFixture {
  // A control directly in the target window, and its element.
  int add(FakeControl control, testing::FakeNode node) {
    control.parent = control.parent ? control.parent : handle;
    node.native = controls.add(std::move(control));
    return uia.add_child(root, std::move(node));
  }
  int add_button(FakeControl control = {}) {
    return add(std::move(control), {.name = u"OK", .class_name = u"Button", .invoke = true});
  }
  int add_edit(FakeControl control) {
    control.class_name = control.class_name == u"Button" ? u"Edit" : control.class_name;
    return add(std::move(control), {.automation_id = u"edit", .control_type = kEditControlType, .value = true});
  }
  Result<Outcome> set_text(std::string text) {
    ElementSelector selector;
    selector.automation_id = "edit";
    return act(selector, SetValue{std::move(text)}, log_says("set"));
  }
  ClassicFixture() {
    controls.on_message = [this](const testing::SentMessage& m) {
      if (m.message == kBmClick) uia.node(label).name = u"clicked";
      if (m.message == kWmSetText) uia.node(label).name = u"set";
    };
  }
  std::vector<std::uint32_t> messages() const {
    std::vector<std::uint32_t> out;
    for (const auto& m : controls.sent) out.push_back(m.message);
    return out;
  }
};

TEST(ClassicControl, PushButtonsAreClickedByBoundedMessage) {
  struct Case {
    std::u16string class_name;
    std::uint32_t style;
  };
  const Case cases[] = {{u"Button", 0x50000000}, {u"BUTTON", 0x50000001}, {u"button", 0x5000000B},
                        {u"WindowsForms10.BUTTON.app.0.2bf8098_r6_ad1", 0x50000000},
                        {u"windowsforms10.button.x", 0x50000000}};
  for (const Case& c : cases) {
    ClassicFixture f;
    f.add_button({.class_name = c.class_name, .style = c.style});
    auto outcome = f.click("OK");
    ASSERT_TRUE(outcome) << outcome.error().display_chain();
    EXPECT_EQ(f.uia.invokes, 0) << "the pattern is not used";
    ASSERT_EQ(f.controls.sent.size(), 1u);
    EXPECT_EQ(f.controls.sent[0].message, kBmClick);
    EXPECT_EQ(f.controls.sent[0].flags, 0x23u);
    EXPECT_EQ(f.controls.sent[0].timeout_ms, 400u);
    EXPECT_TRUE(f.dispatched);
  }
}

TEST(ClassicControl, OtherButtonsUseThePattern) {
  struct Case {
    const char* name;
    FakeControl control;
  };
  const Case cases[] = {
      {"check box", {.style = 0x50000003}},
      {"radio", {.style = 0x50000009}},
      {"ansi window", {.unicode = false}},
      {"prefix alone", {.class_name = u"WindowsForms10.BUTTON."}},
      {"other class", {.class_name = u"ButtonEx"}},
  };
  for (const Case& c : cases) {
    ClassicFixture f;
    f.add_button(c.control);
    auto outcome = f.click("OK");
    ASSERT_TRUE(outcome) << c.name << ": " << outcome.error().display_chain();
    EXPECT_EQ(f.uia.invokes, 1) << c.name;
    EXPECT_TRUE(f.controls.sent.empty()) << c.name;
  }
}

TEST(ClassicControl, SingleLineEditIsSetByBoundedMessages) {
  ClassicFixture f;
  const int edit = f.add_edit({.style = 0x50000080});
  auto outcome = f.set_text("hello");
  ASSERT_TRUE(outcome) << outcome.error().display_chain();
  const std::vector<std::uint32_t> expected = {kEmGetPasswordChar, kEmGetLimitText, kWmSetText};
  EXPECT_EQ(f.messages(), expected);
  for (const auto& m : f.controls.sent) EXPECT_EQ(m.flags, 0x23u);
  EXPECT_EQ(f.controls.sent.back().text, u"hello");
  EXPECT_EQ(f.controls.control(f.uia.node(edit).native).text, u"hello");
  EXPECT_EQ(f.uia.set_values, 0);
}

TEST(ClassicControl, EditRefusals) {
  struct Case {
    const char* name;
    FakeControl control;
    std::string text;
    const char* code;
  };
  const Case cases[] = {
      {"password style", {.style = 0x50000020}, "x", "DESKTOP_PASSWORD_ELEMENT_DENIED"},
      {"read only style", {.style = 0x50000800}, "x", "DESKTOP_ELEMENT_READ_ONLY"},
      {"no style", {.style = 0}, "x", "DESKTOP_UIA_PROVIDER_UNAVAILABLE"},
      {"password char", {.password_char = u'*'}, "x", "DESKTOP_PASSWORD_ELEMENT_DENIED"},
      {"over the limit", {.limit = 4}, "hello", "DESKTOP_TEXT_INVALID"},
      {"hung", {.hung = true}, "x", "DESKTOP_UIA_PROVIDER_UNAVAILABLE"},
      {"other process", {.process_id = 200}, "x", "DESKTOP_UIA_SCOPE_MISMATCH"},
      {"no thread", {.thread_id = 0}, "x", "DESKTOP_UIA_SCOPE_MISMATCH"},
      {"disabled", {.enabled = false}, "x", "DESKTOP_ELEMENT_NOT_READY"},
      {"class too long", {.class_name = u"Edit" + std::u16string(251, u'x')}, "x", "DESKTOP_UIA_PROVIDER_UNAVAILABLE"},
  };
  for (const Case& c : cases) {
    ClassicFixture f;
    FakeControl control = c.control;
    if (control.style == 0x50000000 && c.control.style != 0) control.style = 0x50000080;
    f.add_edit(control);
    auto outcome = f.set_text(c.text);
    ASSERT_FALSE(outcome) << c.name;
    EXPECT_EQ(outcome.error().outermost(), c.code) << c.name << ": " << outcome.error().display_chain();
    EXPECT_FALSE(f.dispatched) << c.name;
    for (const auto& m : f.controls.sent) EXPECT_NE(m.message, kWmSetText) << c.name;
    EXPECT_EQ(f.uia.set_values, 0) << c.name;
  }
}

TEST(ClassicControl, TextAtTheLimitIsSet) {
  ClassicFixture f;
  f.add_edit({.limit = 5});
  auto outcome = f.set_text("h\xc3\xa9llo");
  ASSERT_TRUE(outcome) << outcome.error().display_chain();
}

TEST(ClassicControl, HungEditAnswersWithinTheBoundedTime) {
  ClassicFixture f;
  f.add_edit({.hung = true});
  auto outcome = f.set_text("x");
  ASSERT_FALSE(outcome);
  ASSERT_EQ(f.controls.sent.size(), 1u);
  EXPECT_EQ(f.controls.sent[0].timeout_ms, 400u);
  EXPECT_EQ(outcome.error().os_error(), testing::kFakeSendTimeout);
}

TEST(ClassicControl, MessagesAreBoundedByTheTimeLeft) {
  ClassicFixture f;
  f.add_button();
  f.gate.proof_cost = 2800ms;  // 3000 ms budget
  auto outcome = f.click("OK");
  ASSERT_TRUE(outcome) << outcome.error().display_chain();
  ASSERT_EQ(f.controls.sent.size(), 1u);
  EXPECT_LT(f.controls.sent[0].timeout_ms, 400u);
  EXPECT_GT(f.controls.sent[0].timeout_ms, 0u);
}

TEST(ClassicControl, MultiLineAndNumberEditsUseThePattern) {
  for (const std::uint32_t style : {0x50000004u, 0x50002000u}) {
    ClassicFixture f;
    f.add_edit({.style = style});
    f.uia.on_set_value = [&](int, const std::u16string&) { f.uia.node(f.label).name = u"set"; };
    auto outcome = f.set_text("hello");
    ASSERT_TRUE(outcome) << outcome.error().display_chain();
    EXPECT_EQ(f.uia.set_values, 1);
    EXPECT_TRUE(f.controls.sent.empty());
  }
}

TEST(ClassicControl, ParentWalk) {
  struct Case {
    const char* name;
    FakeControl container;
    int depth;  // containers between the control and the target window
    const char* code;  // nullptr: clicked
  };
  const Case cases[] = {
      {"nested", {.class_name = u"Pane"}, 3, nullptr},
      {"deepest walk", {.class_name = u"Pane"}, 31, nullptr},
      {"too deep", {.class_name = u"Pane"}, 32, "DESKTOP_UIA_SCOPE_MISMATCH"},
      {"hidden container", {.class_name = u"Pane", .visible = false}, 1, "DESKTOP_ELEMENT_NOT_READY"},
      {"disabled container", {.class_name = u"Pane", .enabled = false}, 1, "DESKTOP_ELEMENT_NOT_READY"},
      {"foreign container", {.process_id = 200, .class_name = u"Pane"}, 1, "DESKTOP_UIA_SCOPE_MISMATCH"},
  };
  for (const Case& c : cases) {
    ClassicFixture f;
    WindowHandle parent = f.handle;
    for (int i = 0; i < c.depth; ++i) {
      FakeControl container = c.container;
      container.parent = parent;
      parent = f.controls.add(container);
    }
    f.add_button({.parent = parent});
    auto outcome = f.click("OK");
    if (c.code) {
      ASSERT_FALSE(outcome) << c.name;
      EXPECT_EQ(outcome.error().outermost(), c.code) << c.name;
      EXPECT_TRUE(f.controls.sent.empty()) << c.name;
    } else {
      ASSERT_TRUE(outcome) << c.name << ": " << outcome.error().display_chain();
      EXPECT_EQ(f.controls.sent.size(), 1u) << c.name;
    }
  }
}

TEST(ClassicControl, ControlOfAnotherProcessIsAScopeMismatch) {
  ClassicFixture f;
  f.add_button({.process_id = 200});
  auto outcome = f.click("OK");
  ASSERT_FALSE(outcome);
  EXPECT_EQ(outcome.error().outermost(), "DESKTOP_UIA_SCOPE_MISMATCH");
  EXPECT_EQ(f.uia.invokes, 0);
  EXPECT_TRUE(f.controls.sent.empty());
}

TEST(ClassicControl, ClickToAHungButtonIsUncertain) {
  ClassicFixture f;
  f.add_button({.hung = true});
  auto outcome = f.click("OK");
  ASSERT_FALSE(outcome);
  EXPECT_TRUE(f.dispatched);
  const ActionFailure& failure = action_failure(outcome.error());
  EXPECT_EQ(failure.diagnostic.phase, AutomationFailurePhase::kDispatch);
  EXPECT_EQ(failure.reason_code, "DESKTOP_UIA_PROVIDER_UNAVAILABLE");
  ASSERT_EQ(f.controls.sent.size(), 1u);
  EXPECT_EQ(f.controls.sent[0].timeout_ms, 400u);
}

}  // namespace
}  // namespace vor::desktop::uia
