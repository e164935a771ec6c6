// A child for the supervised runner's tests under Wine.
//   print <text>       writes the text to standard output, exit 0
//   echo               copies standard input to standard output, exit 0
//   utf16              writes FF FE and "<a/>" in UTF-16LE, exit 0
//   flood <n>          writes n bytes of 'x' to standard output, exit 0
//   exit <n>           exit code n
//   hang <ms>          sleeps, then exits 0
//   grandchild         starts "hang 60000" with its own handles inherited, exits 0
//   spawn-first        before anything else starts "hang 60000" on a pipe of its
//                      own (not the caller's), prints its pid, exits 0 two
//                      seconds later
//   hold <ms> <file>   starts "hang <ms>" detached, outside any job of ours, writes
//                      its pid to <file>, exit 0
//   end <pid>          ends that process: exit 0 when it was still running, else 1
//   lend <pid>         duplicates its standard output handle into process <pid>
//                      (which then holds the pipe open), prints "lent", exit 0
//   service-create <name> <binary path>   a stopped demand-start own-process service
//   service-delete <name>                 deletes it (exit 0 also when it is absent)
//   service-show <name>                   prints "<start type> <binary path>", exit 1 when absent
//   protect <in> <out> seals the bytes of <in> with DPAPI in machine scope
//                      (no entropy) and writes "VORKST01", 0x01 and the blob to <out>
#include <windows.h>
#include <wincrypt.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include <cstdlib>
#include <string>

#include "lend_output.h"

namespace {

void out(const std::string& bytes) {
  DWORD written = 0;
  ::WriteFile(::GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

// Starts "hang <ms>" of this program on the given standard handles, all
// inheritable handles inherited; its process id, or 0.
DWORD start_hang(const std::wstring& ms, HANDLE in, HANDLE out_handle, HANDLE err, DWORD flags) {
  wchar_t exe[MAX_PATH];
  ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
  std::wstring line = L"\"" + std::wstring(exe) + L"\" hang " + ms;
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = in;
  si.hStdOutput = out_handle;
  si.hStdError = err;
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(exe, line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr, &si, &pi)) return 0;
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  return pi.dwProcessId;
}

// A hang detached and on a pipe of its own, so that only the job ties it to
// us. (Under Wine a grandchild that shares the child's console keeps that
// console, and with it the child's output pipe, open until the grandchild ends.)
void keep_std_handles_to_self() {
  for (DWORD which : {STD_INPUT_HANDLE, STD_OUTPUT_HANDLE, STD_ERROR_HANDLE}) {
    ::SetHandleInformation(::GetStdHandle(which), HANDLE_FLAG_INHERIT, 0);
  }
}

DWORD start_detached_hang() {
  keep_std_handles_to_self();
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE read_end = nullptr, write_end = nullptr;
  if (!::CreatePipe(&read_end, &write_end, &inherit, 0)) return 0;
  const DWORD pid = start_hang(L"60000", read_end, write_end, write_end, DETACHED_PROCESS);
  ::CloseHandle(read_end);
  ::CloseHandle(write_end);
  return pid;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"spawn-first") {
    const DWORD pid = start_detached_hang();
    if (pid == 0) return 3;
    out(std::to_string(pid));
    ::Sleep(2000);  // still running a second after its start, when a slow guard assigns it
    return 0;
  }
  const std::wstring arg = argc > 2 ? argv[2] : L"";
  if (mode == L"print") {
    std::string narrow(arg.begin(), arg.end());
    out(narrow);
    return 0;
  }
  if (mode == L"echo") {
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(::GetStdHandle(STD_INPUT_HANDLE), buffer, sizeof buffer, &got, nullptr) && got > 0) {
      out(std::string(buffer, got));
    }
    return 0;
  }
  if (mode == L"utf16") {
    out(std::string("\xFF\xFE<\0a\0/\0>\0", 10));
    return 0;
  }
  if (mode == L"flood") {
    out(std::string(static_cast<std::size_t>(_wtoi(arg.c_str())), 'x'));
    return 0;
  }
  if (mode == L"exit") return _wtoi(arg.c_str());
  if (mode == L"hang") {
    ::Sleep(static_cast<DWORD>(_wtoi(arg.c_str())));
    return 0;
  }
  if (mode == L"grandchild") {
    const DWORD pid = start_hang(L"60000", ::GetStdHandle(STD_INPUT_HANDLE), ::GetStdHandle(STD_OUTPUT_HANDLE),
                                 ::GetStdHandle(STD_ERROR_HANDLE), 0);
    return pid == 0 ? 3 : 0;
  }
  if (mode == L"hold" && argc > 3) {
    // Its standard handles on a file (a file has a Unix descriptor, so Wine
    // does not hand it the caller's standard output instead).
    keep_std_handles_to_self();
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE file = ::CreateFileW((std::wstring(argv[3]) + L".out").c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 3;
    const DWORD pid = start_hang(arg, file, file, file, DETACHED_PROCESS);
    ::CloseHandle(file);
    if (pid == 0) return 3;
    std::ofstream(std::filesystem::path(argv[3]), std::ios::binary) << pid;
    return 0;
  }
  if (mode == L"end") {
    HANDLE p = ::OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, static_cast<DWORD>(_wtoi(arg.c_str())));
    if (p == nullptr) return 1;
    const bool running = ::WaitForSingleObject(p, 0) == WAIT_TIMEOUT;
    if (running) ::TerminateProcess(p, 1);
    ::CloseHandle(p);
    return running ? 0 : 1;
  }
  if (mode == L"lend") {
    if (!lend_std_output(static_cast<DWORD>(_wtoi(arg.c_str())))) return 3;
    out("lent");
    return 0;
  }
  if (mode.rfind(L"service-", 0) == 0) {
    SC_HANDLE manager = ::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) return 4;
    int code = 0;
    if (mode == L"service-create" && argc > 3) {
      SC_HANDLE s = ::CreateServiceW(manager, argv[2], argv[2], SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, argv[3], nullptr, nullptr, nullptr,
                                     nullptr, nullptr);
      code = s ? 0 : 5;
      if (s) ::CloseServiceHandle(s);
    } else if (mode == L"service-delete") {
      SC_HANDLE s = ::OpenServiceW(manager, arg.c_str(), DELETE);
      if (s) {
        code = ::DeleteService(s) ? 0 : 5;
        ::CloseServiceHandle(s);
      }
    } else if (mode == L"service-show") {
      SC_HANDLE s = ::OpenServiceW(manager, arg.c_str(), SERVICE_QUERY_CONFIG);
      alignas(8) BYTE buffer[8192];
      DWORD needed = 0;
      if (s && ::QueryServiceConfigW(s, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer), sizeof buffer, &needed)) {
        auto* c = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer);
        std::wstring path = c->lpBinaryPathName;
        out(std::to_string(c->dwStartType) + " " + std::string(path.begin(), path.end()));
      } else {
        code = 1;
      }
      if (s) ::CloseServiceHandle(s);
    } else {
      code = 2;
    }
    ::CloseServiceHandle(manager);
    return code;
  }
  if (mode == L"protect" && argc > 3) {
    std::ifstream in(std::filesystem::path(argv[2]), std::ios::binary);
    std::string plain(std::istreambuf_iterator<char>(in), {});
    DATA_BLOB input{static_cast<DWORD>(plain.size()), reinterpret_cast<BYTE*>(plain.data())};
    DATA_BLOB sealed{};
    if (!::CryptProtectData(&input, nullptr, nullptr, nullptr, nullptr,
                            CRYPTPROTECT_UI_FORBIDDEN | CRYPTPROTECT_LOCAL_MACHINE, &sealed)) {
      return 4;
    }
    std::ofstream file(std::filesystem::path(argv[3]), std::ios::binary);
    file << std::string("VORKST01\x01", 9) << std::string(reinterpret_cast<char*>(sealed.pbData), sealed.cbData);
    ::LocalFree(sealed.pbData);
    return file ? 0 : 5;
  }
  return 2;
}
