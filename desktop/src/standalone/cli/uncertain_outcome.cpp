#include "standalone/cli/uncertain_outcome.h"

#include <string>

#include "protocol/diagnostics.h"
#include "standalone/cli/error_codes.h"

namespace vor::desktop {

Response uncertain_outcome_response(const Request& request, const Error& error) {
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
