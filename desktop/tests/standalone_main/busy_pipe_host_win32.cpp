// Test program: busy_pipe_host PIPE EXE. Creates PIPE with a single instance,
// occupies that instance with its own client, then runs EXE as a worker on
// PIPE (broker pid = this process) and prints the worker's exit code, the
// number of bytes it wrote to its standard output, and how long it ran.
#include <windows.h>

#include <cstdio>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  const std::wstring pipe = argv[1];
  HANDLE server = ::CreateNamedPipeW(pipe.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  if (server == INVALID_HANDLE_VALUE) return 3;
  HANDLE occupant = ::CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (occupant == INVALID_HANDLE_VALUE) return 4;

  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out_read = nullptr, out_write = nullptr;
  if (!::CreatePipe(&out_read, &out_write, &inherit, 0)) return 5;
  ::SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  DWORD session = 0;
  ::ProcessIdToSessionId(::GetCurrentProcessId(), &session);
  std::wstring cmd = L"\"" + std::wstring(argv[2]) + L"\" worker --pipe " + pipe + L" --broker-pid " +
                     std::to_wstring(::GetCurrentProcessId()) + L" --session " + std::to_wstring(session);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = out_write;
  si.hStdError = out_write;
  si.hStdInput = nullptr;
  PROCESS_INFORMATION pi{};
  const ULONGLONG start = ::GetTickCount64();
  if (!::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) return 6;
  ::CloseHandle(out_write);
  ::WaitForSingleObject(pi.hProcess, 60000);
  const ULONGLONG elapsed = ::GetTickCount64() - start;
  DWORD code = 0;
  ::GetExitCodeProcess(pi.hProcess, &code);
  DWORD available = 0;
  ::PeekNamedPipe(out_read, nullptr, 0, nullptr, &available, nullptr);
  std::printf("exit=%lu printed=%lu elapsed_ms=%llu\n", static_cast<unsigned long>(code),
              static_cast<unsigned long>(available), static_cast<unsigned long long>(elapsed));
  return 0;
}
