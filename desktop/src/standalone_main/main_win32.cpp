// Program entry of Vor.Marionet.exe (GUI subsystem, no console).
#include <windows.h>
#include <shellapi.h>

#include <optional>
#include <string>
#include <vector>

#include "common/handle_win32.h"
#include "common/text.h"
#include "standalone_main/entry.h"
#include "standalone_main/entry_services_win32.h"

namespace {

// The arguments after the program path, as UTF-8; an argument that is not
// valid UTF-16 is nullopt.
std::vector<vor::desktop::Argument> command_line_arguments() {
  std::vector<vor::desktop::Argument> args;
  int count = 0;
  const vor::UniqueArgv argv(::CommandLineToArgvW(::GetCommandLineW(), &count));
  if (!argv) return args;
  for (int i = 1; i < count; ++i) args.push_back(vor::from_wide(argv.get()[i]));
  return args;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  const auto args = command_line_arguments();
  vor::desktop::Win32Adapters adapters;
  auto services = vor::desktop::make_win32_entry_services(adapters);
  const int code = vor::desktop::run_entry(args, services);
  if (code != 0) vor::desktop::terminate_current_process(code);
  return 0;
}
