// The diagnostic sub-documents of the operation response.
//
// Each record says why or how something happened: a worker that did not start,
// a target window that changed, how a capture was taken or failed, how input
// was dispatched, the desktop's readiness, what UI Automation found, the
// execution evidence and a failed notice proof. Their builders live with the
// worker, broker and capture code; they are written, converted and decoded
// only as members of `Response` (response.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/json.h"
#include "common/time.h"
#include "protocol/observation.h"

namespace vor::desktop {

// Where the broker stopped starting a worker (spelled in camelCase).
enum class StartupPhase {
  kValidate,
  kCallerIdentity,
  kTargetSession,
  kLaunchContext,
  kModuleImage,
  kUserToken,
  kEnvironment,
  kPipeSecurity,
  kPipeCreate,
  kSupervision,
  kProcessCreate,
  kProcessResume,
  kPeerAuthentication,
  kWorkerReadiness,
};

// At which check a target window was found changed (spelled in snake_case).
enum class TargetPhase { kBeforeCapture, kDuringCapture, kBeforeNotice, kAfterNotice, kAfterCapture, kBeforeInput };

// Where an element action failed after it may have been delivered.
enum class AutomationFailurePhase { kDispatch, kPostDispatchGuard, kVerificationRead, kVerificationDeadline };

std::string_view startup_phase_name(StartupPhase phase);
std::string_view target_phase_name(TargetPhase phase);
std::string_view automation_failure_phase_name(AutomationFailurePhase phase);

// The typed detail of an error link saying that no byte of the `Request` was
// written to the worker pipe, with the start-up phase that failed. Worker
// launch and readiness attach it with `not_sent`; the uncertain-outcome
// response reads it.
struct NotSentMarker {
  StartupPhase phase;
};

// Wraps `error` in the link "startup phase <name>" carrying the marker.
Error not_sent(Error error, StartupPhase phase);

struct StartupDiagnostic {  // strict
  StartupPhase phase = StartupPhase::kValidate;
  bool request_dispatched = false;
  bool operator==(const StartupDiagnostic&) const = default;
};

struct TargetDiagnostic {  // strict
  TargetPhase phase = TargetPhase::kBeforeCapture;
  bool process_identity_changed = false;
  bool bounds_changed = false;
  bool foreground_changed = false;
  bool human_input_changed = false;
  bool input_dispatched = false;
  bool operator==(const TargetDiagnostic&) const = default;
};

struct TextureDiagnostic {  // lenient
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::int32_t format = 0;
  std::int32_t usage = 0;
  std::uint32_t cpu_access_flags = 0;
  std::uint32_t sample_count = 0;
  bool operator==(const TextureDiagnostic&) const = default;
};

struct DxgiFrameDiagnostic {  // lenient
  std::uint32_t adapter_index = 0;
  std::uint32_t output_index = 0;
  std::string last_mouse_update_time_qpc;
  std::uint32_t total_metadata_buffer_size = 0;
  bool protected_content_masked_out = false;
  std::uint32_t acquire_attempts = 0;
  std::uint32_t pointer_only_frames_skipped = 0;
  std::optional<TextureDiagnostic> source_texture;
  std::optional<TextureDiagnostic> staging_texture;
  std::optional<std::uint32_t> row_pitch;
  std::optional<std::uint64_t> raw_nonzero_rgb_pixels;
  std::optional<std::uint64_t> raw_nonzero_alpha_pixels;
  bool operator==(const DxgiFrameDiagnostic&) const = default;
};

struct CaptureDiagnostic {  // strict; `dxgi` is left out when absent
  std::string method;
  Time acquired_at{};
  std::string last_present_time_qpc;
  std::uint32_t accumulated_frames = 0;
  bool pointer_only = false;
  Rect crop_desktop_rect{};
  Rect output_desktop_rect{};
  std::optional<DxgiFrameDiagnostic> dxgi;
  bool operator==(const CaptureDiagnostic&) const = default;
};

struct WindowCaptureDiagnostic {  // strict
  std::string method;
  Time acquired_at{};
  std::string frame_time_100ns;
  std::string capture_start_100ns;
  std::uint32_t source_width = 0;
  std::uint32_t source_height = 0;
  bool border_required = false;
  std::string coordinate_space;
  bool operator==(const WindowCaptureDiagnostic&) const = default;
};

struct WindowCaptureFailure {  // strict
  std::string phase;
  std::int32_t hresult = 0;
  bool operator==(const WindowCaptureFailure&) const = default;
};

struct InputDiagnostic {  // strict
  std::string mode;
  std::optional<std::string> arm_id;
  bool input_dispatched = false;
  bool entry_issued = false;
  bool operator==(const InputDiagnostic&) const = default;
};

struct NoticeContext {  // lenient
  Time observed_at{};
  std::uint32_t worker_session_id = 0;
  bool input_desktop_available = false;
  std::optional<std::string> input_desktop_name;
  std::optional<std::uint32_t> input_desktop_error;
  std::int32_t notification_hresult = 0;
  std::optional<std::int32_t> notification_state;
  std::string notification_state_name;
  std::optional<bool> screensaver_running;
  std::optional<std::uint32_t> screensaver_error;
  std::optional<std::uint32_t> last_input_idle_milliseconds;
  std::int32_t composition_hresult = 0;
  std::optional<bool> composition_enabled;
  std::string foreground_handle;
  std::optional<std::uint32_t> foreground_process_id;
  std::optional<std::string> foreground_process_created;
  bool foreground_minimized = false;
  std::optional<Rect> foreground_rect;
  std::optional<Rect> display_rect;
  std::optional<bool> foreground_covers_display;
  bool operator==(const NoticeContext&) const = default;
};

struct Outcome {  // lenient; each element strict
  std::vector<Element> elements;
  std::uint64_t elapsed_ms = 0;
  bool action_attempted = false;
  std::string verification;
  bool operator==(const Outcome&) const = default;
};

struct FailureDiagnostic {  // lenient
  AutomationFailurePhase phase = AutomationFailurePhase::kDispatch;
  std::string reason_code;
  bool operator==(const FailureDiagnostic&) const = default;
};

struct Evidence {  // strict
  std::uint32_t version = 0;
  std::string effect;
  std::string backend;
  std::string delivery;
  std::string verification;
  std::string reason_code;
  bool automatic_replay = false;
  bool operator==(const Evidence&) const = default;
};

struct Diagnostic {  // strict
  std::string phase;
  std::string reason_code;
  bool operator==(const Diagnostic&) const = default;
};

// Value trees in declaration order (absent optional fields as null, an absent
// `dxgi` left out). The encoder writes them as they are; the value form
// sorts them by key.
json::Value startup_tree(const StartupDiagnostic& d);
json::Value target_tree(const TargetDiagnostic& d);
json::Value capture_tree(const CaptureDiagnostic& d);
json::Value window_capture_tree(const WindowCaptureDiagnostic& d);
json::Value window_capture_failure_tree(const WindowCaptureFailure& d);
json::Value input_tree(const InputDiagnostic& d);
json::Value notice_context_tree(const NoticeContext& d);
json::Value outcome_tree(const Outcome& d);
json::Value failure_tree(const FailureDiagnostic& d);
json::Value evidence_tree(const Evidence& d);
json::Value diagnostic_tree(const Diagnostic& d);

// The startup record alone as a key-sorted value (the probe document).
json::Value startup_to_value(const StartupDiagnostic& d);

// Decoders from a value that is an object (null is handled by the caller as
// "absent"); each applies its record's strictness.
Result<StartupDiagnostic> startup_from_value(const json::Value& v);
Result<TargetDiagnostic> target_from_value(const json::Value& v);
Result<CaptureDiagnostic> capture_from_value(const json::Value& v);
Result<WindowCaptureDiagnostic> window_capture_from_value(const json::Value& v);
Result<WindowCaptureFailure> window_capture_failure_from_value(const json::Value& v);
Result<InputDiagnostic> input_from_value(const json::Value& v);
Result<NoticeContext> notice_context_from_value(const json::Value& v);
Result<Outcome> outcome_from_value(const json::Value& v);
Result<FailureDiagnostic> failure_from_value(const json::Value& v);
Result<Evidence> evidence_from_value(const json::Value& v);
Result<Diagnostic> diagnostic_from_value(const json::Value& v);

// Sorts the members of every object in the tree by key, in byte order
// (stable, so repeated keys keep their order).
void sort_keys(json::Value& v);

}  // namespace vor::desktop
