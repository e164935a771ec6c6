// The execution evidence of an answer (`Response.execution`): what kind of
// effect the action has, through which backend, whether input was delivered
// and whether its effect was verified. The worker builds it for every answer,
// success or failure, of every action kind except launch.
//
//   response.execution = build_execution_evidence(action_kind(request.action), response, flags.dispatched);
#pragma once

#include <optional>

#include "protocol/request.h"
#include "protocol/response.h"

namespace vor::desktop {

inline constexpr std::string_view kOutcomeUnknown = "DESKTOP_OUTCOME_UNKNOWN";
inline constexpr std::string_view kInputOutcomeUnknown = "DESKTOP_INPUT_OUTCOME_UNKNOWN";
inline constexpr std::string_view kPostconditionAlreadySatisfied = "DESKTOP_POSTCONDITION_ALREADY_SATISFIED";
inline constexpr std::string_view kFocusAccepted = "DESKTOP_FOCUS_ACCEPTED";

// The evidence for an answer of this kind with this `code` (and
// `automation`), given whether input or a semantic action may have reached
// the desktop. A launch answer carries none: nullopt.
std::optional<Evidence> build_execution_evidence(ActionKind kind, const Response& response, bool dispatched);

}  // namespace vor::desktop
