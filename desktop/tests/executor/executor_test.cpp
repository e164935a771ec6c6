// The executor over the fake desktop: the entry's order, each kind's success
// and its refusals in order, the guarded input sequence, and everything
// taken released on every exit.
#include <gtest/gtest.h>

#include "capture_dxgi/capture.h"
#include "common/base64.h"
#include "desktop/tests/executor/fake_executor.h"
#include "executor/input_owner.h"
#include "native/validation.h"
#include "readiness/notice.h"
#include "readiness/occlusion.h"
#include "uia/element_operations.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;
using testing::ExecutorFixture;
using testing::kExecProcess;
using testing::kExecTargetRect;
using testing::request_of;

constexpr std::uint32_t kShift = 0x10;

std::string code_of(const Result<Response>& r) { return r ? r->code : r.error().outermost(); }

const TargetDiagnostic* target_diagnostic(const Result<Response>& r) {
  return r ? nullptr : r.error().find<TargetChanged>() ? &r.error().find<TargetChanged>()->diagnostic : nullptr;
}

ArmedInputPolicy policy() {
  ArmedInputPolicy p;
  p.arm_id = "arm-1";
  p.scope = InputPolicyScope::kVisibleSingleAction;
  return p;
}

Click click_at(const Window& w, std::int32_t x, std::int32_t y) { return Click{w, x, y}; }

// --- entry ---

TEST(ExecutorEntry, InspectTakesTheMutexThenDpiThenAnswersObserved) {
  ExecutorFixture f;
  auto r = f.run(request_of(Inspect{}));
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_EQ(r->code, "DESKTOP_OBSERVED");
  EXPECT_EQ(r->next_safe_action, "Choose a window from this observation.");
  ASSERT_EQ(r->windows.size(), 1u);
  EXPECT_EQ(r->windows[0].handle, f.target);
  const std::vector<std::string> calls = {"CreateMutexW", "WaitForSingleObject", "SetProcessDpiAwarenessContext -4",
                                          "ReleaseMutex", "CloseHandle"};
  EXPECT_EQ(f.owner.calls, calls);
  ASSERT_EQ(f.owner.names.size(), 1u);
  EXPECT_EQ(f.owner.names[0], u"Local\\VorKerno.Desktop.Input.1");
  f.expect_all_released();
}

TEST(ExecutorEntry, MutexNameCarriesTheSessionInDecimal) {
  EXPECT_EQ(input_owner_mutex_name(0), u"Local\\VorKerno.Desktop.Input.0");
  EXPECT_EQ(input_owner_mutex_name(4294967295u), u"Local\\VorKerno.Desktop.Input.4294967295");
}

TEST(ExecutorEntry, AnInputPolicyIsRefusedBeforeTheMutexIsTouched) {
  ExecutorFixture f;
  auto r = f.run(request_of(Inspect{}), policy());
  EXPECT_EQ(code_of(r), "DESKTOP_FULLSCREEN_UNSUPPORTED");
  EXPECT_TRUE(f.owner.calls.empty());
}

TEST(ExecutorEntry, AnInvalidRequestWithAPolicyGivesTheValidationCode) {
  ExecutorFixture f;
  Request request = request_of(Inspect{});
  request.operation_id = "bad id";
  auto r = f.run(request, policy());
  EXPECT_EQ(code_of(r), "DESKTOP_TARGET_INVALID");
  EXPECT_TRUE(f.owner.calls.empty());
}

struct MutexCase;
void PrintTo(const MutexCase& c, std::ostream* os);

struct MutexCase {
  const char* name;
  std::optional<std::uint32_t> create_error;
  std::uint32_t wait_result;
  const char* code;  // "" for success
  std::vector<std::string> calls;
};

void PrintTo(const MutexCase& c, std::ostream* os) { *os << c.name; }

class ExecutorMutexTest : public ::testing::TestWithParam<MutexCase> {};

TEST_P(ExecutorMutexTest, TakenWithoutWaiting) {
  const MutexCase& c = GetParam();
  ExecutorFixture f;
  f.owner.create_error = c.create_error;
  f.owner.wait_result = c.wait_result;
  auto r = f.run(request_of(Inspect{}));
  EXPECT_EQ(r ? std::string() : r.error().outermost(), c.code);
  EXPECT_EQ(f.owner.calls, c.calls);
  if (c.create_error && !r) {
    EXPECT_EQ(r.error().os_error(), c.create_error);
  }
  f.expect_all_released();
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ExecutorMutexTest,
    ::testing::Values(
        MutexCase{"Signalled", std::nullopt, 0, "",
                  {"CreateMutexW", "WaitForSingleObject", "SetProcessDpiAwarenessContext -4", "ReleaseMutex",
                   "CloseHandle"}},
        MutexCase{"AbandonedCountsAsAcquired", std::nullopt, 0x80, "",
                  {"CreateMutexW", "WaitForSingleObject", "SetProcessDpiAwarenessContext -4", "ReleaseMutex",
                   "CloseHandle"}},
        MutexCase{"HeldIsAConflict", std::nullopt, 0x102, "DESKTOP_OWNER_CONFLICT",
                  {"CreateMutexW", "WaitForSingleObject", "CloseHandle"}},
        MutexCase{"WaitFailedIsAConflict", std::nullopt, 0xFFFFFFFF, "DESKTOP_OWNER_CONFLICT",
                  {"CreateMutexW", "WaitForSingleObject", "CloseHandle"}},
        MutexCase{"NoHandleIsUnavailable", 5u, 0, "DESKTOP_OWNER_UNAVAILABLE", {"CreateMutexW"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ExecutorEntry, DpiAwarenessRefusedStillRuns) {
  ExecutorFixture f;
  f.owner.dpi_result = false;
  EXPECT_TRUE(f.run(request_of(Inspect{})));
}

TEST(ExecutorEntry, ALockedInputDesktopRefusesEvenInspectAfterTheMutex) {
  ExecutorFixture f;
  f.desk.desktop_name = std::u16string(u"Winlogon");
  auto r = f.run(request_of(Inspect{}));
  EXPECT_EQ(code_of(r), "DESKTOP_LOCKED_OR_UNAVAILABLE");
  EXPECT_EQ(f.owner.calls.front(), "CreateMutexW");
  EXPECT_EQ(f.owner.calls.back(), "CloseHandle");
  f.expect_all_released();
}

// --- window kinds ---

TEST(ExecutorInspect, SeventyWindowsGiveSixtyFour) {
  ExecutorFixture f;
  for (int i = 0; i < 69; ++i) f.desk.add_window({.process_id = kExecProcess, .title = u"More"});
  auto r = f.run(request_of(Inspect{}));
  ASSERT_TRUE(r);
  EXPECT_EQ(r->windows.size(), 64u);
  EXPECT_EQ(r->windows[0].handle, f.target);
}

TEST(ExecutorFindWindows, MatchesAndNoMatchAreBothSuccesses) {
  ExecutorFixture f;
  FindWindows find{{.title = "Editor"}, 200};
  auto found = f.run(request_of(find));
  ASSERT_TRUE(found) << found.error().display_chain();
  EXPECT_EQ(found->code, "DESKTOP_WINDOWS_FOUND");
  EXPECT_EQ(found->next_safe_action, "Choose a window from this observation.");
  ASSERT_EQ(found->windows.size(), 1u);
  EXPECT_EQ(found->windows[0].handle, f.target);

  find.selector.title = "Nothing";
  auto none = f.run(request_of(find));
  ASSERT_TRUE(none) << none.error().display_chain();
  EXPECT_EQ(none->code, "DESKTOP_WINDOW_NOT_FOUND");
  EXPECT_TRUE(none->windows.empty());
  f.expect_all_released();
}

// --- capture ---

struct CaptureFixture : ExecutorFixture {
  CaptureFixture() { dup.frames.push_back({.info = {100, 7, 1, false, 0}}); }
};

TEST(ExecutorCapture, ThePixelsOfTheFreshRectangleAndTheSecondSnapshot) {
  CaptureFixture f;
  auto r = f.run(request_of(Capture{f.observed}));
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_EQ(r->code, "DESKTOP_OBSERVED");
  ASSERT_TRUE(r->png_base64);
  auto png = base64_decode(*r->png_base64);
  ASSERT_TRUE(png);
  EXPECT_EQ((*png)[1], 'P');
  EXPECT_EQ(r->image_width, 800u);
  EXPECT_EQ(r->image_height, 400u);
  ASSERT_TRUE(r->capture_diagnostic);
  ASSERT_EQ(r->windows.size(), 1u);
  EXPECT_EQ(r->windows[0].rect, kExecTargetRect);
  f.expect_all_released();
}

TEST(ExecutorCapture, AnObservationNotOfTheForegroundNeverOpensTheDuplication) {
  CaptureFixture f;
  Window w = f.observed;
  w.foreground = false;
  auto r = f.run(request_of(Capture{w}));
  EXPECT_EQ(code_of(r), "DESKTOP_TARGET_CHANGED");
  const TargetDiagnostic* d = target_diagnostic(r);
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(d->foreground_changed);
  EXPECT_EQ(d->phase, TargetPhase::kBeforeNotice);
  EXPECT_TRUE(f.dup.calls.empty());
  f.expect_all_released();
}

TEST(ExecutorCapture, AFailingCloakQueryIsOcclusionUnknown) {
  CaptureFixture f;
  f.desk.window(f.target).cloaked = std::unexpected(static_cast<std::int32_t>(0x80004001u));
  auto r = f.run(request_of(Capture{f.observed}));
  EXPECT_EQ(code_of(r), "DESKTOP_CAPTURE_OCCLUSION_UNKNOWN");
  EXPECT_TRUE(f.dup.calls.empty());
  f.expect_all_released();
}

TEST(ExecutorCapture, ACoveringWindowIsOccludedBeforeTheCapture) {
  CaptureFixture f;
  WindowHandle cover = f.desk.add_window({.process_id = kExecProcess, .title = u"Cover", .rect = {200, 400, 300, 500}});
  f.desk.raise(cover);
  auto r = f.run(request_of(Capture{f.observed}));
  EXPECT_EQ(code_of(r), "DESKTOP_TARGET_OCCLUDED");
  EXPECT_TRUE(f.dup.calls.empty());
}

TEST(ExecutorCapture, AWindowMovedDuringTheCaptureIsChangedAfterCapture) {
  CaptureFixture f;
  f.dup.frames.front().paint = [&](std::uint32_t, std::uint32_t) {
    f.desk.window(f.target).rect = Rect{110, 300, 910, 700};
    return testing::Bgra{1, 2, 3, 255};
  };
  auto r = f.run(request_of(Capture{f.observed}));
  EXPECT_EQ(code_of(r), "DESKTOP_TARGET_CHANGED");
  const TargetDiagnostic* d = target_diagnostic(r);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->phase, TargetPhase::kAfterCapture);
  EXPECT_TRUE(d->bounds_changed);
  f.expect_all_released();
}

TEST(ExecutorCapture, ACaptureFailureKeepsItsDiagnostic) {
  CaptureFixture f;
  f.dup.frames.clear();
  f.dup.frames.push_back({.info = {100, 7, 1, false, 0}, .query_error = testing::kFakeEFail});
  auto r = f.run(request_of(Capture{f.observed}));
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().find<CaptureFailure>(), nullptr) << r.error().display_chain();
  f.expect_all_released();
}

// --- capture_window ---

struct WindowCaptureFixture : ExecutorFixture {
  WindowCaptureFixture() {
    wgc.frame_bounds = kExecTargetRect;
    wgc.item_sizes = {CaptureSize{800, 400}};
  }
};

TEST(ExecutorCaptureWindow, TheWindowsOwnPixelsWithTheWindowSourceGuidance) {
  WindowCaptureFixture f;
  auto r = f.run(request_of(CaptureWindow{f.observed}));
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_EQ(r->code, "DESKTOP_OBSERVED");
  EXPECT_EQ(r->next_safe_action,
            "Window-source image only; do not map these pixels to physical input coordinates. Re-observe before any "
            "separately authorized input.");
  EXPECT_TRUE(r->png_base64);
  EXPECT_TRUE(r->window_capture_diagnostic);
  EXPECT_EQ(r->windows.size(), 1u);
  f.expect_all_released();
}

TEST(ExecutorCaptureWindow, AFailedWindowsCallCarriesItsFailure) {
  WindowCaptureFixture f;
  f.wgc.failures["d3d_device"] = static_cast<HResult>(0x80070005);
  auto r = f.run(request_of(CaptureWindow{f.observed}));
  ASSERT_FALSE(r);
  EXPECT_NE(r.error().find<WindowCaptureFailure>(), nullptr) << r.error().display_chain();
  Response failed = build_response(request_of(CaptureWindow{f.observed}), r.error().outermost(), "");
  copy_failure_diagnostics(r.error(), failed);
  ASSERT_TRUE(failed.window_capture_failure);
  EXPECT_EQ(failed.window_capture_failure->hresult, static_cast<HResult>(0x80070005));
  f.expect_all_released();
}

// --- guarded focus and input ---

struct GuardFixture : ExecutorFixture {
  GuardFixture() { proof_frames(); }
};

TEST(ExecutorGuarded, ClickProvesTheBannerThenSendsAtTheWindowPoint) {
  GuardFixture f;
  auto r = f.run(request_of(click_at(f.observed, 10, 20)));
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_EQ(r->code, "DESKTOP_INPUT_ACCEPTED");
  EXPECT_EQ(r->next_safe_action, "Inspect/capture again to verify the application outcome. Do not replay this input.");
  EXPECT_TRUE(f.dispatched);
  ASSERT_EQ(f.desk.sent_batches.size(), 1u);
  auto expected = build_click_inputs(f.desk.screen, 100, 300, 10, 20);
  ASSERT_TRUE(expected);
  EXPECT_EQ(f.desk.sent_batches[0], *expected);
  ASSERT_EQ(f.notice.created.size(), 1u);  // the banner was shown once
  EXPECT_EQ(r->windows.size(), 1u);
  f.expect_all_released();
}

TEST(ExecutorGuarded, TypeSendsEachUnitIncludingBothSurrogates) {
  GuardFixture f;
  auto r = f.run(request_of(Type{f.observed, "a\xF0\x9F\x98\x80"}));
  ASSERT_TRUE(r) << r.error().display_chain();
  ASSERT_EQ(f.desk.sent_batches.size(), 1u);
  EXPECT_EQ(f.desk.sent_batches[0], text_to_key_inputs(u"a\U0001F600"));
  EXPECT_EQ(f.desk.sent_batches[0].size(), 6u);
}

TEST(ExecutorGuarded, KeySendsItsRecords) {
  GuardFixture f;
  auto r = f.run(request_of(Key{f.observed, KeyName::kAltTab}));
  ASSERT_TRUE(r) << r.error().display_chain();
  ASSERT_EQ(f.desk.sent_batches.size(), 1u);
  EXPECT_EQ(f.desk.sent_batches[0], build_key_inputs(KeyName::kAltTab));
}

TEST(ExecutorGuarded, FocusBringsTheWindowForwardWithoutComparingTheForeground) {
  GuardFixture f;
  WindowHandle other = f.desk.add_window({.process_id = kExecProcess, .title = u"Other", .rect = {0, 0, 50, 50}});
  f.desk.foreground = other;
  Window w = f.observe();
  auto r = f.run(request_of(Focus{w}));
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_EQ(r->code, "DESKTOP_FOCUS_ACCEPTED");
  EXPECT_EQ(r->next_safe_action, "Observe the focused window before input.");
  EXPECT_EQ(f.desk.foreground, f.target);
  ASSERT_EQ(r->windows.size(), 1u);
  EXPECT_TRUE(r->windows[0].foreground);
  EXPECT_TRUE(f.desk.sent_batches.empty());
  EXPECT_FALSE(f.dispatched);
  f.expect_all_released();
}

TEST(ExecutorGuarded, FocusDenied) {
  GuardFixture f;
  f.desk.foreground_allowed = false;
  auto r = f.run(request_of(Focus{f.observed}));
  EXPECT_EQ(code_of(r), "DESKTOP_FOCUS_DENIED");
  f.expect_all_released();
}

TEST(ExecutorGuarded, ShiftHeldRefusesBeforeTheBanner) {
  GuardFixture f;
  f.desk.held_keys = {kShift};
  auto r = f.run(request_of(click_at(f.observed, 10, 20)));
  EXPECT_EQ(code_of(r), "DESKTOP_HUMAN_INPUT_ACTIVE");
  EXPECT_TRUE(f.notice.created.empty());
  EXPECT_TRUE(f.desk.sent_batches.empty());
  f.expect_all_released();
}

TEST(ExecutorGuarded, TheTickMovedAfterTheObservationRefusesBeforeTheBanner) {
  GuardFixture f;
  f.desk.last_input = 1001u;
  auto r = f.run(request_of(Key{f.observed, KeyName::kEnter}));
  EXPECT_EQ(code_of(r), "DESKTOP_HUMAN_INPUT_CHANGED");
  EXPECT_TRUE(f.notice.created.empty());
  f.expect_all_released();
}

TEST(ExecutorGuarded, AChangedTargetIsRefusedBeforeTheBanner) {
  GuardFixture f;
  f.desk.window(f.target).rect = Rect{100, 300, 901, 700};
  auto r = f.run(request_of(Key{f.observed, KeyName::kEnter}));
  EXPECT_EQ(code_of(r), "DESKTOP_TARGET_CHANGED");
  ASSERT_NE(target_diagnostic(r), nullptr);
  EXPECT_EQ(target_diagnostic(r)->phase, TargetPhase::kBeforeNotice);
  EXPECT_TRUE(f.notice.created.empty());
}

TEST(ExecutorGuarded, AClickPointCoveredAfterTheProofIsOccludedWithNothingLeftAndNoInput) {
  GuardFixture f;
  // The cover appears only once banner and hotkey are gone, and the hit test
  // still sees it: the hit test comes after the teardown.
  bool covered = false;
  f.after_teardown([&] {
    covered = true;
    WindowHandle cover = f.desk.add_window({.process_id = 300, .title = u"Cover", .rect = {100, 300, 200, 400}});
    f.desk.raise(cover);
    f.desk.foreground = f.target;
  });
  auto r = f.run(request_of(click_at(f.observed, 10, 20)));
  EXPECT_EQ(code_of(r), "DESKTOP_TARGET_OCCLUDED");
  EXPECT_TRUE(covered);
  EXPECT_TRUE(f.desk.sent_batches.empty());
  EXPECT_FALSE(f.dispatched);
  f.expect_all_released();
}

TEST(ExecutorGuarded, AStopHotkeyQueuedAfterTheProofStopsBeforeInput) {
  GuardFixture f;
  f.after_banner([&] { f.notice.queue.push_back(QueuedMessage{0, kWmHotkey, 1, 0x7B0003, 0, 0, 0}); });
  auto r = f.run(request_of(Key{f.observed, KeyName::kEnter}));
  EXPECT_EQ(code_of(r), "DESKTOP_STOP_REQUESTED");
  EXPECT_TRUE(f.desk.sent_batches.empty());
  EXPECT_TRUE(f.notice.queue.empty());
  f.expect_all_released();
}

TEST(ExecutorGuarded, AnObservationFourteenAndAHalfSecondsOldGoesStaleDuringTheProof) {
  GuardFixture f;
  f.desk.clock.advance(14500ms);
  const auto before = f.desk.clock.elapsed();
  auto r = f.run(request_of(Key{f.observed, KeyName::kEnter}));
  EXPECT_EQ(code_of(r), "DESKTOP_OBSERVATION_STALE");
  // The proof with its one-second hold is what made it older than 15 s.
  EXPECT_GE(f.desk.clock.elapsed() - before, 1000ms);
  EXPECT_LT(f.desk.clock.elapsed() - before, 1500ms);
  EXPECT_FALSE(f.notice.created.empty());  // the entry passed: the proof ran
  EXPECT_TRUE(f.desk.sent_batches.empty());
  f.expect_all_released();
}

TEST(ExecutorGuarded, TheForegroundChangedAfterTheBannerIsATargetChangeAfterNotice) {
  GuardFixture f;
  WindowHandle other = f.desk.add_window({.process_id = kExecProcess, .title = u"Other", .rect = {0, 0, 50, 50}});
  f.after_banner([&] { f.desk.foreground = other; });
  auto r = f.run(request_of(Key{f.observed, KeyName::kEnter}));
  EXPECT_EQ(code_of(r), "DESKTOP_TARGET_CHANGED");
  ASSERT_NE(target_diagnostic(r), nullptr);
  EXPECT_EQ(target_diagnostic(r)->phase, TargetPhase::kAfterNotice);
  EXPECT_TRUE(target_diagnostic(r)->foreground_changed);
  EXPECT_TRUE(f.desk.sent_batches.empty());
  f.expect_all_released();
}

TEST(ExecutorGuarded, TheForegroundLostRightBeforeInputIsATargetChangeBeforeInputWithForegroundForced) {
  GuardFixture f;
  // After the teardown, the second snapshot still sees the target in the
  // foreground; the check right before input no longer does.
  int calls_after_teardown = 0;
  f.windows.foreground_hook = [&](WindowHandle real) -> WindowHandle {
    const bool torn_down = !f.notice.created.empty() && f.notice.windows.empty() && f.notice.hotkeys.empty();
    if (!torn_down) return real;
    return ++calls_after_teardown == 1 ? real : WindowHandle{0};
  };
  auto r = f.run(request_of(click_at(f.observed, 10, 20)));
  EXPECT_EQ(code_of(r), "DESKTOP_TARGET_CHANGED");
  const TargetDiagnostic* d = target_diagnostic(r);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(d->phase, TargetPhase::kBeforeInput);
  EXPECT_TRUE(d->foreground_changed);
  EXPECT_FALSE(d->bounds_changed);
  EXPECT_EQ(calls_after_teardown, 2);
  EXPECT_TRUE(f.desk.sent_batches.empty());
  f.expect_all_released();
}

TEST(ExecutorGuarded, TheTickMovedAfterTheProofIsHumanInputChanged) {
  GuardFixture f;
  f.after_banner([&] { f.desk.last_input = 2000u; });
  auto r = f.run(request_of(click_at(f.observed, 1, 1)));
  EXPECT_EQ(code_of(r), "DESKTOP_HUMAN_INPUT_CHANGED");
  EXPECT_TRUE(f.desk.sent_batches.empty());
}

TEST(ExecutorGuarded, SendInputAcceptingOneOfFourReleasesTheModifier) {
  GuardFixture f;
  f.desk.send_limits = {1};
  auto r = f.run(request_of(Key{f.observed, KeyName::kAltTab}));
  EXPECT_EQ(code_of(r), "DESKTOP_INPUT_OUTCOME_UNKNOWN");
  EXPECT_TRUE(f.dispatched);
  const auto records = build_key_inputs(KeyName::kAltTab);
  ASSERT_EQ(records.size(), 4u);
  ASSERT_EQ(f.desk.sent_batches.size(), 2u);
  EXPECT_EQ(f.desk.sent_batches[1], release_stuck_inputs(records, 4, 1));
  f.expect_all_released();
}

TEST(ExecutorGuarded, SendInputAcceptingNoneOfThreeSendsNoRelease) {
  GuardFixture f;
  f.desk.send_limits = {0};
  auto r = f.run(request_of(click_at(f.observed, 10, 20)));
  EXPECT_EQ(code_of(r), "DESKTOP_INPUT_OUTCOME_UNKNOWN");
  EXPECT_FALSE(f.dispatched);
  ASSERT_EQ(f.desk.sent_batches.size(), 1u);
  EXPECT_EQ(f.desk.sent_batches[0].size(), 3u);
}

TEST(ExecutorGuarded, AFailedFollowUpSnapshotStillAcceptsWithNoWindows) {
  GuardFixture f;
  f.input.after_send = [&] { f.desk.window(f.target).rect_error = 1400u; };
  auto r = f.run(request_of(Key{f.observed, KeyName::kEnter}));
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_EQ(r->code, "DESKTOP_INPUT_ACCEPTED");
  EXPECT_TRUE(r->windows.empty());
}

TEST(ExecutorGuarded, AnObservedForegroundWindowThatLostItIsRefusedBeforeTheBanner) {
  GuardFixture f;
  WindowHandle other = f.desk.add_window({.process_id = kExecProcess, .title = u"Other", .rect = {0, 0, 50, 50}});
  f.desk.foreground = other;
  auto r = f.run(request_of(Key{f.observed, KeyName::kEnter}));
  EXPECT_EQ(code_of(r), "DESKTOP_TARGET_CHANGED");
  ASSERT_NE(target_diagnostic(r), nullptr);
  EXPECT_EQ(target_diagnostic(r)->phase, TargetPhase::kBeforeNotice);
  EXPECT_TRUE(target_diagnostic(r)->foreground_changed);
  EXPECT_TRUE(f.notice.created.empty());
}

// --- launch ---

Launch notepad() { return Launch{"C:\\Windows\\notepad.exe", {}}; }

TEST(ExecutorLaunch, ProvesTheBannerOverTheFixedRectangleAndValidates) {
  ExecutorFixture f;
  f.proof_frames();
  auto r = f.run(request_of(notepad()));
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_EQ(r->code, "DESKTOP_LAUNCH_VALIDATED");
  EXPECT_EQ(r->next_safe_action, "The broker may launch the authorized application in this user session.");
  ASSERT_FALSE(f.notice.monitor_queries.empty());
  EXPECT_EQ(f.notice.monitor_queries[0], (Rect{0, 0, 460, 32}));
  EXPECT_TRUE(f.desk.sent_batches.empty());
  f.expect_all_released();
}

TEST(ExecutorLaunch, AHeldKeyRefusesBeforeTheBanner) {
  ExecutorFixture f;
  f.desk.held_keys = {0x41};
  auto r = f.run(request_of(notepad()));
  EXPECT_EQ(code_of(r), "DESKTOP_HUMAN_INPUT_ACTIVE");
  EXPECT_TRUE(f.notice.created.empty());
  f.expect_all_released();
}

TEST(ExecutorLaunch, AStopQueuedAfterTheProofStopsTheLaunch) {
  ExecutorFixture f;
  f.proof_frames();
  f.after_banner([&] { f.notice.queue.push_back(QueuedMessage{0, kWmHotkey, 1, 0x7B0003, 0, 0, 0}); });
  auto r = f.run(request_of(notepad()));
  EXPECT_EQ(code_of(r), "DESKTOP_STOP_REQUESTED");
  f.expect_all_released();
}

TEST(ExecutorLaunch, AnInvalidProgramIsRefusedBeforeTheMutex) {
  ExecutorFixture f;
  auto r = f.run(request_of(Launch{"notepad.exe", {}}));
  EXPECT_EQ(code_of(r), "DESKTOP_PROGRAM_INVALID");
  EXPECT_TRUE(f.owner.calls.empty());
}

// --- element kinds ---

struct ElementFixture : ExecutorFixture {
  int root = 0;
  ElementFixture() {
    root = uia.add_root(target, {.rect = kExecTargetRect, .native = target, .name = u"Editor",
                                 .class_name = u"AppWindow", .control_type = 50032});
    uia.add_child(root, {.rect = {110, 310, 210, 340}, .name = u"OK", .invoke = true});
  }
};

ElementSelector named(std::string name) {
  ElementSelector s;
  s.name = std::move(name);
  return s;
}

TEST(ExecutorElements, FindElementsFindsAndAppendsTheFreshTarget) {
  ElementFixture f;
  auto r = f.run(request_of(FindElements{f.observed, named("OK"), 500}));
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_EQ(r->code, "DESKTOP_ELEMENTS_FOUND");
  EXPECT_EQ(r->next_safe_action,
            "Inspect the verified predicate and exact target. A semantic UIA action is not a physical click; never "
            "replay uncertain input.");
  ASSERT_TRUE(r->automation);
  EXPECT_EQ(r->automation->elements.size(), 1u);
  ASSERT_EQ(r->windows.size(), 1u);
  EXPECT_EQ(r->windows[0].handle, f.target);
  f.expect_all_released();
}

TEST(ExecutorElements, NoMatchIsASuccess) {
  ElementFixture f;
  auto r = f.run(request_of(FindElements{f.observed, named("Cancel"), 200}));
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_EQ(r->code, "DESKTOP_ELEMENT_NOT_FOUND");
  f.expect_all_released();
}

TEST(ExecutorElements, WaitElementVerifiesTheCondition) {
  ElementFixture f;
  auto r = f.run(request_of(WaitElement{f.observed, Check{named("OK"), Ready{}}, 500}));
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_EQ(r->code, "DESKTOP_ELEMENT_CONDITION_VERIFIED");
  EXPECT_EQ(r->windows.size(), 1u);
  f.expect_all_released();
}

TEST(ExecutorElements, ElementActionProvesTheBannerInvokesAndVerifies) {
  ElementFixture f;
  f.proof_frames();
  int ok = 1;
  f.uia.on_invoke = [&](int node) {
    if (node == ok) f.uia.node(ok).name = u"Done";
  };
  auto r = f.run(request_of(ElementAction{f.observed, named("OK"), Invoke{}, Check{named("Done"), Ready{}}, 3000}));
  ASSERT_TRUE(r) << r.error().display_chain();
  EXPECT_EQ(r->code, "DESKTOP_ELEMENT_ACTION_VERIFIED");
  EXPECT_TRUE(r->windows.empty());
  EXPECT_TRUE(f.dispatched);
  EXPECT_EQ(f.notice.created.size(), 1u);
  f.expect_all_released();
}

TEST(ExecutorElements, ApartmentRefusedFailsAndLeavesNothing) {
  ElementFixture f;
  f.uia.init_result = static_cast<HResult>(0x80010106);  // RPC_E_CHANGED_MODE
  auto r = f.run(request_of(FindElements{f.observed, named("OK"), 500}));
  EXPECT_EQ(code_of(r), "DESKTOP_UIA_APARTMENT_UNAVAILABLE");
  f.expect_all_released();
}

// --- failure diagnostics of the worker's failure response ---

TEST(ExecutorFailureDiagnostics, EachTypedErrorFillsItsMember) {
  Request request = request_of(Inspect{});
  Response r = build_response(request, "DESKTOP_TARGET_CHANGED", "x");
  TargetDiagnostic d;
  d.phase = TargetPhase::kAfterNotice;
  d.bounds_changed = true;
  copy_failure_diagnostics(target_changed_error(d), r);
  EXPECT_EQ(r.target_diagnostic, d);

  Response a = build_response(request, "DESKTOP_INPUT_OUTCOME_UNKNOWN", "x");
  copy_failure_diagnostics(
      uia::to_action_failure(AutomationFailurePhase::kDispatch, Error("DESKTOP_ELEMENT_CHANGED")), a);
  ASSERT_TRUE(a.automation_diagnostic);
  EXPECT_EQ(a.automation_diagnostic->phase, AutomationFailurePhase::kDispatch);

  Response p = build_response(request, "DESKTOP_NOTICE_PROOF_UNAVAILABLE", "x");
  copy_failure_diagnostics(to_proof_failure(Error("DESKTOP_CAPTURE_FRAME_NOT_FRESH")), p);
  ASSERT_TRUE(p.notice_diagnostic);
  EXPECT_EQ(p.notice_diagnostic->phase, "notice_visibility");

  Response v = build_response(request, "DESKTOP_CAPTURE_LAYERED_VISIBILITY_UNCONFIRMED", "x");
  copy_failure_diagnostics(Error::with("DESKTOP_CAPTURE_LAYERED_VISIBILITY_UNCONFIRMED",
                                       VisibilityFailure{"DESKTOP_CAPTURE_LAYERED_VISIBILITY_UNCONFIRMED"}),
                           v);
  EXPECT_TRUE(v.next_safe_action.starts_with("A layered window intersects this exact crop"));
  Response o = build_response(request, "DESKTOP_CAPTURE_OCCLUSION_UNKNOWN", "x");
  copy_failure_diagnostics(
      Error::with("DESKTOP_CAPTURE_OCCLUSION_UNKNOWN", VisibilityFailure{"DESKTOP_CAPTURE_OCCLUSION_UNKNOWN"}), o);
  EXPECT_TRUE(o.next_safe_action.starts_with("Windows could not confirm the exact crop's visual visibility."));

  Response plain = build_response(request, "DESKTOP_FOCUS_DENIED", "x");
  copy_failure_diagnostics(Error("DESKTOP_FOCUS_DENIED"), plain);
  EXPECT_EQ(plain, build_response(request, "DESKTOP_FOCUS_DENIED", "x"));
}

}  // namespace
}  // namespace vor::desktop

namespace vor::desktop {
namespace {

// --- a failure at every step of every kind releases everything taken ---

struct InjectedFailure {
  const char* name;
  std::function<Request(testing::ExecutorFixture&)> request;
  std::function<void(testing::ExecutorFixture&)> inject;
  const char* code;
};

Request key_request(testing::ExecutorFixture& f) { return request_of(Key{f.observed, KeyName::kEnter}); }
Request click_request(testing::ExecutorFixture& f) { return request_of(Click{f.observed, 10, 20}); }
Request focus_request(testing::ExecutorFixture& f) { return request_of(Focus{f.observed}); }
Request launch_request(testing::ExecutorFixture&) { return request_of(Launch{"C:\\Windows\\notepad.exe", {}}); }
Request capture_request(testing::ExecutorFixture& f) { return request_of(Capture{f.observed}); }
Request capture_window_request(testing::ExecutorFixture& f) { return request_of(CaptureWindow{f.observed}); }
Request find_request(testing::ExecutorFixture& f) {
  ElementSelector s;
  s.name = "OK";
  return request_of(FindElements{f.observed, s, 500});
}
Request wait_request(testing::ExecutorFixture& f) {
  ElementSelector s;
  s.name = "OK";
  return request_of(WaitElement{f.observed, Check{s, NameEquals{"Never"}}, 200});
}
Request type_request(testing::ExecutorFixture& f) { return request_of(Type{f.observed, "abc"}); }
Request action_request(testing::ExecutorFixture& f) {
  ElementSelector s;
  s.name = "OK";
  return request_of(ElementAction{f.observed, s, Invoke{}, Check{s, Absent{}}, 1000});
}

void gone_after_banner(testing::ExecutorFixture& f) {
  f.after_banner([&f] { f.desk.window(f.target).visible = false; });
}
void locked_after_banner(testing::ExecutorFixture& f) {
  f.after_banner([&f] { f.desk.desktop_name = std::u16string(u"Winlogon"); });
}
void no_proof_frames(testing::ExecutorFixture& f) { f.dup.frames.clear(); }
void hotkey_taken(testing::ExecutorFixture& f) { f.notice.hotkey_error = testing::kFakeHotkeyTaken; }
void banner_not_created(testing::ExecutorFixture& f) { f.notice.create_error = 8u; }
void banner_not_shown(testing::ExecutorFixture& f) { f.notice.show_error = 5u; }
void send_refused(testing::ExecutorFixture& f) { f.desk.send_limits = {0}; }
void tick_unreadable(testing::ExecutorFixture& f) { f.desk.last_input = win32_error(5); }

void PrintTo(const InjectedFailure& c, std::ostream* os) { *os << c.name; }

class ExecutorReleaseTest : public ::testing::TestWithParam<InjectedFailure> {};

TEST_P(ExecutorReleaseTest, FailsWithItsCodeAndLeavesNothingTaken) {
  const InjectedFailure& c = GetParam();
  testing::ExecutorFixture f;
  const int root = f.uia.add_root(f.target, {.rect = kExecTargetRect, .native = f.target, .name = u"Editor",
                                             .class_name = u"AppWindow", .control_type = 50032});
  f.uia.add_child(root, {.rect = {110, 310, 210, 340}, .name = u"OK", .invoke = true});
  f.proof_frames();
  f.dup.frames.push_front({.info = {50, 7, 1, false, 0}});  // a capture's frame; the proof skips its colours
  f.wgc.frame_bounds = kExecTargetRect;
  f.wgc.item_sizes = {CaptureSize{800, 400}};
  const Request request = c.request(f);
  c.inject(f);
  auto r = f.run(request);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().outermost(), c.code) << r.error().display_chain();
  f.expect_all_released();
  EXPECT_GT(f.owner.calls.size(), 2u);  // the mutex was taken
}

INSTANTIATE_TEST_SUITE_P(
    Steps, ExecutorReleaseTest,
    ::testing::Values(
        // guarded input
        InjectedFailure{"KeyTargetGone", key_request, [](auto& f) { f.desk.window(f.target).visible = false; },
                        "DESKTOP_WINDOW_UNAVAILABLE"},
        InjectedFailure{"KeyHotkeyTaken", key_request, hotkey_taken, "DESKTOP_STOP_HOTKEY_UNAVAILABLE"},
        InjectedFailure{"KeyBannerNotCreated", key_request, banner_not_created, "DESKTOP_NOTICE_UNAVAILABLE"},
        InjectedFailure{"KeyBannerNotShown", key_request, banner_not_shown, "DESKTOP_NOTICE_UNAVAILABLE"},
        InjectedFailure{"KeyProofWithoutFrames", key_request, no_proof_frames, "DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
        InjectedFailure{"KeyLockedAfterBanner", key_request, locked_after_banner, "DESKTOP_LOCKED_OR_UNAVAILABLE"},
        InjectedFailure{"KeyTargetGoneAfterBanner", key_request, gone_after_banner, "DESKTOP_WINDOW_UNAVAILABLE"},
        InjectedFailure{"KeyTickUnreadableAfterBanner", key_request,
                        [](auto& f) { f.after_banner([&f] { tick_unreadable(f); }); },
                        "DESKTOP_INPUT_STATE_UNAVAILABLE"},
        InjectedFailure{"KeySendRefused", key_request, send_refused, "DESKTOP_INPUT_OUTCOME_UNKNOWN"},
        InjectedFailure{"ClickOutsideTheScreen", click_request, [](auto& f) { f.desk.screen = {0, 0, 1, 1}; },
                        "DESKTOP_COORDINATE_OUTSIDE_SCREEN"},
        InjectedFailure{"FocusProofWithoutFrames", focus_request, no_proof_frames,
                        "DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
        // launch
        InjectedFailure{"LaunchTickUnreadable", launch_request, tick_unreadable, "DESKTOP_INPUT_STATE_UNAVAILABLE"},
        InjectedFailure{"LaunchHotkeyTaken", launch_request, hotkey_taken, "DESKTOP_STOP_HOTKEY_UNAVAILABLE"},
        InjectedFailure{"LaunchProofWithoutFrames", launch_request, no_proof_frames,
                        "DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
        InjectedFailure{"LaunchLockedAfterBanner", launch_request, locked_after_banner,
                        "DESKTOP_LOCKED_OR_UNAVAILABLE"},
        // capture
        InjectedFailure{"CaptureTargetMinimized", capture_request,
                        [](auto& f) { f.desk.window(f.target).minimized = true; }, "DESKTOP_WINDOW_UNAVAILABLE"},
        InjectedFailure{"CaptureCloaked", capture_request, [](auto& f) { f.desk.window(f.target).cloaked = 2u; },
                        "DESKTOP_CAPTURE_OCCLUSION_UNKNOWN"},
        InjectedFailure{"CaptureNoOutput", capture_request, [](auto& f) { f.dup.adapters.clear(); },
                        "DESKTOP_CAPTURE_REGION_UNSUPPORTED"},
        InjectedFailure{"CaptureLockedDuringTheCapture", capture_request,
                        [](auto& f) {
                          f.dup.frames.front().paint = [&f](std::uint32_t, std::uint32_t) {
                            f.desk.desktop_name = std::u16string(u"Winlogon");
                            return testing::Bgra{1, 2, 3, 255};
                          };
                        },
                        "DESKTOP_LOCKED_OR_UNAVAILABLE"},
        InjectedFailure{"CaptureGoneDuringTheCapture", capture_request,
                        [](auto& f) {
                          f.dup.frames.front().paint = [&f](std::uint32_t, std::uint32_t) {
                            f.desk.window(f.target).visible = false;
                            return testing::Bgra{1, 2, 3, 255};
                          };
                        },
                        "DESKTOP_WINDOW_UNAVAILABLE"},
        InjectedFailure{"CaptureCloakedDuringTheCapture", capture_request,
                        [](auto& f) {
                          f.dup.frames.front().paint = [&f](std::uint32_t, std::uint32_t) {
                            f.desk.window(f.target).cloaked = std::unexpected(static_cast<std::int32_t>(0x80004005u));
                            return testing::Bgra{1, 2, 3, 255};
                          };
                        },
                        "DESKTOP_CAPTURE_OCCLUSION_UNKNOWN"},
        InjectedFailure{"CaptureCoveredDuringTheCapture", capture_request,
                        [](auto& f) {
                          f.dup.frames.front().paint = [&f](std::uint32_t, std::uint32_t) {
                            if (f.desk.window(f.target).title == u"Editor") {
                              f.desk.window(f.target).title = u"Editor ";
                              f.desk.raise(f.desk.add_window(
                                  {.process_id = 300, .title = u"Cover", .rect = {150, 350, 250, 450}}));
                            }
                            return testing::Bgra{1, 2, 3, 255};
                          };
                        },
                        "DESKTOP_TARGET_OCCLUDED"},
        // capture_window
        InjectedFailure{"CaptureWindowCloaked", capture_window_request,
                        [](auto& f) { f.desk.window(f.target).cloaked = 1u; },
                        "DESKTOP_CAPTURE_WINDOW_SOURCE_UNAVAILABLE"},
        InjectedFailure{"CaptureWindowRuntimeRefused", capture_window_request,
                        [](auto& f) { f.wgc.failures["support_query"] = static_cast<HResult>(0x80040154u); },
                        "DESKTOP_CAPTURE_WGC_UNAVAILABLE"},
        // element kinds
        InjectedFailure{"FindElementsNoAutomation", find_request, [](auto& f) { f.uia.automation_null = true; },
                        "DESKTOP_UIA_PROVIDER_UNAVAILABLE"},
        InjectedFailure{"FindElementsTargetGone", find_request,
                        [](auto& f) { f.desk.window(f.target).visible = false; }, "DESKTOP_WINDOW_UNAVAILABLE"},
        InjectedFailure{"ElementActionProofWithoutFrames", action_request, no_proof_frames,
                        "DESKTOP_NOTICE_PROOF_UNAVAILABLE"},
        InjectedFailure{"ElementActionHotkeyTaken", action_request, hotkey_taken,
                        "DESKTOP_STOP_HOTKEY_UNAVAILABLE"},
        InjectedFailure{"ElementActionApartmentRefused", action_request,
                        [](auto& f) { f.uia.init_result = static_cast<HResult>(0x80010106u); },
                        "DESKTOP_UIA_APARTMENT_UNAVAILABLE"},
        InjectedFailure{"FindElementsWindowMovedDuringTheSearch", find_request,
                        [](auto& f) {
                          f.uia.at(0ns, [&f](auto&) { f.desk.window(f.target).rect = Rect{0, 0, 800, 400}; });
                        },
                        "DESKTOP_TARGET_CHANGED"},
        InjectedFailure{"WaitElementTimesOut", wait_request, [](auto&) {}, "DESKTOP_WAIT_TIMEOUT"},
        InjectedFailure{"CaptureWindowMovedDuringTheCapture", capture_window_request,
                        [](auto& f) {
                          f.wgc.on_start_capture = [&f] { f.desk.window(f.target).rect = Rect{0, 0, 800, 400}; };
                        },
                        "DESKTOP_TARGET_CHANGED"},
        InjectedFailure{"FocusTargetGoneOnceFocused", focus_request,
                        [](auto& f) {
                          f.windows.after_set_foreground = [&f] { f.desk.window(f.target).visible = false; };
                        },
                        "DESKTOP_WINDOW_UNAVAILABLE"},
        InjectedFailure{"TypeSendRefused", type_request, send_refused, "DESKTOP_INPUT_OUTCOME_UNKNOWN"},
        InjectedFailure{"TypeStopQueuedAfterTheProof", type_request,
                        [](auto& f) {
                          f.after_banner(
                              [&f] { f.notice.queue.push_back(QueuedMessage{0, kWmHotkey, 1, 0, 0, 0, 0}); });
                        },
                        "DESKTOP_STOP_REQUESTED"},
        InjectedFailure{"LaunchBannerNotCreated", launch_request, banner_not_created, "DESKTOP_NOTICE_UNAVAILABLE"},
        InjectedFailure{"InspectLockedAtEntry", [](auto&) { return request_of(Inspect{}); },
                        [](auto& f) { f.desk.desktop_name = win32_error(5); }, "DESKTOP_LOCKED_OR_UNAVAILABLE"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vor::desktop
