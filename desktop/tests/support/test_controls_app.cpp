// A small Windows application of classic controls for the Windows tests
// (never installed). One top-level window holds, by control id:
//   101 push button "Push"          102 check box "Check"
//   103 single-line edit (limit 32) 104 password edit
//   105 read-only edit "fixed"      106 multi-line edit
//   107 static label: the last event ("idle" at start)
// Like a dialog, the window hands the keyboard focus it gets (when it is
// activated) to the single-line edit, so keys typed into the focused window
// arrive there. Every event is appended as one line to the log file named by
// --log, and the label shows the last one:
//   ready <window handle> <pid>     push <n> / check <0|1>      (BN_CLICKED)
//   <control> <MESSAGE> sent|posted (BM_CLICK, WM_SETTEXT, EM_GETPASSWORDCHAR,
//                                    EM_GETLIMITTEXT as the control receives them)
//   single: <text> / multi: <text>  (EN_CHANGE)
//   hang begin / hang end           (the posted message WM_APP + 1, wParam ms)
//
//   test_controls.exe --log C:\vor-tests\controls.log [--title TEXT]
#include <windows.h>
#include <shellapi.h>

#include <string>
#include <string>

namespace {

constexpr UINT kHangMessage = WM_APP + 1;
constexpr int kPush = 101, kCheck = 102, kSingle = 103, kPassword = 104, kReadOnly = 105, kMulti = 106, kLabel = 107;

HANDLE g_log = INVALID_HANDLE_VALUE;
HWND g_label = nullptr;
int g_pushes = 0;

void log_line(const std::wstring& line, bool show = true) {
  const std::wstring with_end = line + L"\r\n";
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, with_end.c_str(), static_cast<int>(with_end.size()), nullptr, 0,
                                        nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, with_end.c_str(), static_cast<int>(with_end.size()), utf8.data(), bytes, nullptr,
                      nullptr);
  DWORD written = 0;
  WriteFile(g_log, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
  FlushFileBuffers(g_log);
  if (show && g_label) SetWindowTextW(g_label, line.c_str());
}

std::wstring text_of(HWND window) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(window, buffer, 1024);
  return buffer;
}

// The classic controls keep their own procedure; this one logs the messages
// the tests send them and passes everything on.
WNDPROC g_button_proc = nullptr;
WNDPROC g_edit_proc = nullptr;

const wchar_t* control_name(HWND window) {
  switch (GetDlgCtrlID(window)) {
    case kPush: return L"push";
    case kCheck: return L"check";
    case kSingle: return L"single";
    case kPassword: return L"password";
    case kReadOnly: return L"readonly";
    case kMulti: return L"multi";
    default: return L"other";
  }
}

void log_received(HWND window, const wchar_t* message) {
  // InSendMessage: sent from another thread (SendMessage*), not posted.
  log_line(std::wstring(control_name(window)) + L" " + message + (InSendMessage() ? L" sent" : L" posted"), false);
}

LRESULT CALLBACK button_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == BM_CLICK) log_received(window, L"BM_CLICK");
  return CallWindowProcW(g_button_proc, window, message, w, l);
}

LRESULT CALLBACK edit_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
  if (message == WM_SETTEXT) log_received(window, L"WM_SETTEXT");
  if (message == EM_GETPASSWORDCHAR) log_received(window, L"EM_GETPASSWORDCHAR");
  if (message == EM_GETLIMITTEXT) log_received(window, L"EM_GETLIMITTEXT");
  return CallWindowProcW(g_edit_proc, window, message, w, l);
}

HWND add_control(HWND parent, const wchar_t* cls, const wchar_t* text, DWORD style, int id, int x, int y, int w, int h) {
  HWND control = CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | WS_TABSTOP | style, x, y, w, h, parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), GetModuleHandleW(nullptr), nullptr);
  WNDPROC previous = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
      control, GWLP_WNDPROC,
      reinterpret_cast<LONG_PTR>(lstrcmpiW(cls, L"Button") == 0 ? button_proc : edit_proc)));
  if (lstrcmpiW(cls, L"Button") == 0) {
    g_button_proc = previous;
  } else if (lstrcmpiW(cls, L"Edit") == 0) {
    g_edit_proc = previous;
  }
  return control;
}

LRESULT CALLBACK main_proc(HWND window, UINT message, WPARAM w, LPARAM l) {
  switch (message) {
    case WM_CREATE: {
      add_control(window, L"Button", L"Push", BS_PUSHBUTTON, kPush, 10, 10, 120, 30);
      add_control(window, L"Button", L"Check", BS_AUTOCHECKBOX, kCheck, 10, 50, 120, 30);
      HWND single = add_control(window, L"Edit", L"", ES_AUTOHSCROLL | WS_BORDER, kSingle, 150, 10, 200, 24);
      SendMessageW(single, EM_LIMITTEXT, 32, 0);
      add_control(window, L"Edit", L"", ES_PASSWORD | ES_AUTOHSCROLL | WS_BORDER, kPassword, 150, 44, 200, 24);
      add_control(window, L"Edit", L"fixed", ES_READONLY | ES_AUTOHSCROLL | WS_BORDER, kReadOnly, 150, 78, 200, 24);
      add_control(window, L"Edit", L"", ES_MULTILINE | WS_BORDER, kMulti, 150, 112, 200, 60);
      g_label = CreateWindowExW(0, L"Static", L"idle", WS_CHILD | WS_VISIBLE, 10, 200, 400, 24, window,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(kLabel)), GetModuleHandleW(nullptr), nullptr);
      return 0;
    }
    case WM_COMMAND: {
      const int id = LOWORD(w);
      const int code = HIWORD(w);
      HWND control = reinterpret_cast<HWND>(l);
      if (code == BN_CLICKED && id == kPush) log_line(L"push " + std::to_wstring(++g_pushes));
      if (code == BN_CLICKED && id == kCheck) {
        log_line(L"check " + std::to_wstring(SendMessageW(control, BM_GETCHECK, 0, 0) == BST_CHECKED ? 1 : 0));
      }
      if (code == EN_CHANGE && id == kSingle) log_line(L"single: " + text_of(control));
      if (code == EN_CHANGE && id == kMulti) log_line(L"multi: " + text_of(control));
      return 0;
    }
    case WM_SETFOCUS:
      SetFocus(GetDlgItem(window, kSingle));
      return 0;
    case kHangMessage:
      log_line(L"hang begin", false);
      Sleep(static_cast<DWORD>(w));
      log_line(L"hang end", false);
      return 0;
    case WM_CLOSE:
      DestroyWindow(window);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(window, message, w, l);
  }
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  std::wstring log_path, title = L"Vor test controls";
  for (int i = 1; i + 1 < argc; i += 2) {
    if (lstrcmpW(argv[i], L"--log") == 0) log_path = argv[i + 1];
    if (lstrcmpW(argv[i], L"--title") == 0) title = argv[i + 1];
  }
  if (log_path.empty()) return 64;
  g_log = CreateFileW(log_path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                      nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (g_log == INVALID_HANDLE_VALUE) return 1;

  WNDCLASSW wc{};
  wc.lpfnWndProc = main_proc;
  wc.hInstance = instance;
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = L"VorTestControls";
  RegisterClassW(&wc);
  HWND window = CreateWindowExW(0, wc.lpszClassName, title.c_str(), WS_OVERLAPPEDWINDOW, 100, 100, 640, 480, nullptr,
                                nullptr, instance, nullptr);
  if (!window) return 1;
  ShowWindow(window, SW_SHOWNORMAL);
  UpdateWindow(window);
  log_line(L"ready " + std::to_wstring(reinterpret_cast<std::uintptr_t>(window)) + L" " +
               std::to_wstring(GetCurrentProcessId()),
           false);

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  CloseHandle(g_log);
  return 0;
}
