// Error codes and the caller's next safe action.
//
// Every failure reaches the caller as a stable "DESKTOP_" code and one English
// sentence. `error_code_of` reads the code from an error chain,
// `os_error_code_of` its Win32 number, `guidance_text` maps a code to its
// sentence. Used by the program entry, the worker, the broker and the session
// host. The error document itself is built in cli_documents.h.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/error.h"

namespace vor::desktop {

inline constexpr std::string_view kOperationFailed = "DESKTOP_OPERATION_FAILED";
inline constexpr std::string_view kDefaultGuidance =
    "Check the exact operation/session and supported CLI options. Observe again before new input; do not replay an "
    "uncertain action.";

// True for 8 to 100 characters of 'A'-'Z' and '_' beginning with "DESKTOP_".
bool is_desktop_code(std::string_view text);

// The first message, outermost first, whose text before the first ':' is a
// code; "DESKTOP_OPERATION_FAILED" when none is.
std::string error_code_of(const Error& error);

// The raw number of the first operating-system error in the chain, as the
// signed 32-bit value documents carry.
std::optional<std::int32_t> os_error_code_of(const Error& error);

// The sentence for exactly this code, or the default sentence.
std::string_view guidance_text(std::string_view code);

struct GuidanceRow {
  std::array<std::string_view, 5> codes;  // unused entries are empty
  std::string_view sentence;
};
// The whole table, for tests and documentation.
std::span<const GuidanceRow> guidance_rows();

}  // namespace vor::desktop
