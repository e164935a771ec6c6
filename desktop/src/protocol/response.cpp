#include "protocol/response.h"

#include "common/json_fields.h"

namespace vor::desktop {
namespace {

using json::Value;

// A sub-document of the response, through its decoder and its value tree.
template <class T>
struct Part {
  Result<T> (*from_value)(const Value&);
  Value (*to_value)(const T&);

  Result<T> from(const Value& v) const { return from_value(v); }
  Value tree(const T& x) const { return to_value(x); }
};

constexpr fields::Via<Window> kWindow{window_from_value, window_to_value, encode_window};

// The six first members always, the others only when present.
constexpr auto kResponse = fields::record<Response>(
    [](auto& f, auto& r) {
      f.required("protocol", r.protocol);
      f.required("operationId", r.operation_id);
      f.required("sessionId", r.session_id);
      f.required("code", r.code);
      f.required("nextSafeAction", r.next_safe_action);
      f.required("windows", r.windows, fields::ArrayOf<fields::Via<Window>>{kWindow});
      f.omittable("pngBase64", r.png_base64);
      f.omittable("imageWidth", r.image_width);
      f.omittable("imageHeight", r.image_height);
      f.omittable("processId", r.process_id);
      f.omittable("win32Error", r.win32_error);
      f.omittable("startup", r.startup, Part<StartupDiagnostic>{startup_from_value, startup_tree});
      f.omittable("targetDiagnostic", r.target_diagnostic, Part<TargetDiagnostic>{target_from_value, target_tree});
      f.omittable("captureDiagnostic", r.capture_diagnostic,
                  Part<CaptureDiagnostic>{capture_from_value, capture_tree});
      f.omittable("windowCaptureDiagnostic", r.window_capture_diagnostic,
                  Part<WindowCaptureDiagnostic>{window_capture_from_value, window_capture_tree});
      f.omittable("windowCaptureFailure", r.window_capture_failure,
                  Part<WindowCaptureFailure>{window_capture_failure_from_value, window_capture_failure_tree});
      f.omittable("inputDiagnostic", r.input_diagnostic, Part<InputDiagnostic>{input_from_value, input_tree});
      f.omittable("noticeContext", r.notice_context,
                  Part<NoticeContext>{notice_context_from_value, notice_context_tree});
      f.omittable("automation", r.automation, Part<Outcome>{outcome_from_value, outcome_tree});
      f.omittable("automationDiagnostic", r.automation_diagnostic,
                  Part<FailureDiagnostic>{failure_from_value, failure_tree});
      f.omittable("execution", r.execution, Part<Evidence>{evidence_from_value, evidence_tree});
      f.omittable("noticeDiagnostic", r.notice_diagnostic, Part<Diagnostic>{diagnostic_from_value, diagnostic_tree});
    },
    json::Mode::kLenient, "Response");

// The response in declaration order.
Value response_tree(const Response& r) { return kResponse.tree(r); }

}  // namespace

Response build_response(const Request& request, std::string_view code, std::string_view next_safe_action) {
  Response r;
  r.protocol = kProtocolVersion;
  r.operation_id = request.operation_id;
  r.session_id = request.session_id;
  r.code = std::string(code);
  r.next_safe_action = std::string(next_safe_action);
  return r;
}

void encode_response(std::string& out, const Response& response) { json::write(out, response_tree(response)); }

std::string encode_response(const Response& response) {
  std::string out;
  out.reserve(128);
  encode_response(out, response);
  return out;
}

Value response_to_value(const Response& response) {
  Value v = response_tree(response);
  sort_keys(v);
  return v;
}

Result<Response> response_from_value(const Value& value) { return kResponse.from(value); }
Result<Response> decode_response(std::string_view bytes) { return json::decode_document(bytes, response_from_value); }

}  // namespace vor::desktop
