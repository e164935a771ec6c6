// vor-kerno-setup-recovery.exe: builds the Win32 ports once and runs.
#include <windows.h>

#include "bin/entry.h"
#include "common/data_protection.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  using namespace vor::setup;
  auto files = make_win32_file_system();
  auto processes = make_win32_process_sys();
  auto clock = make_win32_clock();
  auto ids = make_system_id_source();
  auto protection = vor::make_win32_data_protection();
  auto out = make_win32_std_output(::GetStdHandle(STD_OUTPUT_HANDLE));
  SetupPorts ports{*files, *processes, *clock, *ids, *protection};
  ProgramEnvironment env{ports};
  const wchar_t* line = ::GetCommandLineW();
  return setup_recovery_main(std::u16string_view(reinterpret_cast<const char16_t*>(line)), *out, env);
}
