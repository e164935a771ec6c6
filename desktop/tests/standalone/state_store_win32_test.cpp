// The state store against the real (Wine) file system and DPAPI.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "common/crypto.h"
#include "common/data_protection.h"
#include "common/handle_win32.h"
#include "common/text.h"
#include "standalone/cli/error_codes.h"
#include "standalone/state/file_system.h"
#include "native/process_sys_win32.h"
#include "standalone/state/state_store.h"

namespace vor::desktop {
namespace {

// Made by the test fixture from the Linux side: a Unix directory symlink
// inside the prefix's drive_c, pointing at a real directory beside it.
constexpr const char* kUnixLink = "C:\\vor-state-links\\linked";
constexpr const char* kUnixLinkTarget = "C:\\vor-state-links\\real";

std::wstring wide(const std::string& s) { return *to_wide(s); }

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

class Win32StateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::CreateDirectoryW(L"C:\\vor-state-tests", nullptr);
    dir = "C:\\vor-state-tests\\" + *uuid_v4_hex();
    ASSERT_TRUE(::CreateDirectoryW(wide(dir).c_str(), nullptr));
    root_path = dir + "\\VorDesktop-v1";
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(wide(dir)), ignored);
  }

  std::unique_ptr<FileSystem> fs = make_win32_file_system();
  std::unique_ptr<CallerIdentity> identity = make_win32_caller_identity();
  std::unique_ptr<DataProtection> dpapi = make_win32_data_protection();
  std::string dir;
  std::string root_path;
};

TEST_F(Win32StateTest, ProcessUserSid) {
  auto sid = query_process_user_sid(::GetCurrentProcessId());
  ASSERT_TRUE(sid) << sid.error().display_chain();
  EXPECT_EQ(sid->rfind("S-1-5-", 0), 0u) << *sid;
  EXPECT_EQ(identity->current_user_sid().value(), *sid);

  UniqueHandle token;
  ASSERT_TRUE(::OpenProcessToken(::GetCurrentProcess(), TOKEN_QUERY, token.put()));
  EXPECT_EQ(token_user_sid(token.get()).value(), *sid);

  auto gone = query_process_user_sid(0xFFFFFFF0u);
  ASSERT_FALSE(gone);
  EXPECT_EQ(error_code_of(gone.error()), "DESKTOP_PROCESS_UNAVAILABLE");
}

TEST_F(Win32StateTest, RootIsCreatedWithItsAccessListThenVerified) {
  auto root = ensure_state_directory(*fs, *identity, dir);
  ASSERT_TRUE(root) << root.error().display_chain();
  EXPECT_EQ(root->path(), root_path);
  auto again = ensure_state_directory(*fs, *identity, dir);
  ASSERT_TRUE(again) << again.error().display_chain();

  // The entries are the ones asked for: SYSTEM and this user, inherited by children.
  const auto sid = *identity->current_user_sid();
  auto descriptor = fs->read_dacl(root_path, fs->dacl_size(root_path));
  ASSERT_TRUE(descriptor);
  auto text = fs->render_dacl(*descriptor);
  ASSERT_TRUE(text && text->present);
  const std::string rendered = *utf16_to_utf8(std::u16string_view(text->units.data(), text->units.size() - 1));
  EXPECT_NE(rendered.find("(A;OICI;FA;;;SY)"), std::string::npos) << rendered;
  EXPECT_NE(rendered.find("(A;OICI;FA;;;" + sid + ")"), std::string::npos) << rendered;
}

TEST_F(Win32StateTest, RootMadeWithoutItsAccessListIsRefused) {
  ASSERT_TRUE(::CreateDirectoryW(wide(root_path).c_str(), nullptr));  // inherits the parent's entries
  auto root = ensure_state_directory(*fs, *identity, dir);
  ASSERT_FALSE(root);
  EXPECT_EQ(error_code_of(root.error()), "DESKTOP_STATE_UNSAFE") << root.error().display_chain();
}

TEST_F(Win32StateTest, MissingOrPlainStateDirectory) {
  auto missing = ensure_state_directory(*fs, *identity, dir + "\\missing");
  EXPECT_EQ(error_code_of(missing.error()), "DESKTOP_STATE_DIR_REQUIRED");
  ASSERT_TRUE(write_whole_file(*fs, dir + "\\plain", bytes_of("x")));
  auto plain = ensure_state_directory(*fs, *identity, dir + "\\plain");
  EXPECT_EQ(error_code_of(plain.error()), "DESKTOP_STATE_DIR_REQUIRED");
}

// Win32 drops trailing dots and spaces from a last component: each of these
// names an existing directory when queried, while the root beneath it could
// not be made there.
TEST_F(Win32StateTest, StateDirectoryWhoseLastComponentWin32TrimsIsRefused) {
  ASSERT_TRUE(::CreateDirectoryW(wide(dir + "\\sub").c_str(), nullptr));
  for (const char* suffix : {"\\sub..", "\\sub.", "\\sub ", "\\sub. .", "\\sub\\.. ", "\\sub\\. ", "\\sub\\..."}) {
    const std::string path = dir + suffix;
    auto root = ensure_state_directory(*fs, *identity, path);
    ASSERT_FALSE(root) << path;
    EXPECT_EQ(error_code_of(root.error()), "DESKTOP_STATE_DIR_REQUIRED") << path << ": " << root.error().display_chain();
  }
  EXPECT_TRUE(ensure_state_directory(*fs, *identity, dir + "\\sub"));
}

TEST_F(Win32StateTest, DrivesMappedToUnixAreRefused) {
  for (const char* path : {"Z:\\tmp", "Z:\\", "Z:\\tmp\\state\\VorDesktop-v1\\x.json"}) {
    auto r = check_state_path(*fs, path);
    ASSERT_FALSE(r) << path;
    EXPECT_EQ(error_code_of(r.error()), "DESKTOP_STATE_UNSAFE") << path;
  }
  auto root = ensure_state_directory(*fs, *identity, "Z:\\tmp");
  ASSERT_FALSE(root);
  EXPECT_EQ(error_code_of(root.error()), "DESKTOP_STATE_UNSAFE");
}

TEST_F(Win32StateTest, UnixDirectorySymlinkIsARefusedReparsePoint) {
  ASSERT_NE(::GetFileAttributesA(kUnixLink), INVALID_FILE_ATTRIBUTES)
      << kUnixLink << " is missing: the ctest fixture state_links_setup makes it from the Linux side";
  EXPECT_TRUE(check_state_path(*fs, kUnixLinkTarget));
  for (const std::string& path : {std::string(kUnixLink), std::string(kUnixLink) + "\\VorDesktop-v1\\a.json"}) {
    auto r = check_state_path(*fs, path);
    ASSERT_FALSE(r) << path;
    EXPECT_EQ(error_code_of(r.error()), "DESKTOP_STATE_UNSAFE") << path;
  }
  auto root = ensure_state_directory(*fs, *identity, kUnixLink);
  ASSERT_FALSE(root);
  EXPECT_EQ(error_code_of(root.error()), "DESKTOP_STATE_UNSAFE");
}

TEST_F(Win32StateTest, GateIsExclusiveWithinAndAcrossProcesses) {
  auto root = ensure_state_directory(*fs, *identity, dir);
  ASSERT_TRUE(root) << root.error().display_chain();
  {
    auto first = open_gate(*fs, *root);
    ASSERT_TRUE(first) << first.error().display_chain();
    auto second = open_gate(*fs, *root);
    ASSERT_FALSE(second);
    EXPECT_EQ(error_code_of(second.error()), "DESKTOP_OWNER_CONFLICT");
    EXPECT_EQ(second.error().os_error(), std::optional<std::uint32_t>(ERROR_SHARING_VIOLATION));
  }

  wchar_t self[MAX_PATH];
  ASSERT_GT(::GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  const std::filesystem::path holder = std::filesystem::path(self).parent_path() / L"state_gate_holder.exe";
  const std::string gate = root->join(".gate");
  const std::string ready = dir + "\\ready";
  const std::string release = dir + "\\release";
  std::wstring command = L"\"" + holder.wstring() + L"\" " + wide(gate) + L" " + wide(ready) + L" " + wide(release);
  STARTUPINFOW si{sizeof(si)};
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(::CreateProcessW(holder.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  UniqueHandle process(pi.hProcess);
  UniqueHandle thread(pi.hThread);
  for (int i = 0; i < 1000 && ::GetFileAttributesW(wide(ready).c_str()) == INVALID_FILE_ATTRIBUTES; ++i) ::Sleep(10);
  ASSERT_NE(::GetFileAttributesW(wide(ready).c_str()), INVALID_FILE_ATTRIBUTES) << "the holder did not take the gate";

  auto refused = open_gate(*fs, *root);
  ASSERT_FALSE(refused);
  EXPECT_EQ(error_code_of(refused.error()), "DESKTOP_OWNER_CONFLICT");
  EXPECT_EQ(os_error_code_of(refused.error()), std::optional<std::int32_t>(ERROR_SHARING_VIOLATION));

  ASSERT_TRUE(write_whole_file(*fs, release, bytes_of("go")));
  ASSERT_EQ(::WaitForSingleObject(process.get(), 20000), WAIT_OBJECT_0);
  DWORD exit_code = 1;
  ::GetExitCodeProcess(process.get(), &exit_code);
  EXPECT_EQ(exit_code, 0u);
  EXPECT_TRUE(open_gate(*fs, *root));
}

TEST_F(Win32StateTest, ProtectedFilesOpenOnlyUnderTheirOwnName) {
  auto root = ensure_state_directory(*fs, *identity, dir);
  ASSERT_TRUE(root);
  const std::string a = root->join("aaaa.json");
  const std::string b = root->join("bbbb.json");
  const Bytes plain = bytes_of("{\"operationId\":\"x\"}");
  auto envelope = protect_data(*dpapi, a, plain, plain.size());
  ASSERT_TRUE(envelope) << envelope.error().display_chain();
  ASSERT_TRUE(write_whole_file(*fs, a, *envelope));
  ASSERT_TRUE(write_whole_file(*fs, b, *envelope));  // the same blob copied to another name

  auto read_a = read_bounded_file(*fs, a, kReceiptFileLimit);
  ASSERT_TRUE(read_a);
  auto opened = unprotect_file(*dpapi, a, *read_a, kReceiptPlaintextLimit);
  ASSERT_TRUE(opened) << opened.error().display_chain();
  EXPECT_EQ(*opened, plain);

  auto read_b = read_bounded_file(*fs, b, kReceiptFileLimit);
  ASSERT_TRUE(read_b);
  auto moved = unprotect_file(*dpapi, b, *read_b, kReceiptPlaintextLimit);
  ASSERT_FALSE(moved);
  EXPECT_EQ(error_code_of(moved.error()), "DESKTOP_STATE_PROTECTION_FAILED");

  Bytes altered = *read_a;
  altered[3] ^= 0x20;
  EXPECT_EQ(error_code_of(unprotect_file(*dpapi, a, altered, kReceiptPlaintextLimit).error()),
            "DESKTOP_STATE_PROTECTION_FAILED");
  Bytes tampered = *read_a;
  tampered.back() ^= 0x01;
  EXPECT_EQ(error_code_of(unprotect_file(*dpapi, a, tampered, kReceiptPlaintextLimit).error()),
            "DESKTOP_STATE_PROTECTION_FAILED");
}

TEST_F(Win32StateTest, RealFileOperations) {
  auto root = ensure_state_directory(*fs, *identity, dir);
  ASSERT_TRUE(root);
  const std::string request = dir + "\\request.json";
  ASSERT_TRUE(write_whole_file(*fs, request, Bytes(16384, '7')));
  EXPECT_EQ(read_bounded_file(*fs, request, kRequestFileLimit)->size(), 16384u);
  EXPECT_EQ(error_code_of(read_bounded_file(*fs, request, 16383).error()), "DESKTOP_FILE_TOO_LARGE");
  EXPECT_EQ(error_code_of(read_bounded_file(*fs, dir, kRequestFileLimit).error()), "DESKTOP_FILE_TOO_LARGE");
  auto missing = read_bounded_file(*fs, dir + "\\missing", 10);
  EXPECT_EQ(error_code_of(missing.error()), "DESKTOP_FILE_UNAVAILABLE");
  EXPECT_EQ(missing.error().os_error(), std::optional<std::uint32_t>(ERROR_FILE_NOT_FOUND));

  auto again = write_whole_file(*fs, request, bytes_of("x"));
  EXPECT_EQ(error_code_of(again.error()), "DESKTOP_STATE_WRITE_FAILED");
  EXPECT_EQ(again.error().os_error(), std::optional<std::uint32_t>(ERROR_FILE_EXISTS));

  const std::string target = root->join("t.json");
  ASSERT_TRUE(replace_file_atomically(*fs, system_clock(), target, target + ".tmp-1", bytes_of("one")));
  ASSERT_TRUE(replace_file_atomically(*fs, system_clock(), target, target + ".tmp-2", bytes_of("two")));
  EXPECT_EQ(*read_bounded_file(*fs, target, 10), bytes_of("two"));
  auto exists = create_file_atomically(*fs, target, target + ".tmp-3", bytes_of("three"));
  EXPECT_EQ(error_code_of(exists.error()), "DESKTOP_STATE_WRITE_FAILED");
  EXPECT_EQ(exists.error().os_error(), std::optional<std::uint32_t>(ERROR_ALREADY_EXISTS));
  EXPECT_FALSE(state_file_exists(*fs, target + ".tmp-3"));

  {
    // A target held open without delete sharing cannot be replaced; the
    // temporary goes away and the move's error is reported.
    UniqueFile held(::CreateFileW(wide(target).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    auto locked = replace_file_atomically(*fs, system_clock(), target, target + ".tmp-4", bytes_of("four"));
    ASSERT_FALSE(locked);
    EXPECT_EQ(error_code_of(locked.error()), "DESKTOP_STATE_WRITE_FAILED");
    EXPECT_TRUE(locked.error().os_error());
    EXPECT_FALSE(state_file_exists(*fs, target + ".tmp-4"));
  }
  EXPECT_EQ(*read_bounded_file(*fs, target, 10), bytes_of("two"));

  EXPECT_TRUE(remove_state_file(*fs, target));
  EXPECT_TRUE(remove_state_file(*fs, target));  // already gone
  EXPECT_FALSE(state_file_exists(*fs, target));

  ASSERT_TRUE(write_whole_file(*fs, root->join("a.png"), Bytes(1000, 1)));
  auto entries = fs->list(root->path());
  ASSERT_TRUE(entries);
  bool seen = false;
  for (const auto& e : *entries) seen |= (e.name == "a.png" && e.size == 1000);
  EXPECT_TRUE(seen);
  EXPECT_TRUE(check_disk_quota(*fs, *root)) << check_disk_quota(*fs, *root).error().display_chain();
}

}  // namespace
}  // namespace vor::desktop
