#include "protocol/diagnostics.h"

#include <algorithm>
#include <array>

#include "protocol/response_tree.h"

namespace vor::desktop {
namespace {

using json::Mode;
using json::Record;
using json::Value;

constexpr std::string_view kStartupPhaseNames[] = {
    "validate",    "callerIdentity", "targetSession", "launchContext", "moduleImage",
    "userToken",   "environment",    "pipeSecurity",  "pipeCreate",    "supervision",
    "processCreate", "processResume", "peerAuthentication", "workerReadiness"};
constexpr std::string_view kTargetPhaseNames[] = {"before_capture", "during_capture", "before_notice",
                                                  "after_notice",   "after_capture",  "before_input"};
constexpr std::string_view kAutomationFailurePhaseNames[] = {"dispatch", "post_dispatch_guard", "verification_read",
                                                             "verification_deadline"};

template <class E, std::size_t N>
auto enum_reader(const std::string_view (&names)[N]) {
  return [&names](const Value& v) -> Result<E> {
    auto index = json::read_name(v, names);
    if (!index) return fail(std::move(index.error()));
    return static_cast<E>(*index);
  };
}

constexpr std::string_view kStartupKeys[] = {"phase", "requestDispatched"};
constexpr std::string_view kTargetKeys[] = {"phase",           "processIdentityChanged", "boundsChanged",
                                            "foregroundChanged", "humanInputChanged",     "inputDispatched"};
constexpr std::string_view kTextureKeys[] = {"width", "height", "format", "usage", "cpuAccessFlags", "sampleCount"};
constexpr std::string_view kDxgiKeys[] = {"adapterIndex",
                                          "outputIndex",
                                          "lastMouseUpdateTimeQpc",
                                          "totalMetadataBufferSize",
                                          "protectedContentMaskedOut",
                                          "acquireAttempts",
                                          "pointerOnlyFramesSkipped",
                                          "sourceTexture",
                                          "stagingTexture",
                                          "rowPitch",
                                          "rawNonzeroRgbPixels",
                                          "rawNonzeroAlphaPixels"};
constexpr std::string_view kCaptureKeys[] = {"method",       "acquiredAt",      "lastPresentTimeQpc",
                                             "accumulatedFrames", "pointerOnly", "cropDesktopRect",
                                             "outputDesktopRect", "dxgi"};
constexpr std::string_view kWindowCaptureKeys[] = {"method",       "acquiredAt",   "frameTime100ns",
                                                   "captureStart100ns", "sourceWidth", "sourceHeight",
                                                   "borderRequired",    "coordinateSpace"};
constexpr std::string_view kWindowCaptureFailureKeys[] = {"phase", "hresult"};
constexpr std::string_view kInputKeys[] = {"mode", "armId", "inputDispatched", "entryIssued"};
constexpr std::string_view kNoticeKeys[] = {"observedAt",
                                            "workerSessionId",
                                            "inputDesktopAvailable",
                                            "inputDesktopName",
                                            "inputDesktopError",
                                            "notificationHresult",
                                            "notificationState",
                                            "notificationStateName",
                                            "screensaverRunning",
                                            "screensaverError",
                                            "lastInputIdleMilliseconds",
                                            "compositionHresult",
                                            "compositionEnabled",
                                            "foregroundHandle",
                                            "foregroundProcessId",
                                            "foregroundProcessCreated",
                                            "foregroundMinimized",
                                            "foregroundRect",
                                            "displayRect",
                                            "foregroundCoversDisplay"};
constexpr std::string_view kOutcomeKeys[] = {"elements", "elapsedMs", "actionAttempted", "verification"};
constexpr std::string_view kFailureKeys[] = {"phase", "reasonCode"};
constexpr std::string_view kEvidenceKeys[] = {"version",      "effect",     "backend",        "delivery",
                                              "verification", "reasonCode", "automaticReplay"};
constexpr std::string_view kDiagnosticKeys[] = {"phase", "reasonCode"};

Value texture_tree(const TextureDiagnostic& d) {
  return TreeBuilder()
      .add("width", d.width)
      .add("height", d.height)
      .add("format", d.format)
      .add("usage", d.usage)
      .add("cpuAccessFlags", d.cpu_access_flags)
      .add("sampleCount", d.sample_count)
      .done();
}

Value dxgi_tree(const DxgiFrameDiagnostic& d) {
  return TreeBuilder()
      .add("adapterIndex", d.adapter_index)
      .add("outputIndex", d.output_index)
      .add("lastMouseUpdateTimeQpc", d.last_mouse_update_time_qpc)
      .add("totalMetadataBufferSize", d.total_metadata_buffer_size)
      .add("protectedContentMaskedOut", d.protected_content_masked_out)
      .add("acquireAttempts", d.acquire_attempts)
      .add("pointerOnlyFramesSkipped", d.pointer_only_frames_skipped)
      .add_or_null("sourceTexture", d.source_texture, texture_tree)
      .add_or_null("stagingTexture", d.staging_texture, texture_tree)
      .add_or_null("rowPitch", d.row_pitch)
      .add_or_null("rawNonzeroRgbPixels", d.raw_nonzero_rgb_pixels)
      .add_or_null("rawNonzeroAlphaPixels", d.raw_nonzero_alpha_pixels)
      .done();
}

Result<TextureDiagnostic> texture_from_value(const Value& v) {
  TextureDiagnostic d;
  Record r(v, kTextureKeys, Mode::kLenient);
  r.required("width", d.width)
      .required("height", d.height)
      .required("format", d.format)
      .required("usage", d.usage)
      .required("cpuAccessFlags", d.cpu_access_flags)
      .required("sampleCount", d.sample_count);
  return finish_record(r, std::move(d), "TextureDiagnostic");
}

Result<DxgiFrameDiagnostic> dxgi_from_value(const Value& v) {
  DxgiFrameDiagnostic d;
  Record r(v, kDxgiKeys, Mode::kLenient);
  r.required("adapterIndex", d.adapter_index)
      .required("outputIndex", d.output_index)
      .required("lastMouseUpdateTimeQpc", d.last_mouse_update_time_qpc)
      .required("totalMetadataBufferSize", d.total_metadata_buffer_size)
      .required("protectedContentMaskedOut", d.protected_content_masked_out)
      .required("acquireAttempts", d.acquire_attempts)
      .required("pointerOnlyFramesSkipped", d.pointer_only_frames_skipped)
      .optional("sourceTexture", d.source_texture, texture_from_value)
      .optional("stagingTexture", d.staging_texture, texture_from_value)
      .optional("rowPitch", d.row_pitch)
      .optional("rawNonzeroRgbPixels", d.raw_nonzero_rgb_pixels)
      .optional("rawNonzeroAlphaPixels", d.raw_nonzero_alpha_pixels);
  return finish_record(r, std::move(d), "DxgiFrameDiagnostic");
}

}  // namespace

std::string_view startup_phase_name(StartupPhase phase) { return kStartupPhaseNames[static_cast<std::size_t>(phase)]; }
std::string_view target_phase_name(TargetPhase phase) { return kTargetPhaseNames[static_cast<std::size_t>(phase)]; }
std::string_view automation_failure_phase_name(AutomationFailurePhase phase) {
  return kAutomationFailurePhaseNames[static_cast<std::size_t>(phase)];
}

Error not_sent(Error error, StartupPhase phase) {
  return std::move(error).context_with("startup phase " + std::string(startup_phase_name(phase)),
                                       NotSentMarker{phase});
}

// --- value trees, declaration order ---

Value startup_tree(const StartupDiagnostic& d) {
  return TreeBuilder()
      .add("phase", startup_phase_name(d.phase))
      .add("requestDispatched", d.request_dispatched)
      .done();
}

Value target_tree(const TargetDiagnostic& d) {
  return TreeBuilder()
      .add("phase", target_phase_name(d.phase))
      .add("processIdentityChanged", d.process_identity_changed)
      .add("boundsChanged", d.bounds_changed)
      .add("foregroundChanged", d.foreground_changed)
      .add("humanInputChanged", d.human_input_changed)
      .add("inputDispatched", d.input_dispatched)
      .done();
}

Value capture_tree(const CaptureDiagnostic& d) {
  TreeBuilder b;
  b.add("method", d.method)
      .add("acquiredAt", d.acquired_at)
      .add("lastPresentTimeQpc", d.last_present_time_qpc)
      .add("accumulatedFrames", d.accumulated_frames)
      .add("pointerOnly", d.pointer_only)
      .add("cropDesktopRect", rect_to_value(d.crop_desktop_rect))
      .add("outputDesktopRect", rect_to_value(d.output_desktop_rect));
  if (d.dxgi) b.add("dxgi", dxgi_tree(*d.dxgi));  // left out, not null, when absent
  return std::move(b).done();
}

Value window_capture_tree(const WindowCaptureDiagnostic& d) {
  return TreeBuilder()
      .add("method", d.method)
      .add("acquiredAt", d.acquired_at)
      .add("frameTime100ns", d.frame_time_100ns)
      .add("captureStart100ns", d.capture_start_100ns)
      .add("sourceWidth", d.source_width)
      .add("sourceHeight", d.source_height)
      .add("borderRequired", d.border_required)
      .add("coordinateSpace", d.coordinate_space)
      .done();
}

Value window_capture_failure_tree(const WindowCaptureFailure& d) {
  return TreeBuilder().add("phase", d.phase).add("hresult", d.hresult).done();
}

Value input_tree(const InputDiagnostic& d) {
  return TreeBuilder()
      .add("mode", d.mode)
      .add_or_null("armId", d.arm_id)
      .add("inputDispatched", d.input_dispatched)
      .add("entryIssued", d.entry_issued)
      .done();
}

Value notice_context_tree(const NoticeContext& d) {
  return TreeBuilder()
      .add("observedAt", d.observed_at)
      .add("workerSessionId", d.worker_session_id)
      .add("inputDesktopAvailable", d.input_desktop_available)
      .add_or_null("inputDesktopName", d.input_desktop_name)
      .add_or_null("inputDesktopError", d.input_desktop_error)
      .add("notificationHresult", d.notification_hresult)
      .add_or_null("notificationState", d.notification_state)
      .add("notificationStateName", d.notification_state_name)
      .add_or_null("screensaverRunning", d.screensaver_running)
      .add_or_null("screensaverError", d.screensaver_error)
      .add_or_null("lastInputIdleMilliseconds", d.last_input_idle_milliseconds)
      .add("compositionHresult", d.composition_hresult)
      .add_or_null("compositionEnabled", d.composition_enabled)
      .add("foregroundHandle", d.foreground_handle)
      .add_or_null("foregroundProcessId", d.foreground_process_id)
      .add_or_null("foregroundProcessCreated", d.foreground_process_created)
      .add("foregroundMinimized", d.foreground_minimized)
      .add_or_null("foregroundRect", d.foreground_rect, rect_to_value)
      .add_or_null("displayRect", d.display_rect, rect_to_value)
      .add_or_null("foregroundCoversDisplay", d.foreground_covers_display)
      .done();
}

Value outcome_tree(const Outcome& d) {
  json::Array elements;
  elements.reserve(d.elements.size());
  for (const Element& e : d.elements) elements.push_back(element_to_value(e));
  return TreeBuilder()
      .add("elements", Value(std::move(elements)))
      .add("elapsedMs", d.elapsed_ms)
      .add("actionAttempted", d.action_attempted)
      .add("verification", d.verification)
      .done();
}

Value failure_tree(const FailureDiagnostic& d) {
  return TreeBuilder()
      .add("phase", automation_failure_phase_name(d.phase))
      .add("reasonCode", d.reason_code)
      .done();
}

Value evidence_tree(const Evidence& d) {
  return TreeBuilder()
      .add("version", d.version)
      .add("effect", d.effect)
      .add("backend", d.backend)
      .add("delivery", d.delivery)
      .add("verification", d.verification)
      .add("reasonCode", d.reason_code)
      .add("automaticReplay", d.automatic_replay)
      .done();
}

Value diagnostic_tree(const Diagnostic& d) {
  return TreeBuilder().add("phase", d.phase).add("reasonCode", d.reason_code).done();
}

Value startup_to_value(const StartupDiagnostic& d) {
  Value v = startup_tree(d);
  sort_keys(v);
  return v;
}

// --- decoders ---

Result<StartupDiagnostic> startup_from_value(const Value& v) {
  StartupDiagnostic d;
  Record r(v, kStartupKeys);
  r.required("phase", d.phase, enum_reader<StartupPhase>(kStartupPhaseNames))
      .required("requestDispatched", d.request_dispatched);
  return finish_record(r, std::move(d), "StartupDiagnostic");
}

Result<TargetDiagnostic> target_from_value(const Value& v) {
  TargetDiagnostic d;
  Record r(v, kTargetKeys);
  r.required("phase", d.phase, enum_reader<TargetPhase>(kTargetPhaseNames))
      .required("processIdentityChanged", d.process_identity_changed)
      .required("boundsChanged", d.bounds_changed)
      .required("foregroundChanged", d.foreground_changed)
      .required("humanInputChanged", d.human_input_changed)
      .required("inputDispatched", d.input_dispatched);
  return finish_record(r, std::move(d), "TargetDiagnostic");
}

Result<CaptureDiagnostic> capture_from_value(const Value& v) {
  CaptureDiagnostic d;
  Record r(v, kCaptureKeys);
  r.required("method", d.method)
      .required("acquiredAt", d.acquired_at)
      .required("lastPresentTimeQpc", d.last_present_time_qpc)
      .required("accumulatedFrames", d.accumulated_frames)
      .required("pointerOnly", d.pointer_only)
      .required("cropDesktopRect", d.crop_desktop_rect, rect_from_value)
      .required("outputDesktopRect", d.output_desktop_rect, rect_from_value)
      .optional("dxgi", d.dxgi, dxgi_from_value);
  return finish_record(r, std::move(d), "CaptureDiagnostic");
}

Result<WindowCaptureDiagnostic> window_capture_from_value(const Value& v) {
  WindowCaptureDiagnostic d;
  Record r(v, kWindowCaptureKeys);
  r.required("method", d.method)
      .required("acquiredAt", d.acquired_at)
      .required("frameTime100ns", d.frame_time_100ns)
      .required("captureStart100ns", d.capture_start_100ns)
      .required("sourceWidth", d.source_width)
      .required("sourceHeight", d.source_height)
      .required("borderRequired", d.border_required)
      .required("coordinateSpace", d.coordinate_space);
  return finish_record(r, std::move(d), "WindowCaptureDiagnostic");
}

Result<WindowCaptureFailure> window_capture_failure_from_value(const Value& v) {
  WindowCaptureFailure d;
  Record r(v, kWindowCaptureFailureKeys);
  r.required("phase", d.phase).required("hresult", d.hresult);
  return finish_record(r, std::move(d), "WindowCaptureFailure");
}

Result<InputDiagnostic> input_from_value(const Value& v) {
  InputDiagnostic d;
  Record r(v, kInputKeys);
  r.required("mode", d.mode)
      .optional("armId", d.arm_id)
      .required("inputDispatched", d.input_dispatched)
      .required("entryIssued", d.entry_issued);
  return finish_record(r, std::move(d), "InputDiagnostic");
}

Result<NoticeContext> notice_context_from_value(const Value& v) {
  NoticeContext d;
  Record r(v, kNoticeKeys, Mode::kLenient);
  r.required("observedAt", d.observed_at)
      .required("workerSessionId", d.worker_session_id)
      .required("inputDesktopAvailable", d.input_desktop_available)
      .optional("inputDesktopName", d.input_desktop_name)
      .optional("inputDesktopError", d.input_desktop_error)
      .required("notificationHresult", d.notification_hresult)
      .optional("notificationState", d.notification_state)
      .required("notificationStateName", d.notification_state_name)
      .optional("screensaverRunning", d.screensaver_running)
      .optional("screensaverError", d.screensaver_error)
      .optional("lastInputIdleMilliseconds", d.last_input_idle_milliseconds)
      .required("compositionHresult", d.composition_hresult)
      .optional("compositionEnabled", d.composition_enabled)
      .required("foregroundHandle", d.foreground_handle)
      .optional("foregroundProcessId", d.foreground_process_id)
      .optional("foregroundProcessCreated", d.foreground_process_created)
      .required("foregroundMinimized", d.foreground_minimized)
      .optional("foregroundRect", d.foreground_rect, rect_from_value)
      .optional("displayRect", d.display_rect, rect_from_value)
      .optional("foregroundCoversDisplay", d.foreground_covers_display);
  return finish_record(r, std::move(d), "NoticeContext");
}

Result<Outcome> outcome_from_value(const Value& v) {
  Outcome d;
  Record r(v, kOutcomeKeys, Mode::kLenient);
  r.required("elements", d.elements, [](const Value& items) { return json::to_array(items, element_from_value); })
      .required("elapsedMs", d.elapsed_ms)
      .required("actionAttempted", d.action_attempted)
      .required("verification", d.verification);
  return finish_record(r, std::move(d), "Outcome");
}

Result<FailureDiagnostic> failure_from_value(const Value& v) {
  FailureDiagnostic d;
  Record r(v, kFailureKeys, Mode::kLenient);
  r.required("phase", d.phase, enum_reader<AutomationFailurePhase>(kAutomationFailurePhaseNames))
      .required("reasonCode", d.reason_code);
  return finish_record(r, std::move(d), "FailureDiagnostic");
}

Result<Evidence> evidence_from_value(const Value& v) {
  Evidence d;
  Record r(v, kEvidenceKeys);
  r.required("version", d.version)
      .required("effect", d.effect)
      .required("backend", d.backend)
      .required("delivery", d.delivery)
      .required("verification", d.verification)
      .required("reasonCode", d.reason_code)
      .required("automaticReplay", d.automatic_replay);
  return finish_record(r, std::move(d), "Evidence");
}

Result<Diagnostic> diagnostic_from_value(const Value& v) {
  Diagnostic d;
  Record r(v, kDiagnosticKeys);
  r.required("phase", d.phase).required("reasonCode", d.reason_code);
  return finish_record(r, std::move(d), "Diagnostic");
}

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
