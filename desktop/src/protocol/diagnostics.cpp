#include "protocol/diagnostics.h"

#include <algorithm>

#include "common/json_fields.h"

namespace vor::desktop {
namespace {

using json::Mode;
using json::Value;

constexpr std::string_view kStartupPhaseNames[] = {
    "validate",    "callerIdentity", "targetSession", "launchContext", "moduleImage",
    "userToken",   "environment",    "pipeSecurity",  "pipeCreate",    "supervision",
    "processCreate", "processResume", "peerAuthentication", "workerReadiness"};
constexpr std::string_view kTargetPhaseNames[] = {"before_capture", "during_capture", "before_notice",
                                                  "after_notice",   "after_capture",  "before_input"};
constexpr std::string_view kAutomationFailurePhaseNames[] = {"dispatch", "post_dispatch_guard", "verification_read",
                                                             "verification_deadline"};

constexpr fields::Names<StartupPhase> kStartupPhase{kStartupPhaseNames};
constexpr fields::Names<TargetPhase> kTargetPhase{kTargetPhaseNames};
constexpr fields::Names<AutomationFailurePhase> kAutomationFailurePhase{kAutomationFailurePhaseNames};

constexpr fields::Via<Rect> kRect{rect_from_value, rect_to_value, encode_rect};
constexpr fields::Via<Element> kElement{element_from_value, element_to_value, encode_element};

constexpr auto kStartup = fields::record<StartupDiagnostic>(
    [](auto& f, auto& d) {
      f.required("phase", d.phase, kStartupPhase);
      f.required("requestDispatched", d.request_dispatched);
    },
    Mode::kStrict, "StartupDiagnostic");

constexpr auto kTarget = fields::record<TargetDiagnostic>(
    [](auto& f, auto& d) {
      f.required("phase", d.phase, kTargetPhase);
      f.required("processIdentityChanged", d.process_identity_changed);
      f.required("boundsChanged", d.bounds_changed);
      f.required("foregroundChanged", d.foreground_changed);
      f.required("humanInputChanged", d.human_input_changed);
      f.required("inputDispatched", d.input_dispatched);
    },
    Mode::kStrict, "TargetDiagnostic");

constexpr auto kTexture = fields::record<TextureDiagnostic>(
    [](auto& f, auto& d) {
      f.required("width", d.width);
      f.required("height", d.height);
      f.required("format", d.format);
      f.required("usage", d.usage);
      f.required("cpuAccessFlags", d.cpu_access_flags);
      f.required("sampleCount", d.sample_count);
    },
    Mode::kLenient, "TextureDiagnostic");

constexpr auto kDxgi = fields::record<DxgiFrameDiagnostic>(
    [](auto& f, auto& d) {
      f.required("adapterIndex", d.adapter_index);
      f.required("outputIndex", d.output_index);
      f.required("lastMouseUpdateTimeQpc", d.last_mouse_update_time_qpc);
      f.required("totalMetadataBufferSize", d.total_metadata_buffer_size);
      f.required("protectedContentMaskedOut", d.protected_content_masked_out);
      f.required("acquireAttempts", d.acquire_attempts);
      f.required("pointerOnlyFramesSkipped", d.pointer_only_frames_skipped);
      f.nullable("sourceTexture", d.source_texture, kTexture);
      f.nullable("stagingTexture", d.staging_texture, kTexture);
      f.nullable("rowPitch", d.row_pitch);
      f.nullable("rawNonzeroRgbPixels", d.raw_nonzero_rgb_pixels);
      f.nullable("rawNonzeroAlphaPixels", d.raw_nonzero_alpha_pixels);
    },
    Mode::kLenient, "DxgiFrameDiagnostic");

constexpr auto kCapture = fields::record<CaptureDiagnostic>(
    [](auto& f, auto& d) {
      f.required("method", d.method);
      f.required("acquiredAt", d.acquired_at);
      f.required("lastPresentTimeQpc", d.last_present_time_qpc);
      f.required("accumulatedFrames", d.accumulated_frames);
      f.required("pointerOnly", d.pointer_only);
      f.required("cropDesktopRect", d.crop_desktop_rect, kRect);
      f.required("outputDesktopRect", d.output_desktop_rect, kRect);
      f.omittable("dxgi", d.dxgi, kDxgi);
    },
    Mode::kStrict, "CaptureDiagnostic");

constexpr auto kWindowCapture = fields::record<WindowCaptureDiagnostic>(
    [](auto& f, auto& d) {
      f.required("method", d.method);
      f.required("acquiredAt", d.acquired_at);
      f.required("frameTime100ns", d.frame_time_100ns);
      f.required("captureStart100ns", d.capture_start_100ns);
      f.required("sourceWidth", d.source_width);
      f.required("sourceHeight", d.source_height);
      f.required("borderRequired", d.border_required);
      f.required("coordinateSpace", d.coordinate_space);
    },
    Mode::kStrict, "WindowCaptureDiagnostic");

constexpr auto kWindowCaptureFailure = fields::record<WindowCaptureFailure>(
    [](auto& f, auto& d) {
      f.required("phase", d.phase);
      f.required("hresult", d.hresult);
    },
    Mode::kStrict, "WindowCaptureFailure");

constexpr auto kInput = fields::record<InputDiagnostic>(
    [](auto& f, auto& d) {
      f.required("mode", d.mode);
      f.nullable("armId", d.arm_id);
      f.required("inputDispatched", d.input_dispatched);
      f.required("entryIssued", d.entry_issued);
    },
    Mode::kStrict, "InputDiagnostic");

constexpr auto kNoticeContext = fields::record<NoticeContext>(
    [](auto& f, auto& d) {
      f.required("observedAt", d.observed_at);
      f.required("workerSessionId", d.worker_session_id);
      f.required("inputDesktopAvailable", d.input_desktop_available);
      f.nullable("inputDesktopName", d.input_desktop_name);
      f.nullable("inputDesktopError", d.input_desktop_error);
      f.required("notificationHresult", d.notification_hresult);
      f.nullable("notificationState", d.notification_state);
      f.required("notificationStateName", d.notification_state_name);
      f.nullable("screensaverRunning", d.screensaver_running);
      f.nullable("screensaverError", d.screensaver_error);
      f.nullable("lastInputIdleMilliseconds", d.last_input_idle_milliseconds);
      f.required("compositionHresult", d.composition_hresult);
      f.nullable("compositionEnabled", d.composition_enabled);
      f.required("foregroundHandle", d.foreground_handle);
      f.nullable("foregroundProcessId", d.foreground_process_id);
      f.nullable("foregroundProcessCreated", d.foreground_process_created);
      f.required("foregroundMinimized", d.foreground_minimized);
      f.nullable("foregroundRect", d.foreground_rect, kRect);
      f.nullable("displayRect", d.display_rect, kRect);
      f.nullable("foregroundCoversDisplay", d.foreground_covers_display);
    },
    Mode::kLenient, "NoticeContext");

constexpr auto kOutcome = fields::record<Outcome>(
    [](auto& f, auto& d) {
      f.required("elements", d.elements, fields::ArrayOf<fields::Via<Element>>{kElement});
      f.required("elapsedMs", d.elapsed_ms);
      f.required("actionAttempted", d.action_attempted);
      f.required("verification", d.verification);
    },
    Mode::kLenient, "Outcome");

constexpr auto kFailure = fields::record<FailureDiagnostic>(
    [](auto& f, auto& d) {
      f.required("phase", d.phase, kAutomationFailurePhase);
      f.required("reasonCode", d.reason_code);
    },
    Mode::kLenient, "FailureDiagnostic");

constexpr auto kEvidence = fields::record<Evidence>(
    [](auto& f, auto& d) {
      f.required("version", d.version);
      f.required("effect", d.effect);
      f.required("backend", d.backend);
      f.required("delivery", d.delivery);
      f.required("verification", d.verification);
      f.required("reasonCode", d.reason_code);
      f.required("automaticReplay", d.automatic_replay);
    },
    Mode::kStrict, "Evidence");

constexpr auto kDiagnostic = fields::record<Diagnostic>(
    [](auto& f, auto& d) {
      f.required("phase", d.phase);
      f.required("reasonCode", d.reason_code);
    },
    Mode::kStrict, "Diagnostic");

}  // namespace

std::string_view startup_phase_name(StartupPhase phase) { return kStartupPhase.name(phase); }
std::string_view target_phase_name(TargetPhase phase) { return kTargetPhase.name(phase); }
std::string_view automation_failure_phase_name(AutomationFailurePhase phase) {
  return kAutomationFailurePhase.name(phase);
}

Error not_sent(Error error, StartupPhase phase) {
  return std::move(error).context_with("startup phase " + std::string(startup_phase_name(phase)),
                                       NotSentMarker{phase});
}

// --- value trees, declaration order ---

Value startup_tree(const StartupDiagnostic& d) { return kStartup.tree(d); }
Value target_tree(const TargetDiagnostic& d) { return kTarget.tree(d); }
Value capture_tree(const CaptureDiagnostic& d) { return kCapture.tree(d); }
Value window_capture_tree(const WindowCaptureDiagnostic& d) { return kWindowCapture.tree(d); }
Value window_capture_failure_tree(const WindowCaptureFailure& d) { return kWindowCaptureFailure.tree(d); }
Value input_tree(const InputDiagnostic& d) { return kInput.tree(d); }
Value notice_context_tree(const NoticeContext& d) { return kNoticeContext.tree(d); }
Value outcome_tree(const Outcome& d) { return kOutcome.tree(d); }
Value failure_tree(const FailureDiagnostic& d) { return kFailure.tree(d); }
Value evidence_tree(const Evidence& d) { return kEvidence.tree(d); }
Value diagnostic_tree(const Diagnostic& d) { return kDiagnostic.tree(d); }

Value startup_to_value(const StartupDiagnostic& d) {
  Value v = startup_tree(d);
  sort_keys(v);
  return v;
}

// --- decoders ---

Result<StartupDiagnostic> startup_from_value(const Value& v) { return kStartup.from(v); }
Result<TargetDiagnostic> target_from_value(const Value& v) { return kTarget.from(v); }
Result<CaptureDiagnostic> capture_from_value(const Value& v) { return kCapture.from(v); }
Result<WindowCaptureDiagnostic> window_capture_from_value(const Value& v) { return kWindowCapture.from(v); }
Result<WindowCaptureFailure> window_capture_failure_from_value(const Value& v) {
  return kWindowCaptureFailure.from(v);
}
Result<InputDiagnostic> input_from_value(const Value& v) { return kInput.from(v); }
Result<NoticeContext> notice_context_from_value(const Value& v) { return kNoticeContext.from(v); }
Result<Outcome> outcome_from_value(const Value& v) { return kOutcome.from(v); }
Result<FailureDiagnostic> failure_from_value(const Value& v) { return kFailure.from(v); }
Result<Evidence> evidence_from_value(const Value& v) { return kEvidence.from(v); }
Result<Diagnostic> diagnostic_from_value(const Value& v) { return kDiagnostic.from(v); }

void sort_keys(Value& v) {
  if (json::Array* items = v.as_array()) {
    for (Value& item : *items) sort_keys(item);
  } else if (json::Object* members = v.as_object()) {
    for (json::Member& m : *members) sort_keys(m.value);
    std::stable_sort(members->begin(), members->end(),
                     [](const json::Member& a, const json::Member& b) { return a.key < b.key; });
  }
}

}  // namespace vor::desktop
