// A program started by a Windows test with its standard output (and error)
// in a file, never in a pipe: a child that starts long-lived children of its
// own would hand them the pipe too. Ended by the test only if it still runs
// when the object goes. Windows tests only.
//
//   CapturedProcess p(exe, L"status --operation-id op-1", L"C:\\vor-tests\\out.txt");
//   auto code = p.wait(20000);        // nullopt: still running
//   json::parse(p.output());
#pragma once

#include <windows.h>

#include <optional>
#include <string>

#include "common/handle_win32.h"

namespace vor::desktop {

// The whole file, read while a writer may still hold it open; empty when
// it cannot be opened.
inline std::string read_shared_file(const std::wstring& path) {
  UniqueFile file(::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr));
  if (!file) return {};
  std::string out;
  char chunk[4096];
  DWORD n = 0;
  while (::ReadFile(file.get(), chunk, sizeof chunk, &n, nullptr) && n > 0) out.append(chunk, n);
  return out;
}

class CapturedProcess {
 public:
  CapturedProcess(const std::wstring& exe, const std::wstring& arguments, const std::wstring& output)
      : output_(output) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    UniqueFile out(::CreateFileW(output.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr));
    UniqueFile in(::CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                nullptr));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in.get();
    si.hStdOutput = out.get();
    si.hStdError = out.get();
    std::wstring command = L"\"" + exe + L"\" " + arguments;
    PROCESS_INFORMATION pi{};
    if (::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
      process_.reset(pi.hProcess);
      ::CloseHandle(pi.hThread);
    }
  }
  CapturedProcess(const CapturedProcess&) = delete;
  CapturedProcess& operator=(const CapturedProcess&) = delete;
  ~CapturedProcess() {
    if (process_ && ::WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) {
      ::TerminateProcess(process_.get(), 99);
      ::WaitForSingleObject(process_.get(), 5000);
    }
  }
  bool started() const { return process_.valid(); }
  bool running() const { return ::WaitForSingleObject(process_.get(), 0) == WAIT_TIMEOUT; }
  // The exit code once it ended within `ms`.
  std::optional<DWORD> wait(DWORD ms) {
    if (::WaitForSingleObject(process_.get(), ms) != WAIT_OBJECT_0) return std::nullopt;
    DWORD code = 0;
    ::GetExitCodeProcess(process_.get(), &code);
    return code;
  }
  std::string output() const { return read_shared_file(output_); }

 private:
  std::wstring output_;
  UniqueHandle process_;
};

}  // namespace vor::desktop
