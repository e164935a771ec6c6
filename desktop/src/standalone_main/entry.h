// The program entry of every Vor.Marionet process: selects the role, starts
// the lifetime watchdog, parses the command line, hands the command to the
// code that does the work, prints exactly one document and chooses the exit
// code (0 success, 1 failed work or "ready": false, 64 invalid invocation).
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <span>
#include <string_view>

#include "native/lifetime_watchdog.h"
#include "standalone/cli/cli_documents.h"
#include "standalone/cli/commands.h"
#include "standalone_main/command_line.h"

namespace vor::desktop {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitInvocation = 64;

// What the entry calls; the composition root fills it with the real pieces,
// tests with scripted ones.
struct EntryServices {
  std::function<Result<CliDocument>(const OneShotCommand&)> run_one_shot;
  std::function<Result<CliDocument>(const SessionCommand&)> run_session;
  std::function<Status(std::span<const Argument>)> run_worker;
  // Writes the whole line to standard output (one write).
  std::function<void(std::string_view)> write_stdout;
  // Starts the watchdog thread; nullopt when it could not be started.
  std::function<std::optional<LifetimeWatchdog>(std::chrono::steady_clock::duration)> start_watchdog;
};

// `args` are the arguments after the program path. Returns the exit code;
// the caller ends the process at once when it is not 0.
int run_entry(std::span<const Argument> args, EntryServices& services);

// The exit code of a document that a one-shot command printed.
int one_shot_exit_code(const CliDocument& document);

}  // namespace vor::desktop
