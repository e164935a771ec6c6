// The Win32 adapters against the real (Wine) system: files, DPAPI,
// processes, standard output; the lock and journal rules on top of them.
// Every case works in a fresh folder under C:\vor-setup-tests (Wine reports
// Z:\ paths as reparse points, so tests stay on C:).
#include <windows.h>

#include <gtest/gtest.h>

#include <thread>

#include "bin/entry.h"
#include "common/crypto.h"
#include "common/data_protection.h"
#include "common/handle_win32.h"
#include "common/text.h"
#include "installer/component_update_lock.h"
#include "installer/data_layout.h"
#include "installer/errors.h"
#include "installer/files.h"
#include "installer/journal.h"
#include "installer/paths.h"
#include "installer/child_process.h"
#include "installer/scm.h"
#include "installer/ticker.h"

namespace vor::setup {
namespace {

Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

const std::string kJournalJson =
    R"({"schema":"vor.kerno.setup-transaction/v1","transactionId":"00112233445566778899aabbccddeeff",)"
    R"("committed":false,"previousFiles":[null,null,null,null,null],"agent":null,"guardian":null})";

std::wstring wide(const std::string& s) { return *to_wide(s); }

class Win32Test : public ::testing::Test {
 protected:
  void SetUp() override {
    ::CreateDirectoryW(L"C:\\vor-setup-tests", nullptr);
    root = "C:\\vor-setup-tests\\" + *uuid_v4_hex() + "\\Kerno";
  }

  void write_raw(const std::string& path, const Bytes& data) {
    ASSERT_TRUE(create_directories(*files, *parent(path)));
    UniqueFile f(::CreateFileW(wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(f.valid());
    DWORD written = 0;
    ASSERT_TRUE(::WriteFile(f.get(), data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
  }
  Bytes read_raw(const std::string& path) { return *files->read_file(path, 1 << 20); }
  bool exists(const std::string& path) { return ::GetFileAttributesW(wide(path).c_str()) != INVALID_FILE_ATTRIBUTES; }
  std::vector<std::string> list(const std::string& dir) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW data;
    HANDLE h = ::FindFirstFileW(wide(dir + "\\*").c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return names;
    do {
      const std::string name = *from_wide(data.cFileName);
      if (name != "." && name != "..") names.push_back(name);
    } while (::FindNextFileW(h, &data));
    ::FindClose(h);
    return names;
  }

  // This test program again, sleeping in the disabled helper test below.
  UniqueHandle start_helper(DWORD& pid) {
    wchar_t exe[MAX_PATH];
    ::GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(exe) +
                        L"\" --gtest_also_run_disabled_tests --gtest_filter=DISABLED_LockHolderHelper.Sleeps";
    STARTUPINFOW si{sizeof si};
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(exe, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi)) {
      return UniqueHandle();
    }
    ::CloseHandle(pi.hThread);
    pid = pi.dwProcessId;
    return UniqueHandle(pi.hProcess);
  }

  std::unique_ptr<FileSystem> files = make_win32_file_system();
  std::unique_ptr<ProcessSys> processes = make_win32_process_sys();
  std::unique_ptr<Clock> clock = make_win32_clock();
  std::unique_ptr<IdSource> ids = make_system_id_source();
  std::unique_ptr<DataProtection> protection = make_win32_data_protection();
  SetupPorts ports{*files, *processes, *clock, *ids, *protection};
  std::unique_ptr<Scm> scm = make_win32_scm();
  std::unique_ptr<Ticker> ticker = make_steady_ticker();
  std::unique_ptr<ChildLauncher> launcher = make_win32_child_launcher();
  SupervisedChildRunner children{*launcher, *ticker};
  std::string root;
};

TEST(DISABLED_LockHolderHelper, Sleeps) { ::Sleep(60000); }

TEST_F(Win32Test, FileAdapterReportsRawFacts) {
  ASSERT_TRUE(create_directories(*files, root + "\\a\\b"));
  EXPECT_TRUE(create_directories(*files, root + "\\a\\b"));  // existing: fine
  const std::string path = root + "\\a\\b\\f.bin";
  {
    auto f = files->create_new(path, FileShare::kRead);
    ASSERT_TRUE(f);
    ASSERT_TRUE((*f)->write_all(bytes_of("0123456789")));
    ASSERT_TRUE((*f)->flush());
    // Held without write or delete sharing: a second writer and a deleter are refused.
    UniqueFile other(::CreateFileW(wide(path).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                   OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(other.valid());
    EXPECT_EQ(files->delete_file(path).error().os_error(), static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
    // Readers are fine, and the read is bounded.
    EXPECT_EQ(*files->read_file(path, 4), bytes_of("0123"));
  }
  EXPECT_EQ(files->create_new(path, FileShare::kRead).error().os_error(), kErrorFileExists);
  EXPECT_EQ(*files->read_file(path, 100), bytes_of("0123456789"));

  auto meta = files->metadata(path, true);
  ASSERT_TRUE(meta);
  EXPECT_EQ(meta->size, 10u);
  EXPECT_EQ(meta->attributes & kFileAttributeDirectory, 0u);
  const std::uint64_t now = clock->now_filetime();
  EXPECT_LE(meta->last_write, now);
  EXPECT_GT(meta->last_write, now - 600ull * 10'000'000);
  EXPECT_NE(files->metadata(root + "\\a", false)->attributes & kFileAttributeDirectory, 0u);
  EXPECT_EQ(files->metadata(root + "\\missing", false).error().os_error(), kErrorFileNotFound);
  EXPECT_EQ(files->metadata(root + "\\missing\\x", false).error().os_error(), kErrorPathNotFound);

  ASSERT_TRUE(write_file_atomically(*files, *ids, path, bytes_of("new")));
  EXPECT_EQ(read_raw(path), bytes_of("new"));
  EXPECT_EQ(list(root + "\\a\\b"), std::vector<std::string>{"f.bin"});
  ASSERT_TRUE(files->delete_file(path));
  EXPECT_EQ(files->delete_file(path).error().os_error(), kErrorFileNotFound);
}

TEST_F(Win32Test, FailedReplaceLeavesTheOldTargetAndNoTemporaryFile) {
  // A directory as the target cannot be replaced by a file.
  const std::string target = root + "\\Setup\\last-recovery.json";
  ASSERT_TRUE(create_directories(*files, target));
  auto written = write_file_atomically(*files, *ids, target, bytes_of("x"));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().outermost(), "atomically replace protected state");
  EXPECT_EQ(written.error().os_error(), static_cast<std::uint32_t>(ERROR_ACCESS_DENIED));
  EXPECT_EQ(list(root + "\\Setup"), std::vector<std::string>{"last-recovery.json"});
}

TEST_F(Win32Test, JournalSealedHereIsReadAndATamperedOneRefused) {
  const std::string path = journal_path(root);
  Bytes plain = bytes_of(kJournalJson);
  auto blob = protection->protect(plain, {}, DataProtection::kUiForbidden | DataProtection::kLocalMachine);
  ASSERT_TRUE(blob) << blob.error().display_chain();
  write_raw(path, build_journal_frame(*blob));

  auto journal = read_protected_journal(*files, *protection, path);
  ASSERT_TRUE(journal) << journal.error().display_chain();
  EXPECT_EQ(encode_journal(*journal), kJournalJson);

  Bytes tampered = build_journal_frame(*blob);
  tampered[tampered.size() / 2] ^= 0x40;
  write_raw(path, tampered);
  auto refused = read_protected_journal(*files, *protection, path);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display_chain(), kSetupRecoveryStateInvalid);
  EXPECT_EQ(refused.error().os_error(), std::nullopt);

  // The commit rewrites it, protected again, and it reads back committed.
  ASSERT_TRUE(commit_journal(ports, root, *journal));
  auto committed = read_protected_journal(*files, *protection, path);
  ASSERT_TRUE(committed);
  EXPECT_TRUE(committed->committed);
  EXPECT_EQ(list(root + "\\Setup"), std::vector<std::string>{"transaction.dat"});
}

TEST_F(Win32Test, LockIsTakenHeldAndReleased) {
  const DataLayout layout = *build_data_layout(*files, root);
  auto lock = acquire_component_update_lock(ports, layout);
  ASSERT_TRUE(lock) << lock.error().display_chain();
  auto record = read_component_update_lock_record(*files, lock_path(root));
  ASSERT_TRUE(record);
  EXPECT_EQ(record->lock_id, lock->lock_id());
  EXPECT_EQ(record->owner, "installer");
  EXPECT_EQ(record->process_id, ::GetCurrentProcessId());
  // A second taker in this process sees our own pid: stale by the own-pid rule, but the
  // held file cannot be moved aside, so the quarantine fails and our lock stays.
  auto second = acquire_component_update_lock(ports, layout);
  ASSERT_FALSE(second);
  EXPECT_EQ(second.error().outermost(), "quarantine stale component update lock " + lock_path(root));
  EXPECT_EQ(second.error().os_error(), static_cast<std::uint32_t>(ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(exists(lock_path(root)));

  release_component_update_lock(*files, *lock);
  EXPECT_FALSE(exists(lock_path(root)));
}

TEST_F(Win32Test, LockOfALiveHelperIsRefusedAndADeadOnesIsQuarantined) {
  const DataLayout layout = *build_data_layout(*files, root);
  DWORD pid = 0;
  UniqueHandle helper = start_helper(pid);
  ASSERT_TRUE(helper.valid());
  const std::string record = R"({"lockId":"0123456789abcdef0123456789abcdef","owner":"installer","processId":)" +
                             std::to_string(pid) + R"(,"acquiredAt":"2026-01-02T03:04:05.5Z"})";
  write_raw(lock_path(root), bytes_of(record));

  auto refused = acquire_component_update_lock(ports, layout);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display_chain(), "another component update is active: owner=installer, pid=" +
                                                 std::to_string(pid) + ", acquiredAt=2026-01-02 03:04:05.500 UTC");
  EXPECT_EQ(list(state_dir(root)), (std::vector<std::string>{"CloudOutbox", "component-update.lock"}));

  // The helper ends; once its process object is gone, its pid no longer opens.
  ::TerminateProcess(helper.get(), 1);
  ::WaitForSingleObject(helper.get(), 10000);
  helper.reset();
  // Wine keeps an ended process openable for about half a second after its last handle closed.
  Status opened;
  for (int i = 0; i < 200 && opened; ++i) {
    ::Sleep(50);
    opened = processes->open_process_query_limited(pid);
  }
  ASSERT_FALSE(opened);
  ASSERT_EQ(opened.error().os_error(), kErrorInvalidParameter);
  auto taken = acquire_component_update_lock(ports, layout);
  ASSERT_TRUE(taken) << taken.error().display_chain();
  std::vector<std::string> names = list(state_dir(root));
  ASSERT_EQ(names.size(), 3u);
  std::string quarantined;
  for (const auto& n : names) {
    if (n.rfind("component-update.stale-", 0) == 0) quarantined = n;
  }
  ASSERT_EQ(quarantined.size(), std::string("component-update.stale-").size() + 32) << quarantined;
  EXPECT_EQ(read_raw(join(state_dir(root), quarantined)), bytes_of(record));
  release_component_update_lock(*files, *taken);
}

TEST_F(Win32Test, UnreadableLockFileIsJudgedByItsLastWriteTime) {
  const DataLayout layout = *build_data_layout(*files, root);
  write_raw(lock_path(root), bytes_of("not a record"));
  auto refused = acquire_component_update_lock(ports, layout);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().display_chain(), "another component update is active");

  // Age the file by 1801 seconds.
  UniqueFile f(::CreateFileW(wide(lock_path(root)).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(f.valid());
  const std::uint64_t old = clock->now_filetime() - 18'010'000'000ull - 10'000'000ull;
  FILETIME ft{static_cast<DWORD>(old), static_cast<DWORD>(old >> 32)};
  ASSERT_TRUE(::SetFileTime(f.get(), nullptr, nullptr, &ft));
  f.reset();
  auto taken = acquire_component_update_lock(ports, layout);
  ASSERT_TRUE(taken) << taken.error().display_chain();
  release_component_update_lock(*files, *taken);
}

TEST_F(Win32Test, EntryWithRealPortsWritesTheReport) {
  struct Case {
    const char* name;
    bool tamper;
    const char* report;
  };
  // With a valid journal the run rolls back and cleans up, then cannot start the
  // task tool, which this case leaves out of the Windows directory it names.
  for (const Case c : {Case{"valid journal: no task tool (no System32: 3)", false, R"({"code":"SETUP_CHILD_START_FAILED","win32Code":3})"},
                       Case{"tampered journal", true, R"({"code":"SETUP_RECOVERY_STATE_INVALID"})"}}) {
    SetUp();
    Bytes plain = bytes_of(kJournalJson);
    Bytes file = build_journal_frame(*protection->protect(plain, {}, DataProtection::kUiForbidden | DataProtection::kLocalMachine));
    if (c.tamper) file.back() ^= 1;
    write_raw(journal_path(root), file);
    auto out = make_win32_std_output(nullptr);
    RecoveryContext context{ports, *scm, *ticker, children, root + "\\NoWindows"};
    ProgramEnvironment env{context, root, "C:\\vor-setup-tests\\client"};
    EXPECT_EQ(setup_recovery_main(u"x.exe --recover", *out, env), kExitFailure) << c.name;
    const Bytes report = read_raw(failure_report_path(root));
    EXPECT_EQ(std::string(report.begin(), report.end()), c.report) << c.name;
    EXPECT_FALSE(exists(lock_path(root))) << c.name;
    EXPECT_EQ(exists(journal_path(root)), c.tamper) << c.name;  // removed before the task step
  }
}

TEST_F(Win32Test, VersionGoesToTheGivenHandleOnly) {
  HANDLE read_end = nullptr, write_end = nullptr;
  ASSERT_TRUE(::CreatePipe(&read_end, &write_end, nullptr, 0));
  UniqueHandle reader(read_end), writer(write_end);
  auto out = make_win32_std_output(writer.get());
  RecoveryContext context{ports, *scm, *ticker, children, std::nullopt};
  ProgramEnvironment env{context, root};
  EXPECT_EQ(setup_recovery_main(u"x.exe --version", *out, env), kExitSuccess);
  writer.reset();
  char buf[128];
  DWORD got = 0;
  ASSERT_TRUE(::ReadFile(reader.get(), buf, sizeof buf, &got, nullptr));
  EXPECT_EQ(std::string(buf, got), "Vor Kerno Setup Recovery 0.5.0-preview.9\n");
  EXPECT_FALSE(exists(root));

  // A closed reader: the write fails and the exit code says so.
  HANDLE r2 = nullptr, w2 = nullptr;
  ASSERT_TRUE(::CreatePipe(&r2, &w2, nullptr, 0));
  ::CloseHandle(r2);
  UniqueHandle broken(w2);
  auto broken_out = make_win32_std_output(broken.get());
  EXPECT_EQ(setup_recovery_main(u"x.exe --version", *broken_out, env), kExitFailure);
}

}  // namespace
}  // namespace vor::setup
