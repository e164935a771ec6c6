// startup_floor.exe: the least that a command of Vor.Marionet.exe which
// starts a worker can cost, for the start-up benchmark to compare against.
//
//   startup_floor.exe --trivial   returns at once: one process start
//   startup_floor.exe             creates a named pipe, starts itself as a
//                                 child, sends 4 bytes, reads 4 bytes back and
//                                 waits for the child's end: two process
//                                 starts and one pipe round trip
//
// Statically linked, GUI subsystem and importing kernel32 only, like the
// runtime's own process before any command-specific work. Exit code 0 when
// every step worked, else 1.
#include <windows.h>

#include <cstdlib>
#include <cwchar>
#include <string>

namespace {

bool exchange(HANDLE pipe, const char* send, bool send_first) {
  char buffer[4];
  DWORD done = 0;
  if (send_first && (!::WriteFile(pipe, send, 4, &done, nullptr) || done != 4)) return false;
  if (!::ReadFile(pipe, buffer, 4, &done, nullptr) || done != 4) return false;
  if (!send_first && (!::WriteFile(pipe, send, 4, &done, nullptr) || done != 4)) return false;
  return true;
}

int child(const wchar_t* name) {
  const HANDLE pipe = ::CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return 1;
  const bool ok = exchange(pipe, "pong", false);
  ::CloseHandle(pipe);
  return ok ? 0 : 1;
}

int parent() {
  const std::wstring name = L"\\\\.\\pipe\\vor-startup-floor-" + std::to_wstring(::GetCurrentProcessId());
  const HANDLE pipe = ::CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                         1, 4096, 4096, 0, nullptr);
  if (pipe == INVALID_HANDLE_VALUE) return 1;
  wchar_t self[MAX_PATH];
  const DWORD length = ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return 1;
  std::wstring command = L"\"" + std::wstring(self) + L"\" --child " + name;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  if (!::CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return 1;
  }
  ::CloseHandle(info.hThread);
  bool ok = ::ConnectNamedPipe(pipe, nullptr) || ::GetLastError() == ERROR_PIPE_CONNECTED;
  ok = ok && exchange(pipe, "ping", true);
  DWORD code = 1;
  ok = ok && ::WaitForSingleObject(info.hProcess, INFINITE) == WAIT_OBJECT_0 &&
       ::GetExitCodeProcess(info.hProcess, &code) && code == 0;
  ::CloseHandle(info.hProcess);
  ::CloseHandle(pipe);
  return ok ? 0 : 1;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  if (__argc == 2 && std::wcscmp(__wargv[1], L"--trivial") == 0) return 0;
  if (__argc == 3 && std::wcscmp(__wargv[1], L"--child") == 0) return child(__wargv[2]);
  if (__argc == 1) return parent();
  return 1;
}
