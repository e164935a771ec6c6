// Process liveness through the Win32 process port, against real processes under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include "native/process_sys_win32.h"
#include "standalone/cli/operation_status.h"

namespace vor::desktop {
namespace {

std::uint64_t own_creation_time() {
  FILETIME created{}, exited{}, kernel{}, user{};
  EXPECT_TRUE(::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user));
  return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
}

TEST(ProcessLivenessWin32, OwnProcessRunsOnlyUnderItsOwnCreationTime) {
  auto processes = make_win32_proc_sys();
  const std::uint32_t self = ::GetCurrentProcessId();
  auto runs = operation_process_runs(*processes, self, own_creation_time());
  ASSERT_TRUE(runs) << runs.error().display_chain();
  EXPECT_TRUE(*runs);
  runs = operation_process_runs(*processes, self, own_creation_time() + 1);
  ASSERT_TRUE(runs) << runs.error().display_chain();
  EXPECT_FALSE(*runs);
}

TEST(ProcessLivenessWin32, AnEndedChildIsGone) {
  wchar_t exe[MAX_PATH] = {};
  ASSERT_GT(::GetSystemDirectoryW(exe, MAX_PATH), 0u);
  std::wstring command = L"\"" + std::wstring(exe) + L"\\cmd.exe\" /c exit 0";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  ASSERT_TRUE(::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &info));
  FILETIME created{}, exited{}, kernel{}, user{};
  ASSERT_TRUE(::GetProcessTimes(info.hProcess, &created, &exited, &kernel, &user));
  ASSERT_EQ(::WaitForSingleObject(info.hProcess, 10000), WAIT_OBJECT_0);
  const std::uint64_t creation = (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
  auto processes = make_win32_proc_sys();
  // Still open here, so the id names the ended process: the wait reports it.
  auto runs = operation_process_runs(*processes, info.dwProcessId, creation);
  ::CloseHandle(info.hThread);
  ::CloseHandle(info.hProcess);
  ASSERT_TRUE(runs) << runs.error().display_chain();
  EXPECT_FALSE(*runs);
}

TEST(ProcessLivenessWin32, AnUnusedIdIsGone) {
  auto processes = make_win32_proc_sys();
  auto runs = operation_process_runs(*processes, 0xFFFFFFF0u, 1);
  ASSERT_TRUE(runs) << runs.error().display_chain();
  EXPECT_FALSE(*runs);
}

}  // namespace
}  // namespace vor::desktop
