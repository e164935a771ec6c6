// Turns a failed run's error chain into `last-recovery.json`: the code of the
// outermost `Failure` (else "SETUP_IO_FAILED"), the first Win32 error number
// and the outermost child exit code. Context messages never reach the report.
//
//   {"code":"SETUP_CHILD_EXIT_FAILED","childExitCode":1}
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.h"
#include "installer/ports.h"

namespace vor::setup {

struct RecoveryFailureRecord {
  std::string code;
  std::optional<std::int32_t> win32_code;
  std::optional<std::int32_t> child_exit_code;
  bool operator==(const RecoveryFailureRecord&) const = default;
};

RecoveryFailureRecord classify_recovery_failure(const Error& error);

// One compact object: "code", then "win32Code" and "childExitCode" when present.
std::string encode_recovery_failure_report(const RecoveryFailureRecord& record);

// Classifies `error` and stores the report as `<root>\Setup\last-recovery.json`
// with the crash-safe writer (an older report stays when this fails).
Status write_recovery_failure_report(FileSystem& files, IdSource& ids, std::string_view root, const Error& error);

}  // namespace vor::setup
