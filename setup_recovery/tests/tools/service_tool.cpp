// A Windows service for the service-control tests under Wine: it reports
// Running at once, and on a stop request StopPending, then Stopped.
#include <windows.h>

namespace {

SERVICE_STATUS_HANDLE g_handle = nullptr;
HANDLE g_stop = nullptr;

void report(DWORD state, DWORD checkpoint = 0) {
  SERVICE_STATUS s{};
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  s.dwCheckPoint = checkpoint;
  s.dwWaitHint = state == SERVICE_STOP_PENDING ? 2000 : 0;
  ::SetServiceStatus(g_handle, &s);
}

DWORD WINAPI control(DWORD code, DWORD, void*, void*) {
  if (code == SERVICE_CONTROL_STOP) {
    report(SERVICE_STOP_PENDING, 1);
    ::SetEvent(g_stop);
  }
  return NO_ERROR;
}

void WINAPI service_main(DWORD, wchar_t** argv) {
  g_stop = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_handle = ::RegisterServiceCtrlHandlerExW(argv[0], control, nullptr);
  if (g_handle == nullptr) return;
  report(SERVICE_RUNNING);
  ::WaitForSingleObject(g_stop, INFINITE);
  ::Sleep(300);
  report(SERVICE_STOPPED);
}

}  // namespace

int wmain() {
  wchar_t empty[] = L"";
  SERVICE_TABLE_ENTRYW table[] = {{empty, service_main}, {nullptr, nullptr}};
  return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
