// The owner record over the state store's files: written, replaced, read
// back and deleted through the same rules as every state file.
#include "session/owner_files.h"

#include <gtest/gtest.h>

#include "standalone/cli/error_codes.h"
#include "standalone/state_fakes.h"

namespace vor::desktop {
namespace {

using testing::FakeFileSystem;

const std::string kRoot = "C:\\s\\VorDesktop-v1";
const std::string kRecord = kRoot + "\\session.owner";

Owner owner(std::uint32_t pid) { return Owner{1, std::string(32, 'a'), pid, 7, 1, "S-1-5-21-1-2-3-1000"}; }

class OwnerFiles : public ::testing::Test {
 protected:
  OwnerFiles() {
    fs.add_directory("C:\\s");
    fs.add_directory(kRoot);
  }
  FakeFileSystem fs;
  StateOwnerFiles files{fs};
};

TEST_F(OwnerFiles, ARecordIsReplacedWholeAndReadBackUntilDeleted) {
  ASSERT_TRUE(write_session_owner(files, kRoot, owner(10)));
  ASSERT_TRUE(write_session_owner(files, kRoot, owner(11)));
  EXPECT_EQ(fs.text(kRecord), encode_owner(owner(11)));
  EXPECT_EQ(fs.names(kRoot), (std::vector<std::string>{"session.owner"}));  // no temporary left
  auto read = read_session_owner(files, kRoot);
  ASSERT_TRUE(read) << read.error().display_chain();
  EXPECT_EQ(*read, owner(11));
  ASSERT_TRUE(delete_session_owner(files, kRoot));
  auto gone = read_session_owner(files, kRoot);
  ASSERT_FALSE(gone);
  EXPECT_EQ(error_code_of(gone.error()), "DESKTOP_SESSION_NOT_RUNNING");
  EXPECT_TRUE(delete_session_owner(files, kRoot));  // already gone
}

TEST_F(OwnerFiles, FailuresKeepTheStateStoresCodes) {
  fs.add_file(kRecord, std::string(4097, ' '));
  auto large = read_session_owner(files, kRoot);
  ASSERT_FALSE(large);
  EXPECT_EQ(error_code_of(large.error()), "DESKTOP_FILE_TOO_LARGE");

  fs.open_errors[kRecord] = 5;
  auto unreadable = read_session_owner(files, kRoot);
  ASSERT_FALSE(unreadable);
  EXPECT_EQ(error_code_of(unreadable.error()), "DESKTOP_FILE_UNAVAILABLE");
  EXPECT_EQ(unreadable.error().os_error(), 5u);
  fs.open_errors.clear();

  fs.remove_errors_[kRecord] = 32;
  auto held = delete_session_owner(files, kRoot);
  ASSERT_FALSE(held);
  EXPECT_EQ(error_code_of(held.error()), "DESKTOP_STATE_WRITE_FAILED");
  EXPECT_EQ(held.error().os_error(), 32u);

  fs.move_error = 5;
  auto unwritten = write_session_owner(files, kRoot, owner(12));
  ASSERT_FALSE(unwritten);
  EXPECT_EQ(error_code_of(unwritten.error()), "DESKTOP_STATE_WRITE_FAILED");
  EXPECT_EQ(fs.names(kRoot), (std::vector<std::string>{"session.owner"}));  // the temporary was removed

  fs.make_reparse("C:\\s");
  auto unsafe = read_session_owner(files, kRoot);
  ASSERT_FALSE(unsafe);
  EXPECT_EQ(error_code_of(unsafe.error()), "DESKTOP_STATE_UNSAFE");
}

}  // namespace
}  // namespace vor::desktop
