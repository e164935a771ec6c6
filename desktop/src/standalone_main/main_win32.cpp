// Program entry of Vor.Marionet.exe (GUI subsystem, no console).
#include <windows.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "standalone_main/entry.h"
#include "standalone_main/entry_services_win32.h"

namespace {

// The arguments after the program path, as UTF-8; an argument that is not
// valid UTF-16 is nullopt. The C runtime has split the command line already
// (by the same quoting rules as CommandLineToArgvW, without wildcard
// expansion); splitting it again through shell32 would load that DLL, and the
// DLLs it pulls in, on every start.
std::vector<vor::desktop::Argument> command_line_arguments() {
  std::vector<vor::desktop::Argument> args;
  if (__wargv == nullptr) return args;
  for (int i = 1; i < __argc; ++i) args.push_back(vor::from_wide(__wargv[i]));
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
