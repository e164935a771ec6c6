// Receipts, images and the maintenance pass on Wine's real files and DPAPI.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "common/crypto.h"
#include "common/data_protection.h"
#include "common/handle_win32.h"
#include "common/text.h"
#include "native/process_sys_win32.h"
#include "receipt_fixtures.h"
#include "standalone/cli/error_codes.h"
#include "standalone/cli/operation_status.h"
#include "standalone/state/image_store.h"
#include "standalone/state/receipt.h"
#include "standalone/state/state_maintenance.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;

class Win32ReceiptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::CreateDirectoryW(L"C:\\vor-state-tests", nullptr);
    dir = "C:\\vor-state-tests\\" + *uuid_v4_hex();
    ASSERT_TRUE(::CreateDirectoryW(to_wide(dir)->c_str(), nullptr));
    auto made = ensure_state_directory(*fs, *identity, dir);
    ASSERT_TRUE(made) << made.error().display_chain();
    root.emplace(std::move(*made));
  }
  void TearDown() override {
    root.reset();
    std::error_code ignored;
    std::filesystem::remove_all(std::filesystem::path(*to_wide(dir)), ignored);
  }

  std::unique_ptr<FileSystem> fs = make_win32_file_system();
  std::unique_ptr<CallerIdentity> identity = make_win32_caller_identity();
  std::unique_ptr<DataProtection> dpapi = make_win32_data_protection();
  Clock* clock = &system_clock();
  StateContext ctx = make_state_context(*fs, *dpapi, *clock);
  std::unique_ptr<ProcSys> processes = make_win32_proc_sys();
  std::string dir;
  std::optional<StateRoot> root;
};

TEST_F(Win32ReceiptTest, WrittenLoadedListedAndBoundToTheirNames) {
  Receipt r = testing::sample_receipt("op-1");
  ASSERT_TRUE(write_receipt(ctx, *root, r, true));
  EXPECT_EQ(error_code_of(write_receipt(ctx, *root, r, true).error()), "DESKTOP_STATE_WRITE_FAILED");
  r.phase = ReceiptPhase::kFinished;
  r.finished_at = testing::kEpoch + 1s;
  r.result = testing::sample_response("op-1");
  ASSERT_TRUE(write_receipt(ctx, *root, r, false));
  auto loaded = load_operation_receipt(ctx, *root, "op-1");
  ASSERT_TRUE(loaded) << loaded.error().display_chain();
  EXPECT_EQ(loaded->result, redact_response_for_receipt(*r.result));
  auto all = load_receipts(ctx, *root);
  ASSERT_TRUE(all);
  EXPECT_EQ(all->size(), 1u);

  // The same protected file under another operation's name does not open.
  const std::string one = state_file_path(*root, "op-1", "json").value();
  const std::string two = state_file_path(*root, "op-2", "json").value();
  ASSERT_TRUE(::CopyFileW(to_wide(one)->c_str(), to_wide(two)->c_str(), TRUE));
  auto moved = load_operation_receipt(ctx, *root, "op-2");
  ASSERT_FALSE(moved);
  EXPECT_EQ(error_code_of(moved.error()), "DESKTOP_STATE_PROTECTION_FAILED");
}

TEST_F(Win32ReceiptTest, ImageLeaseAndMaintenance) {
  Bytes png(4000, 0x42);
  const std::uint8_t signature[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  std::copy(std::begin(signature), std::end(signature), png.begin());
  const Time now = clock->utc_now();
  auto image = store_protected_image(ctx, *root, "cap-1", png, now);
  ASSERT_TRUE(image) << image.error().display_chain();
  Receipt r = testing::sample_receipt("cap-1");
  r.mutating = false;
  r.phase = ReceiptPhase::kFinished;
  r.finished_at = now;
  r.image = *image;
  ASSERT_TRUE(write_receipt(ctx, *root, r, true));
  ASSERT_TRUE(maintain_state_directory(ctx, *processes, *root, now + 59s, false));
  EXPECT_EQ(read_protected_image(ctx, *root, "cap-1", *image).value(), png);
  EXPECT_TRUE(check_disk_quota(*fs, *root));
  ASSERT_TRUE(maintain_state_directory(ctx, *processes, *root, now + 60s, false));
  EXPECT_FALSE(state_file_exists(*fs, state_file_path(*root, "cap-1", "image").value()));
  ASSERT_TRUE(open_state_store(ctx, *processes, *root, false));
  ASSERT_TRUE(maintain_state_directory(ctx, *processes, *root, now + 86400s, false));
  EXPECT_FALSE(state_file_exists(*fs, state_file_path(*root, "cap-1", "json").value()));
}

// Names are found in any case, so an image listed as "<HASH>.image" is the
// one its receipt names "<hash>.image" and stays for its lease.
TEST_F(Win32ReceiptTest, ImageListedInAnotherCaseIsKeptForItsLease) {
  Bytes png(3000, 0x17);
  const std::uint8_t signature[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  std::copy(std::begin(signature), std::end(signature), png.begin());
  const Time now = clock->utc_now();
  auto image = store_protected_image(ctx, *root, "cap-1", png, now);
  ASSERT_TRUE(image) << image.error().display_chain();
  Receipt r = testing::sample_receipt("cap-1");
  r.image = *image;
  ASSERT_TRUE(write_receipt(ctx, *root, r, true));
  std::string upper = image->file_name;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  upper.replace(upper.size() - 6, 6, ".image");
  // Made anew under that spelling: under Wine a rename that only changes
  // case keeps the old spelling.
  const std::string lower_path = root->join(image->file_name);
  const Bytes envelope = read_bounded_file(*fs, lower_path, kImageFileLimit).value();
  ASSERT_TRUE(remove_state_file(*fs, lower_path));
  ASSERT_TRUE(write_whole_file(*fs, root->join(upper), envelope));
  bool listed = false;
  const auto entries = fs->list(root->path());
  ASSERT_TRUE(entries);
  for (const DirectoryEntry& entry : *entries) listed |= entry.name == upper;
  ASSERT_TRUE(listed) << "the listing does not show the upper-case spelling";

  ASSERT_TRUE(maintain_state_directory(ctx, *processes, *root, now + 1s, false));
  auto back = read_protected_image(ctx, *root, "cap-1", *image);
  ASSERT_TRUE(back) << back.error().display_chain();
  EXPECT_EQ(*back, png);
}

// Starts state_slow_reader on `file` and returns once it holds the file open
// in the middle of its bounded read; `out` receives what it read.
UniqueHandle start_slow_reader(const std::string& file, DWORD hold_ms, const std::string& ready, const std::string& out) {
  wchar_t self[MAX_PATH];
  if (::GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return {};
  const std::filesystem::path helper = std::filesystem::path(self).parent_path() / L"state_slow_reader.exe";
  std::wstring command = L"\"" + helper.wstring() + L"\" " + *to_wide(file) + L" " + std::to_wstring(hold_ms) + L" " +
                         *to_wide(ready) + L" " + *to_wide(out);
  STARTUPINFOW si{sizeof(si)};
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(helper.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return {};
  ::CloseHandle(pi.hThread);
  UniqueHandle process(pi.hProcess);
  for (int i = 0; i < 1000 && ::GetFileAttributesW(to_wide(ready)->c_str()) == INVALID_FILE_ATTRIBUTES; ++i) ::Sleep(10);
  return process;
}

// `status` reads without the gate. A reader in another process holding a
// receipt or an image open must not make the gate holder's replacement or
// removal fail, and it goes on reading the file it opened.
TEST_F(Win32ReceiptTest, ReaderInAnotherProcessBreaksNoWrite) {
  struct Case {
    const char* name;
    const char* extension;  // of the file being read
    DWORD hold_ms;          // shorter than the replace's wait, for the replace
  } cases[] = {{"receipt replaced while read", "json", 300}, {"image removed while read", "image", 3000}};
  int n = 0;
  for (const Case& c : cases) {
    const std::string id = "op-" + std::to_string(++n);
    Bytes png(2000, 0x42);
    const std::uint8_t signature[] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
    std::copy(std::begin(signature), std::end(signature), png.begin());
    Receipt running = testing::sample_receipt(id);
    running.image = store_protected_image(ctx, *root, id, png, clock->utc_now()).value();
    ASSERT_TRUE(write_receipt(ctx, *root, running, true));
    const std::string file = state_file_path(*root, id, c.extension).value();
    const Bytes before = read_bounded_file(*fs, file, kImageFileLimit).value();
    const std::string ready = dir + "\\ready-" + id;
    const std::string out = dir + "\\out-" + id;

    UniqueHandle reader = start_slow_reader(file, c.hold_ms, ready, out);
    ASSERT_TRUE(reader) << c.name;
    ASSERT_NE(::GetFileAttributesW(to_wide(ready)->c_str()), INVALID_FILE_ATTRIBUTES) << c.name << ": reader not ready";
    ASSERT_EQ(::WaitForSingleObject(reader.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT)) << c.name;

    Receipt finished = running;
    finished.phase = ReceiptPhase::kFinished;
    finished.finished_at = clock->utc_now();
    if (std::string_view(c.extension) == "json") {
      auto replaced = write_receipt(ctx, *root, finished, false);
      ASSERT_TRUE(replaced) << c.name << ": " << replaced.error().display_chain();
    } else {
      auto removed = remove_state_file(*fs, file);
      ASSERT_TRUE(removed) << c.name << ": " << removed.error().display_chain();
      EXPECT_EQ(::WaitForSingleObject(reader.get(), 0), static_cast<DWORD>(WAIT_TIMEOUT))
          << c.name << ": removed only after the reader was done";
    }

    ASSERT_EQ(::WaitForSingleObject(reader.get(), 20000), static_cast<DWORD>(WAIT_OBJECT_0)) << c.name;
    DWORD exit_code = 1;
    ::GetExitCodeProcess(reader.get(), &exit_code);
    EXPECT_EQ(exit_code, 0u) << c.name;
    EXPECT_EQ(read_bounded_file(*fs, out, kImageFileLimit).value(), before) << c.name << ": the reader saw the old file";
    if (std::string_view(c.extension) == "json") {
      EXPECT_EQ(load_operation_receipt(ctx, *root, id).value(), finished) << c.name;
    } else {
      EXPECT_FALSE(state_file_exists(*fs, file)) << c.name;
    }
  }
}

// A leftover temporary goes a day after its last write as the directory
// listing reports it.
TEST_F(Win32ReceiptTest, LeftoverTemporaryAgesByItsListedWriteTime) {
  const std::string leftover = root->join(std::string(64, 'c') + ".tmp-" + std::string(32, '5'));
  ASSERT_TRUE(write_whole_file(*fs, leftover, testing::bytes_of("{\"partial\":")));
  const Time now = clock->utc_now();
  ASSERT_TRUE(maintain_state_directory(ctx, *processes, *root, now + 23h, false));
  ASSERT_TRUE(state_file_exists(*fs, leftover));
  EXPECT_TRUE(has_protected_header(read_bounded_file(*fs, leftover, kReceiptFileLimit).value()));
  ASSERT_TRUE(maintain_state_directory(ctx, *processes, *root, now + 25h, false));
  EXPECT_FALSE(state_file_exists(*fs, leftover));
}

}  // namespace
}  // namespace vor::desktop
