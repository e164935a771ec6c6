// Error values of the setup-recovery program.
//
// `Failure` carries one static "SETUP_" code; it is the whole error or the
// outer link over an OS error or a `ChildExit`, so a chain reads code first,
// cause after. `ChildExit` carries the exit code of a child that ended
// non-zero. Both ride as typed diagnostics on a message link of vor::Error:
//
//   return fail(failure_over(kSetupChildExitFailed, child_exit(5)));
//   if (const Failure* f = error.find<Failure>()) ... f->code ...
#pragma once

#include <cstdint>
#include <string_view>

#include "common/error.h"

namespace vor::setup {

inline constexpr std::string_view kSetupIoFailed = "SETUP_IO_FAILED";
inline constexpr std::string_view kSetupRecoveryStateInvalid = "SETUP_RECOVERY_STATE_INVALID";
inline constexpr std::string_view kSetupRecoveryTaskConflict = "SETUP_RECOVERY_TASK_CONFLICT";
inline constexpr std::string_view kSetupRecoveryServiceMissing = "SETUP_RECOVERY_SERVICE_MISSING";
inline constexpr std::string_view kSetupServiceQueryFailed = "SETUP_SERVICE_QUERY_FAILED";
inline constexpr std::string_view kSetupServiceStopFailed = "SETUP_SERVICE_STOP_FAILED";
inline constexpr std::string_view kSetupServiceStopTimeout = "SETUP_SERVICE_STOP_TIMEOUT";
inline constexpr std::string_view kSetupServiceConfigFailed = "SETUP_SERVICE_CONFIG_FAILED";
inline constexpr std::string_view kSetupChildStartFailed = "SETUP_CHILD_START_FAILED";
inline constexpr std::string_view kSetupChildGuardFailed = "SETUP_CHILD_GUARD_FAILED";
inline constexpr std::string_view kSetupChildTimeout = "SETUP_CHILD_TIMEOUT";
inline constexpr std::string_view kSetupChildOutputLimit = "SETUP_CHILD_OUTPUT_LIMIT";
inline constexpr std::string_view kSetupChildCleanupFailed = "SETUP_CHILD_CLEANUP_FAILED";
inline constexpr std::string_view kSetupChildExitFailed = "SETUP_CHILD_EXIT_FAILED";
inline constexpr std::string_view kSetupChildOutputInvalid = "SETUP_CHILD_OUTPUT_INVALID";

// The code carrier. `code` always points at one of the constants above.
struct Failure {
  std::string_view code;
};

// A child process that exited with a non-zero code.
struct ChildExit {
  std::int32_t exit_code = 0;
};

inline constexpr std::string_view kChildExitDisplay = "installer child exited";

// A bare `Failure`: the whole error is the code.
inline Error failure(std::string_view code) { return Error::with(std::string(code), Failure{code}); }

// A `Failure` as the outer link over `inner`.
inline Error failure_over(std::string_view code, Error inner) {
  return std::move(inner).context_with(std::string(code), Failure{code});
}

inline Error child_exit(std::int32_t exit_code) {
  return Error::with(std::string(kChildExitDisplay), ChildExit{exit_code});
}

}  // namespace vor::setup
