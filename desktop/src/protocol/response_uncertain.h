// The broker's failure response after a request may have reached the worker.
//
// The execute transaction and the session host call this when the worker
// stage fails: the code comes from the error chain, the sentence forbids
// replay, and when the chain carries the not-sent marker (no byte of the
// request was written) the response says so in `startup` and in its guidance.
// Header-only on purpose: the code and guidance rules live in the standalone
// module, which itself builds on protocol; whoever calls this links both.
#pragma once

#include <string>

#include "common/error.h"
#include "protocol/diagnostics.h"
#include "protocol/response.h"
#include "standalone/error_codes.h"

namespace vor::desktop {

inline constexpr std::string_view kUncertainOutcomeGuidance =
    "Observe the application's state before new input; never replay an uncertain operation.";
inline constexpr std::string_view kNotSentGuidancePrefix = "No desktop Request bytes were sent. ";

inline Response uncertain_outcome_response(const Request& request, const Error& error) {
  const std::string code = error_code_of(error);
  Response response = build_response(request, code, kUncertainOutcomeGuidance);
  response.win32_error = os_error_code_of(error);
  if (const NotSentMarker* marker = error.find<NotSentMarker>()) {
    response.startup = StartupDiagnostic{marker->phase, false};
    response.next_safe_action = std::string(kNotSentGuidancePrefix) + std::string(guidance_text(code));
  }
  return response;
}

}  // namespace vor::desktop
