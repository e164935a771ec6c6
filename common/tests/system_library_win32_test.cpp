// Binding functions of System32 DLLs on first use, against the real (Wine)
// system: only System32 is searched, failures are the raw Win32 errors, and
// winsock is not loaded by the event loop's library.
#include "common/system_library_win32.h"

#include <gtest/gtest.h>

#include <windows.h>
#include <userenv.h>

#include <filesystem>
#include <string>

// Delay-loaded from a DLL that no system has (data/absent_delay.def).
extern "C" __declspec(dllimport) BOOL WINAPI VorAbsentFunction(int argument);

namespace vor {
namespace {

TEST(SystemProcedure, BindsFromSystem32OrGivesTheWin32Error) {
  struct Case {
    const char* id;
    const wchar_t* dll;
    const char* procedure;
    std::uint32_t error;  // 0: bound
  };
  const Case cases[] = {
      {"function of a System32 DLL", L"userenv.dll", "CreateEnvironmentBlock", 0},
      {"function that the DLL lacks", L"userenv.dll", "VorNoSuchFunction", ERROR_PROC_NOT_FOUND},
      {"DLL that System32 lacks", L"vor-no-such-library.dll", "Anything", ERROR_MOD_NOT_FOUND},
  };
  for (const Case& c : cases) {
    auto address = system_procedure(c.dll, c.procedure);
    if (c.error == 0) {
      ASSERT_TRUE(address) << c.id << ": " << address.error();
      EXPECT_EQ(*address, reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(c.dll), c.procedure))) << c.id;
    } else {
      ASSERT_FALSE(address) << c.id;
      EXPECT_EQ(address.error(), c.error) << c.id;
    }
  }
}

// A DLL beside the program, which an ordinary LoadLibraryW finds there, is
// not what system_procedure loads.
TEST(SystemProcedure, NeverLoadsFromTheProgramsFolder) {
  wchar_t self[MAX_PATH];
  ASSERT_GT(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  // A copy of this program under a DLL name of this process's own.
  const std::wstring name = L"vor-beside-the-program-" + std::to_wstring(::GetCurrentProcessId()) + L".dll";
  const std::filesystem::path beside = std::filesystem::path(self).parent_path() / name;
  struct Remove {
    std::filesystem::path path;
    ~Remove() {
      std::error_code ignored;
      std::filesystem::remove(path, ignored);
    }
  } remove{beside};
  std::error_code ec;
  std::filesystem::copy_file(self, beside, std::filesystem::copy_options::overwrite_existing, ec);
  ASSERT_FALSE(ec) << ec.message();

  const HMODULE found = ::LoadLibraryW(name.c_str());
  ASSERT_NE(found, nullptr) << "the copy beside the program must be loadable by the ordinary search";
  ::FreeLibrary(found);

  auto address = system_procedure(name.c_str(), "wWinMain");
  ASSERT_FALSE(address);
  EXPECT_EQ(address.error(), static_cast<std::uint32_t>(ERROR_MOD_NOT_FOUND));
}

TEST(SystemFunction, KeepsABoundAddressAndRetriesAFailure) {
  SystemFunction<decltype(::CreateEnvironmentBlock)> create(L"userenv.dll", "CreateEnvironmentBlock");
  auto first = create.get();
  ASSERT_TRUE(first);
  auto again = create.get();
  ASSERT_TRUE(again);
  EXPECT_EQ(*first, *again);

  SystemFunction<void()> missing(L"vor-no-such-library.dll", "Anything");
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto bound = missing.get();
    ASSERT_FALSE(bound);
    EXPECT_EQ(bound.error(), static_cast<std::uint32_t>(ERROR_MOD_NOT_FOUND));
  }
}

// A delay-loaded function whose DLL cannot be loaded fails like a call that
// returned FALSE, with the load's error, every time, instead of raising the
// delay-load helper's exception.
TEST(DelayLoadHook, AFunctionThatCannotBeBoundAnswersZeroWithTheError) {
  for (int attempt = 0; attempt < 2; ++attempt) {
    ::SetLastError(0);
    EXPECT_EQ(VorAbsentFunction(7), FALSE);
    EXPECT_EQ(::GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  }
}

// asio initialises winsock from static initialisers; the programs declare it
// initialised themselves, so no start loads ws2_32.
TEST(Winsock, IsNotLoadedByTheEventLoopsStaticInitialisers) {
  EXPECT_EQ(::GetModuleHandleW(L"ws2_32.dll"), nullptr);
}

}  // namespace
}  // namespace vor
