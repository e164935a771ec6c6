// Documents that the command line prints: key-sorted maps written as one line
// of compact JSON. They are held as JSON value trees and written in the
// key-sorted form, so members may be built in any order.
#pragma once

#include "common/json.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vor::desktop {

using CliDocument = json::Value;

inline constexpr std::string_view kCliSchema = "vor.desktop-cli/v1";

// {code, nextSafeAction, operationId, retryable, schemaVersion}.
CliDocument error_guidance(std::string_view code, const std::optional<std::string>& operation_id);

// The sessions document for the given active session ids.
CliDocument sessions_document(const std::vector<std::uint32_t>& active_sessions);

// In each element of `result.windows`, a `handle` or `processCreated` that is
// a non-negative integer becomes its decimal string.
void rewrite_window_identifiers(CliDocument& document);

// Compact key-sorted JSON followed by "\n". Text inside documents is valid
// UTF-8 by construction; should it not be, the document is replaced by the
// error document of "DESKTOP_OPERATION_FAILED" rather than printing broken JSON.
std::string print_line(const CliDocument& document);

}  // namespace vor::desktop
