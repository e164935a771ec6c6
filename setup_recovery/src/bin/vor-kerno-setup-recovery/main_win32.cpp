// vor-kerno-setup-recovery.exe: builds the Win32 ports once and runs.
#include <windows.h>

#include <optional>
#include <string>

#include "bin/entry.h"
#include "common/data_protection.h"
#include "common/text.h"
#include "installer/child_process.h"
#include "installer/scm.h"
#include "installer/ticker.h"

namespace {

// The one environment variable the program reads.
std::optional<std::string> system_root_variable() {
  wchar_t buffer[32768];
  const DWORD n = ::GetEnvironmentVariableW(L"SystemRoot", buffer, sizeof buffer / sizeof buffer[0]);
  if (n == 0 || n >= sizeof buffer / sizeof buffer[0]) return std::nullopt;
  return vor::from_wide(std::wstring_view(buffer, n));
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace vor::setup;
  auto files = make_win32_file_system();
  auto processes = make_win32_process_sys();
  auto clock = make_win32_clock();
  auto ids = make_system_id_source();
  auto protection = vor::make_win32_data_protection();
  auto scm = make_win32_scm();
  auto ticker = make_steady_ticker();
  auto launcher = make_win32_child_launcher();
  SupervisedChildRunner children(*launcher, *ticker);
  auto out = make_win32_std_output(::GetStdHandle(STD_OUTPUT_HANDLE));
  SetupPorts ports{*files, *processes, *clock, *ids, *protection};
  RecoveryContext context{ports, *scm, *ticker, children, system_root_variable()};
  ProgramEnvironment env{context};
  const wchar_t* line = ::GetCommandLineW();
  return setup_recovery_main(std::u16string_view(reinterpret_cast<const char16_t*>(line)), *out, env);
}
