// A test schtasks.exe answering from files, for Wine, whose own schtasks
// prints nothing for /Query. It keeps one task, `task.xml`, in the folder
// named by VOR_TEST_SCHTASKS_DIR (default C:\vor-test-schtasks), and appends
// every command line it was given to `calls.log` there.
//   /Query /TN <name> /XML   the bytes of task.xml, exit 0; no file: exit 1
//                            (`query-exit` holding a number overrides the exit code;
//                            `lend-to` holding a process id: a copy of the output
//                            handle is first given to that process, which then
//                            keeps the pipe open after this tool has exited)
//   /Delete /TN <name> /F    deletes task.xml, exit 0; no file: exit 1
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "lend_output.h"

namespace {

std::wstring dir() {
  wchar_t buffer[1024];
  const DWORD n = ::GetEnvironmentVariableW(L"VOR_TEST_SCHTASKS_DIR", buffer, 1024);
  return n > 0 && n < 1024 ? std::wstring(buffer, n) : std::wstring(L"C:\\vor-test-schtasks");
}

std::string read_all(const std::wstring& path, bool& found) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  found = static_cast<bool>(in);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void write_out(HANDLE h, const std::string& bytes) {
  DWORD written = 0;
  ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring base = dir();
  {
    std::ofstream log(std::filesystem::path(base + L"\\calls.log"), std::ios::binary | std::ios::app);
    std::wstring line = ::GetCommandLineW();
    std::string narrow;
    for (wchar_t c : line) narrow += c < 0x80 ? static_cast<char>(c) : '?';
    log << narrow << "\n";
  }
  const std::wstring task = base + L"\\task.xml";
  const std::wstring verb = argc > 1 ? argv[1] : L"";
  bool found = false;
  if (verb == L"/Query") {
    bool lend = false;
    const std::string holder = read_all(base + L"\\lend-to", lend);
    if (lend && !lend_std_output(static_cast<DWORD>(std::atol(holder.c_str())))) return 3;
    const std::string xml = read_all(task, found);
    bool overridden = false;
    const std::string exit_text = read_all(base + L"\\query-exit", overridden);
    if (!found) {
      write_out(::GetStdHandle(STD_ERROR_HANDLE), "ERROR: The system cannot find the file specified.\r\n");
      return overridden ? std::atoi(exit_text.c_str()) : 1;
    }
    write_out(::GetStdHandle(STD_OUTPUT_HANDLE), xml);
    return overridden ? std::atoi(exit_text.c_str()) : 0;
  }
  if (verb == L"/Delete") {
    if (!::DeleteFileW(task.c_str())) return 1;
    write_out(::GetStdHandle(STD_OUTPUT_HANDLE), "SUCCESS: The scheduled task was successfully deleted.\r\n");
    return 0;
  }
  return 2;
}
