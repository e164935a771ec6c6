// The three element kinds of the executor: find_elements, wait_element and
// element_action, over an open `UiaSession`.
//
// Each kind starts its own deadline (now + timeoutMs) that every search,
// read and retry inside it shares, and answers an `Outcome` for the
// response's `automation` member. element_action acts on exactly one
// element: it waits for it to be ready, refuses a postcondition that already
// holds, proves the notice banner through `NoticeGate`, re-finds the element
// unchanged, acts (a classic push button or single-line edit by window
// messages, anything else through its automation pattern) and verifies.
// Once the action may have reached the application, every failure is an
// `ActionFailure` ("DESKTOP_INPUT_OUTCOME_UNKNOWN") with its phase.
//
//   UiaTarget target{ports, controls, session, action.window, request.session_id, dispatched};
//   auto outcome = element_action(target, gate, action.selector, action.operation, action.verify, action.timeout_ms);
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/error.h"
#include "native/deadline.h"
#include "native/execution_evidence.h"
#include "protocol/diagnostics.h"
#include "protocol/request.h"
#include "uia/element_search.h"
#include "uia/notice_gate.h"

namespace vor::desktop::uia {

inline constexpr std::string_view kElementNotReady = "DESKTOP_ELEMENT_NOT_READY";
inline constexpr std::string_view kElementChanged = "DESKTOP_ELEMENT_CHANGED";
inline constexpr std::string_view kElementReadOnly = "DESKTOP_ELEMENT_READ_ONLY";
inline constexpr std::string_view kPostconditionAlreadySatisfied = "DESKTOP_POSTCONDITION_ALREADY_SATISFIED";
inline constexpr std::string_view kWaitTimeout = "DESKTOP_WAIT_TIMEOUT";
inline constexpr std::string_view kStopRequested = "DESKTOP_STOP_REQUESTED";
// The reason code of an uncertain failure whose own code is not one of the
// listed ones.
inline constexpr std::string_view kUnlistedFailureReason = "DESKTOP_OPERATION_FAILED";

// The `verification` words of an `Outcome`.
inline constexpr std::string_view kVerificationObserved = "observed";
inline constexpr std::string_view kVerificationVerified = "verified";

// Window messages to a classic control are bounded by the time left and at
// most this many milliseconds.
inline constexpr std::uint32_t kControlMessageTimeoutMs = 400;
// SMTO_BLOCK | SMTO_ABORTIFHUNG | SMTO_ERRORONEXIT.
inline constexpr std::uint32_t kControlMessageFlags = 0x23;
// The parent walk of a classic control covers at most this many windows.
inline constexpr std::size_t kMaxControlAncestors = 32;

// Window messages and styles of the classic-control path.
inline constexpr std::uint32_t kWmSetText = 0x000C;
inline constexpr std::uint32_t kBmClick = 0x00F5;
inline constexpr std::uint32_t kEmGetPasswordChar = 0x00D2;
inline constexpr std::uint32_t kEmGetLimitText = 0x00D5;
inline constexpr std::uint32_t kEsMultiline = 0x0004;
inline constexpr std::uint32_t kEsPassword = 0x0020;
inline constexpr std::uint32_t kEsReadOnly = 0x0800;
inline constexpr std::uint32_t kEsNumber = 0x2000;

// The typed error of an element action whose outcome is uncertain: display
// text "DESKTOP_INPUT_OUTCOME_UNKNOWN", found with `find<ActionFailure>()`.
struct ActionFailure {
  std::string reason_code;
  FailureDiagnostic diagnostic;
};

// The reason code is the error's code when it is one the caller can act on,
// else "DESKTOP_OPERATION_FAILED"; the error's chain is dropped.
Error to_action_failure(AutomationFailurePhase phase, const Error& error);

// Milliseconds left before the deadline, 0 once passed, saturating at the
// largest unsigned 32-bit value.
std::uint32_t remaining_millis(const OperationDeadline& deadline);

// SendMessageTimeoutW with the time left (at most 400 ms): the message
// result; "DESKTOP_WAIT_TIMEOUT" with no time left,
// "DESKTOP_UIA_PROVIDER_UNAVAILABLE" when the send fails or times out.
Result<std::uintptr_t> bounded_send(ControlSys& controls, WindowHandle window, std::uint32_t message,
                                    std::uintptr_t wparam, std::intptr_t lparam, const OperationDeadline& deadline);

// The element, read from current properties, may be acted on with the
// operation: not a password element, ready, inside the window, with the
// pattern (and, to set a value, not read-only).
Status prepare_element_action(const UiaTarget& target, const ElementRecord& record, const Operation& operation);

// Shows the banner above the window and proves it, between two input-checked
// target guards; the banner is torn down whatever the proof's outcome.
Status show_and_prove_notice(const UiaTarget& target, NoticeGate& gate);

// Performs the operation on the element; sets `dispatched` as soon as it may
// have reached the application.
Status perform_element_operation(const UiaTarget& target, const ElementRecord& record, const Operation& operation,
                                 const OperationDeadline& deadline);

Result<Outcome> find_elements(const UiaTarget& target, const ElementSelector& selector, std::uint32_t timeout_ms);
Result<Outcome> wait_element(const UiaTarget& target, const Check& check, std::uint32_t timeout_ms);
Result<Outcome> element_action(const UiaTarget& target, NoticeGate& gate, const ElementSelector& selector,
                               const Operation& operation, const Check& verify, std::uint32_t timeout_ms);

}  // namespace vor::desktop::uia
