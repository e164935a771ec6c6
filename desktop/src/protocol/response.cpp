#include "protocol/response.h"

#include "protocol/response_tree.h"

namespace vor::desktop {
namespace {

using json::Mode;
using json::Record;
using json::Value;

constexpr std::string_view kResponseKeys[] = {"protocol",
                                              "operationId",
                                              "sessionId",
                                              "code",
                                              "nextSafeAction",
                                              "windows",
                                              "pngBase64",
                                              "imageWidth",
                                              "imageHeight",
                                              "processId",
                                              "win32Error",
                                              "startup",
                                              "targetDiagnostic",
                                              "captureDiagnostic",
                                              "windowCaptureDiagnostic",
                                              "windowCaptureFailure",
                                              "inputDiagnostic",
                                              "noticeContext",
                                              "automation",
                                              "automationDiagnostic",
                                              "execution",
                                              "noticeDiagnostic"};

// The response in declaration order: members 1 to 6 always, the others only
// when present.
Value response_tree(const Response& r) {
  json::Array windows;
  windows.reserve(r.windows.size());
  for (const Window& w : r.windows) windows.push_back(window_to_value(w));
  return TreeBuilder()
      .add("protocol", r.protocol)
      .add("operationId", r.operation_id)
      .add("sessionId", r.session_id)
      .add("code", r.code)
      .add("nextSafeAction", r.next_safe_action)
      .add("windows", Value(std::move(windows)))
      .add_if("pngBase64", r.png_base64)
      .add_if("imageWidth", r.image_width)
      .add_if("imageHeight", r.image_height)
      .add_if("processId", r.process_id)
      .add_if("win32Error", r.win32_error)
      .add_if("startup", r.startup, startup_tree)
      .add_if("targetDiagnostic", r.target_diagnostic, target_tree)
      .add_if("captureDiagnostic", r.capture_diagnostic, capture_tree)
      .add_if("windowCaptureDiagnostic", r.window_capture_diagnostic, window_capture_tree)
      .add_if("windowCaptureFailure", r.window_capture_failure, window_capture_failure_tree)
      .add_if("inputDiagnostic", r.input_diagnostic, input_tree)
      .add_if("noticeContext", r.notice_context, notice_context_tree)
      .add_if("automation", r.automation, outcome_tree)
      .add_if("automationDiagnostic", r.automation_diagnostic, failure_tree)
      .add_if("execution", r.execution, evidence_tree)
      .add_if("noticeDiagnostic", r.notice_diagnostic, diagnostic_tree)
      .done();
}

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

Result<Response> response_from_value(const Value& value) {
  Response d;
  Record r(value, kResponseKeys, Mode::kLenient);
  r.required("protocol", d.protocol)
      .required("operationId", d.operation_id)
      .required("sessionId", d.session_id)
      .required("code", d.code)
      .required("nextSafeAction", d.next_safe_action)
      .required("windows", d.windows, [](const Value& v) { return json::to_array(v, window_from_value); })
      .optional("pngBase64", d.png_base64)
      .optional("imageWidth", d.image_width)
      .optional("imageHeight", d.image_height)
      .optional("processId", d.process_id)
      .optional("win32Error", d.win32_error)
      .optional("startup", d.startup, startup_from_value)
      .optional("targetDiagnostic", d.target_diagnostic, target_from_value)
      .optional("captureDiagnostic", d.capture_diagnostic, capture_from_value)
      .optional("windowCaptureDiagnostic", d.window_capture_diagnostic, window_capture_from_value)
      .optional("windowCaptureFailure", d.window_capture_failure, window_capture_failure_from_value)
      .optional("inputDiagnostic", d.input_diagnostic, input_from_value)
      .optional("noticeContext", d.notice_context, notice_context_from_value)
      .optional("automation", d.automation, outcome_from_value)
      .optional("automationDiagnostic", d.automation_diagnostic, failure_from_value)
      .optional("execution", d.execution, evidence_from_value)
      .optional("noticeDiagnostic", d.notice_diagnostic, diagnostic_from_value);
  if (auto s = r.status(); !s) return fail(Error(s.error()).context("Response"));
  return d;
}

Result<Response> decode_response(std::string_view bytes) { return json::decode_document(bytes, response_from_value); }

}  // namespace vor::desktop
