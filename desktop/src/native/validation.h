// Request validation: a decoded `Request` against every limit of the desktop
// runtime, before anything touches the desktop.
//
// Pure apart from the time the caller passes in: it opens no handle and looks
// at no window. The broker runs it before it starts a worker; the executor on
// entry and again right before it sends input; the window-capture check
// before and after a capture. Checks run in a fixed order and the first
// failure is returned as a plain code error.
//
//   VOR_RETURN_IF_ERROR(validate_action_request(request, clock.utc_now()));
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "common/time.h"
#include "protocol/request.h"

namespace vor::desktop {

inline constexpr std::string_view kProtocolIncompatible = "DESKTOP_PROTOCOL_INCOMPATIBLE";
inline constexpr std::string_view kTargetInvalid = "DESKTOP_TARGET_INVALID";
inline constexpr std::string_view kSelectorInvalid = "DESKTOP_SELECTOR_INVALID";
inline constexpr std::string_view kWaitInvalid = "DESKTOP_WAIT_INVALID";
inline constexpr std::string_view kTextInvalid = "DESKTOP_TEXT_INVALID";
inline constexpr std::string_view kProgramInvalid = "DESKTOP_PROGRAM_INVALID";
inline constexpr std::string_view kWindowInvalid = "DESKTOP_WINDOW_INVALID";
inline constexpr std::string_view kCoordinateOutsideWindow = "DESKTOP_COORDINATE_OUTSIDE_WINDOW";

inline constexpr std::size_t kOperationIdMaxBytes = 160;
inline constexpr std::uint32_t kMinTimeoutMs = 100;
inline constexpr std::uint32_t kMaxTimeoutMs = 4000;
inline constexpr std::size_t kSelectorTextMaxUnits = 256;
inline constexpr std::size_t kOperationTextMaxUnits = 256;
inline constexpr std::size_t kTypedTextMaxUnits = 256;
// The UI Automation control type identifiers.
inline constexpr std::int32_t kFirstControlType = 50000;
inline constexpr std::int32_t kLastControlType = 50040;
inline constexpr std::size_t kProgramMinBytes = 7;
inline constexpr std::size_t kProgramMaxBytes = 1024;
inline constexpr std::size_t kMaxArguments = 16;
inline constexpr std::size_t kArgumentMaxBytes = 256;

Status validate_action_request(const Request& request, Time now);

// 1 to 160 characters of A-Z, a-z, 0-9, "-" and "_": an operation id, and
// the session pipe's request ids.
bool is_operation_identifier(std::string_view id);

// Component checks, also used by the UI Automation loops.
// Absent is valid; present: 1 to 256 UTF-16 units, no control character.
Status validate_selector_text(const std::optional<std::string>& text);
// At least one member; texts as above; control type 50000 to 50040.
Status validate_element_selector(const ElementSelector& selector);
// At most 256 UTF-16 units (empty allowed), no control character.
Status validate_operation_text(std::string_view text);
// The selector, and the text of name_equals / value_equals.
Status validate_check(const Check& check);
// Absolute drive path of an .exe and its arguments.
Status validate_launch(const Launch& launch);
// Age, identity members and size of an echoed window.
Status validate_window(const Window& window, Time now);

}  // namespace vor::desktop
