// The run of vor-kerno-setup-recovery, from its command line to its exit
// code. wWinMain builds the Win32 ports once and calls setup_recovery_main;
// tests call it with fakes and their own data root.
//
//   --version  the version line on standard output, exit 0, nothing created
//   --recover  layout, lock, recovery on a one-thread event loop, release;
//              exit 0, or exit 1 with last-recovery.json written
//   otherwise  exit 2, no output
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "installer/data_layout.h"
#include "installer/ports.h"
#include "installer_recovery/recovery.h"

namespace vor::setup {

inline constexpr int kExitSuccess = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;

// The standard output handle the caller gave the process.
class StdOutput {
 public:
  virtual ~StdOutput() = default;
  virtual bool has_handle() = 0;  // false: no handle (nothing to write to)
  virtual Status write(std::string_view bytes) = 0;
};

struct ProgramEnvironment {
  RecoveryContext& context;  // the ports, the service manager, the child runner
  std::string data_root = std::string(kDataRoot);
  std::string install_dir = std::string(kInstallDir);
};

int setup_recovery_main(std::u16string_view command_line, StdOutput& out, ProgramEnvironment& env);

// The --recover run alone: what setup_recovery_main does after accepting it.
int run_recover(ProgramEnvironment& env);

#ifdef _WIN32
// Writes to `handle` (GetStdHandle(STD_OUTPUT_HANDLE)); null or invalid means none.
std::unique_ptr<StdOutput> make_win32_std_output(void* handle);
#endif

}  // namespace vor::setup
