// The operation response: the one result document of a desktop operation.
//
// The worker builds it (`build_response`, then fills members) and sends it in
// the `Response` frame; the broker decodes it (`decode_response`), stores it
// in the receipt (`encode_response`) and prints it inside its command-line
// documents (`response_to_value`, keys sorted). The six first members are
// always written; an absent optional member leaves no key at all, while an
// absent optional field inside a sub-document is written as null.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.h"
#include "common/json.h"
#include "protocol/diagnostics.h"
#include "protocol/observation.h"
#include "protocol/request.h"

namespace vor::desktop {

// The code of an inspect that observed the desktop: the executor answers it and reconcile
// accepts only an observation that carries it.
inline constexpr std::string_view kObservedCode = "DESKTOP_OBSERVED";
// The code of a launch the worker has checked; the broker then starts the application.
inline constexpr std::string_view kLaunchValidated = "DESKTOP_LAUNCH_VALIDATED";

struct Response {
  std::uint32_t protocol = kProtocolVersion;
  std::string operation_id;
  std::uint32_t session_id = 0;
  std::string code;
  std::string next_safe_action;
  std::vector<Window> windows;
  std::optional<std::string> png_base64;
  std::optional<std::uint32_t> image_width;
  std::optional<std::uint32_t> image_height;
  std::optional<std::uint32_t> process_id;
  std::optional<std::int32_t> win32_error;
  std::optional<StartupDiagnostic> startup;
  std::optional<TargetDiagnostic> target_diagnostic;
  std::optional<CaptureDiagnostic> capture_diagnostic;
  std::optional<WindowCaptureDiagnostic> window_capture_diagnostic;
  std::optional<WindowCaptureFailure> window_capture_failure;
  std::optional<InputDiagnostic> input_diagnostic;
  std::optional<NoticeContext> notice_context;
  std::optional<Outcome> automation;
  std::optional<FailureDiagnostic> automation_diagnostic;
  std::optional<Evidence> execution;
  std::optional<Diagnostic> notice_diagnostic;
  bool operator==(const Response&) const = default;
};

// A response for `request` with this code and guidance, no windows and every
// optional member absent.
Response build_response(const Request& request, std::string_view code, std::string_view next_safe_action);

// Appends the compact document to `out`. Does not fail for a response held in memory.
void encode_response(std::string& out, const Response& response);
std::string encode_response(const Response& response);

// The same members and values as a value tree whose objects are sorted by key.
json::Value response_to_value(const Response& response);

// One whole document (only whitespace may follow it). Unknown top-level keys
// are skipped; the sub-documents are strict or lenient each by its own rule.
Result<Response> decode_response(std::string_view bytes);
// The same from an already parsed value (the receipt's `result`).
Result<Response> response_from_value(const json::Value& value);

}  // namespace vor::desktop
