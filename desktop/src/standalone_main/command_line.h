// Role selection and the command-line grammar of Vor.Marionet.
//
// The program entry gives `select_role` the arguments after the program path
// (an argument that was not valid UTF-16 is nullopt) and, for every role but
// the worker, `parse_command` turns them into a one-shot or session command,
// or an invocation error whose code the entry prints with exit code 64.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <variant>

#include "common/error.h"
#include "standalone/cli/commands.h"

namespace vor::desktop {

using Argument = std::optional<std::string>;

enum class Role { kCommandLine, kWorker, kSessionHost };

// Only the first word selects: exactly "worker" or "session-host".
Role select_role(std::span<const Argument> args);

using ParsedCommand = std::variant<OneShotCommand, SessionCommand>;

// `args` holds at least the verb. Failures carry the invocation code as their
// message: "DESKTOP_INVOCATION_INVALID", "DESKTOP_SESSION_REQUIRED", ...
Result<ParsedCommand> parse_command(std::span<const Argument> args);

}  // namespace vor::desktop
