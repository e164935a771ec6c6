// Receipts, images and the maintenance pass on Wine's real files and DPAPI.
#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "common/crypto.h"
#include "common/data_protection.h"
#include "common/text.h"
#include "receipt_fixtures.h"
#include "standalone/cli/error_codes.h"
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
  ASSERT_TRUE(maintain_state_directory(ctx, *root, now + 59s, false));
  EXPECT_EQ(read_protected_image(ctx, *root, "cap-1", *image).value(), png);
  EXPECT_TRUE(check_disk_quota(*fs, *root));
  ASSERT_TRUE(maintain_state_directory(ctx, *root, now + 60s, false));
  EXPECT_FALSE(state_file_exists(*fs, state_file_path(*root, "cap-1", "image").value()));
  ASSERT_TRUE(open_state_store(ctx, *root, false));
  ASSERT_TRUE(maintain_state_directory(ctx, *root, now + 86400s, false));
  EXPECT_FALSE(state_file_exists(*fs, state_file_path(*root, "cap-1", "json").value()));
}

}  // namespace
}  // namespace vor::desktop
