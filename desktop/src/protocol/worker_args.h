// The worker's own command line: exactly `--pipe P --broker-pid N --session S`
// after the verb, in that order. Checked before the worker connects anywhere.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/error.h"

namespace vor::desktop {

// Codes of worker mode.
inline constexpr std::string_view kInvocationInvalid = "DESKTOP_INVOCATION_INVALID";
inline constexpr std::string_view kSessionMismatch = "DESKTOP_SESSION_MISMATCH";
inline constexpr std::string_view kPeerImageUnavailable = "DESKTOP_PEER_IMAGE_UNAVAILABLE";

inline constexpr std::string_view kWorkerPipePrefix = "\\\\.\\pipe\\Vor.Desktop.";
inline constexpr std::size_t kWorkerPipeMaxChars = 100;

struct WorkerArgs {
  std::string pipe;
  std::uint32_t broker_pid = 0;
  std::uint32_t session_id = 0;
};

// `args` are the tokens after "worker" (nullopt: not valid text).
Result<WorkerArgs> parse_worker_args(std::span<const std::optional<std::string>> args);

}  // namespace vor::desktop
