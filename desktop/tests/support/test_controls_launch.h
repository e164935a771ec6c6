// The classic-controls test application (test_controls.exe, built beside
// every Windows test program) started for a test suite, and its log. Windows
// tests only.
//
//   g_app = start_test_controls(L"C:\\vor-uia-tests", L"").release();
//   ASSERT_NE(g_app->window, 0u);          // 0: it did not start or announce itself
//   ...
//   close_test_controls(*g_app);
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "common/handle_win32.h"
#include "native/ports_win32.h"
#include "support/test_files_win32.h"

namespace vor::desktop {

struct TestControlsApp {
  std::wstring log;
  UniqueHandle process;
  WindowHandle window = 0;
  DWORD process_id = 0;
};

// Starts the application with its log at "<dir>\controls-<this pid>.log"
// and `extra_args` after it, and waits (at most 10 s) for its "ready
// <window>" line. `window` stays 0 when it did not start or announce itself.
inline std::unique_ptr<TestControlsApp> start_test_controls(const std::wstring& dir, const std::wstring& extra_args) {
  auto app = std::make_unique<TestControlsApp>();
  ::CreateDirectoryW(dir.c_str(), nullptr);
  app->log = dir + L"\\controls-" + std::to_wstring(::GetCurrentProcessId()) + L".log";
  ::DeleteFileW(app->log.c_str());
  wchar_t self[MAX_PATH];
  ::GetModuleFileNameW(nullptr, self, MAX_PATH);
  const std::filesystem::path exe = std::filesystem::path(self).parent_path() / L"test_controls.exe";
  std::wstring command = L"\"" + exe.wstring() + L"\" --log " + app->log + extra_args;
  STARTUPINFOW si{sizeof(si)};
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    return app;
  }
  app->process.reset(pi.hProcess);
  ::CloseHandle(pi.hThread);
  app->process_id = pi.dwProcessId;
  for (int i = 0; i < 1000 && app->window == 0; ++i) {
    const std::string text = read_text_file(app->log);
    const auto at = text.find("ready ");
    if (at != std::string::npos && text.find("\r\n", at) != std::string::npos) {
      app->window = std::stoull(text.substr(at + 6));
    }
    ::Sleep(10);
  }
  return app;
}

// Asks the application's window to close and waits (at most 10 s) for it to end.
inline void close_test_controls(TestControlsApp& app) {
  if (app.window) ::PostMessageW(to_hwnd(app.window), WM_CLOSE, 0, 0);
  if (app.process) ::WaitForSingleObject(app.process.get(), 10000);
}

}  // namespace vor::desktop
