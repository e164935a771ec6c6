// Execution evidence: effect and backend of every kind, and delivery and
// verification for each code, automation outcome and dispatched flag.
#include "native/execution_evidence.h"

#include <gtest/gtest.h>

#include <string>

namespace vor::desktop {
namespace {

Response answer(std::string code, std::optional<std::string> automation_verification = std::nullopt) {
  Response r;
  r.code = std::move(code);
  if (automation_verification) {
    Outcome o;
    o.verification = *automation_verification;
    r.automation = o;
  }
  return r;
}

TEST(BuildExecutionEvidence, EffectAndBackendOfEveryKind) {
  struct Case {
    ActionKind kind;
    std::string_view effect, backend;
  };
  const Case cases[] = {
      {ActionKind::kInspect, "read_only", "window_or_uia"},
      {ActionKind::kFindWindows, "read_only", "window_or_uia"},
      {ActionKind::kFindElements, "read_only", "window_or_uia"},
      {ActionKind::kWaitElement, "read_only", "window_or_uia"},
      {ActionKind::kElementAction, "semantic_mutation", "uia_or_native_control"},
      {ActionKind::kCapture, "passive_capture", "dxgi"},
      {ActionKind::kCaptureWindow, "indicated_window_capture", "windows_graphics_capture"},
      {ActionKind::kFocus, "focus_change", "win32"},
      {ActionKind::kClick, "physical_input", "win32"},
      {ActionKind::kType, "physical_input", "win32"},
      {ActionKind::kKey, "physical_input", "win32"},
  };
  ASSERT_EQ(std::size(cases), kActionKindCount - 1);  // every kind but launch
  for (const auto& c : cases) {
    const auto e = build_execution_evidence(c.kind, answer("DESKTOP_OBSERVED"), false);
    ASSERT_TRUE(e) << action_kind_name(c.kind);
    EXPECT_EQ(e->effect, c.effect) << action_kind_name(c.kind);
    EXPECT_EQ(e->backend, c.backend) << action_kind_name(c.kind);
    EXPECT_EQ(e->version, 1u);
    EXPECT_FALSE(e->automatic_replay);
    EXPECT_EQ(e->reason_code, "DESKTOP_OBSERVED");
  }
}

TEST(BuildExecutionEvidence, LaunchCarriesNone) {
  EXPECT_FALSE(build_execution_evidence(ActionKind::kLaunch, answer("DESKTOP_LAUNCHED"), true));
}

TEST(BuildExecutionEvidence, DeliveryAndVerification) {
  struct Case {
    const char* name;
    ActionKind kind;
    std::string code;
    std::optional<std::string> automation;
    bool dispatched;
    std::string_view delivery, verification;
  };
  const Case cases[] = {
      {"input unknown, not dispatched", ActionKind::kClick, "DESKTOP_INPUT_OUTCOME_UNKNOWN", std::nullopt, false,
       "unknown", "unknown"},
      {"input unknown, dispatched", ActionKind::kKey, "DESKTOP_INPUT_OUTCOME_UNKNOWN", std::nullopt, true, "unknown",
       "unknown"},
      {"outcome unknown beats verified", ActionKind::kElementAction, "DESKTOP_OUTCOME_UNKNOWN", "verified", true,
       "unknown", "unknown"},
      {"outcome unknown on focus", ActionKind::kFocus, "DESKTOP_OUTCOME_UNKNOWN", std::nullopt, true, "unknown",
       "unknown"},
      {"focus accepted", ActionKind::kFocus, "DESKTOP_FOCUS_ACCEPTED", std::nullopt, true, "not_applicable",
       "foreground_observed"},
      {"focus refused, not dispatched", ActionKind::kFocus, "DESKTOP_FOCUS_REFUSED", std::nullopt, false,
       "not_applicable", "not_verified"},
      {"verified element action", ActionKind::kElementAction, "DESKTOP_ELEMENT_ACTION_VERIFIED", "verified", true,
       "attempted_once", "verified"},
      {"automation not verified", ActionKind::kElementAction, "DESKTOP_ELEMENT_ACTION_DONE", "not_verified", true,
       "attempted_once", "not_verified"},
      {"verified beats already satisfied", ActionKind::kElementAction, "DESKTOP_POSTCONDITION_ALREADY_SATISFIED",
       "verified", false, "not_dispatched", "verified"},
      {"already satisfied", ActionKind::kElementAction, "DESKTOP_POSTCONDITION_ALREADY_SATISFIED", "skipped", false,
       "not_dispatched", "already_satisfied"},
      {"click sent", ActionKind::kClick, "DESKTOP_INPUT_SENT", std::nullopt, true, "attempted_once", "not_verified"},
      {"type refused before input", ActionKind::kType, "DESKTOP_TARGET_CHANGED", std::nullopt, false,
       "not_dispatched", "not_verified"},
      {"read only", ActionKind::kFindWindows, "DESKTOP_OBSERVED", std::nullopt, false, "not_dispatched",
       "not_verified"},
      {"capture", ActionKind::kCapture, "DESKTOP_CAPTURED", std::nullopt, false, "not_dispatched", "not_verified"},
      {"code compared whole", ActionKind::kClick, "DESKTOP_INPUT_OUTCOME_UNKNOWN_X", std::nullopt, true,
       "attempted_once", "not_verified"},
      {"focus accepted code on another kind", ActionKind::kClick, "DESKTOP_FOCUS_ACCEPTED", std::nullopt, false,
       "not_dispatched", "foreground_observed"},
  };
  for (const auto& c : cases) {
    const auto e = build_execution_evidence(c.kind, answer(c.code, c.automation), c.dispatched);
    ASSERT_TRUE(e) << c.name;
    EXPECT_EQ(e->delivery, c.delivery) << c.name;
    EXPECT_EQ(e->verification, c.verification) << c.name;
    EXPECT_EQ(e->reason_code, c.code) << c.name;
  }
}

}  // namespace
}  // namespace vor::desktop
