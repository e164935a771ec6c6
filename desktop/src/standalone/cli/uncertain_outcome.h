// The broker's failure response after a request may have reached the worker.
//
// The execute transaction and the session host call this when the worker
// stage fails: the code comes from the error chain, the sentence forbids
// replay, and when the chain carries the not-sent marker (no byte of the
// request was written) the response says so in `startup` and in its guidance.
#pragma once

#include <string_view>

#include "common/error.h"
#include "protocol/response.h"

namespace vor::desktop {

inline constexpr std::string_view kUncertainOutcomeGuidance =
    "Observe the application's state before new input; never replay an uncertain operation.";
inline constexpr std::string_view kNotSentGuidancePrefix = "No desktop Request bytes were sent. ";

Response uncertain_outcome_response(const Request& request, const Error& error);

}  // namespace vor::desktop
