// The fullscreen ledger reader through the fake file system.
#include "standalone/state/fullscreen_ledger.h"

#include <gtest/gtest.h>

#include "state_fakes.h"

namespace vor::desktop {
namespace {

using testing::code_of;
using testing::FakeFileSystem;
using testing::FakeIdentity;

const std::string kRoot = "C:\\s\\VorDesktop-v1";

class LedgerTest : public ::testing::Test {
 protected:
  LedgerTest() {
    fs.add_directory("C:\\s");
    root.emplace(std::move(*ensure_state_directory(fs, identity, "C:\\s")));
  }
  void arm(const std::string& name, const std::string& text) { fs.add_file(kRoot + "\\" + name, text); }
  static std::string doc(const std::string& ids) {
    return R"({"schemaVersion":"vor.marionet-fullscreen/v1","operationIds":[)" + ids + "]}";
  }
  FakeFileSystem fs;
  FakeIdentity identity;
  std::optional<StateRoot> root;
};

TEST_F(LedgerTest, MergesEveryArmFileIntoOneOrderedSet) {
  arm("b.arm", doc(R"("op-2","op_1")"));
  arm("a.arm", R"({"operationIds":["op-2","Z9"],"note":"kept apart","schemaVersion":"vor.marionet-fullscreen/v1"})");
  arm("c.ARM", "not a ledger");  // the extension is compared exactly
  arm("d.arm.bak", "not a ledger");
  arm("e.json.tmp", "not a ledger");
  auto ledger = read_fullscreen_ledger(fs, *root);
  ASSERT_TRUE(ledger) << ledger.error().display_chain();
  EXPECT_EQ(*ledger, (FullscreenLedger{"Z9", "op-2", "op_1"}));
  EXPECT_TRUE(check_operation_not_consumed(*ledger, "op-3"));
  auto consumed = check_operation_not_consumed(*ledger, "op-2");
  ASSERT_FALSE(consumed);
  EXPECT_EQ(code_of(consumed.error()), "DESKTOP_FULLSCREEN_OPERATION_CONSUMED");
  EXPECT_TRUE(check_operation_not_consumed(FullscreenLedger{}, "op-2"));
}

TEST_F(LedgerTest, InvalidLedgerFiles) {
  const std::string id160(160, 'a');
  const std::string cases[] = {
      doc(R"("1","2","3","4","5","6","7","8","9")"),                               // nine ids
      doc(R"("op.1")"),                                                            // '.'
      doc(R"("")"),                                                                // empty id
      doc("\"" + id160 + "a\""),                                                   // 161 characters
      doc("1"),                                                                    // not a string
      R"({"schemaVersion":"vor.marionet-fullscreen/v2","operationIds":[]})",
      R"({"schemaVersion":1,"operationIds":[]})",
      R"({"operationIds":[]})",
      R"({"schemaVersion":"vor.marionet-fullscreen/v1"})",
      R"({"schemaVersion":"vor.marionet-fullscreen/v1","operationIds":"op"})",
      R"({"schemaVersion":"vor.marionet-fullscreen/v1","operationIds":[],"operationIds":[]})",
      R"(["vor.marionet-fullscreen/v1"])",
      "{not json",
      "",
  };
  for (const std::string& text : cases) {
    FakeFileSystem local;
    local.add_directory("C:\\s");
    auto r = ensure_state_directory(local, identity, "C:\\s");
    local.add_file(kRoot + "\\x.arm", text);
    auto ledger = read_fullscreen_ledger(local, *r);
    ASSERT_FALSE(ledger) << text;
    EXPECT_EQ(code_of(ledger.error()), "DESKTOP_STATE_INVALID") << text;
  }
  arm("ok.arm", doc("\"" + id160 + "\",\"2\",\"3\",\"4\",\"5\",\"6\",\"7\",\"8\""));
  auto ledger = read_fullscreen_ledger(fs, *root);
  ASSERT_TRUE(ledger);
  EXPECT_EQ(ledger->size(), 8u);
}

TEST_F(LedgerTest, FileAndCountLimits) {
  for (int i = 0; i < 32; ++i) {
    const std::string n = std::to_string(i);
    arm(std::string("f").append(n).append(".arm"), doc(std::string("\"id").append(n).append("\"")));
  }
  auto full = read_fullscreen_ledger(fs, *root);
  ASSERT_TRUE(full);
  EXPECT_EQ(full->size(), 32u);
  arm("g.arm", doc(""));
  auto over = read_fullscreen_ledger(fs, *root);
  ASSERT_FALSE(over);
  EXPECT_EQ(code_of(over.error()), "DESKTOP_FULLSCREEN_RECEIPT_QUOTA");
}

TEST_F(LedgerTest, OversizedFileAndListingFailure) {
  const std::string body = doc("\"a\"");
  std::string padded = std::string(16385 - body.size(), ' ') + body;  // leading whitespace is allowed
  ASSERT_EQ(padded.size(), 16385u);
  arm("big.arm", padded);
  auto big = read_fullscreen_ledger(fs, *root);
  ASSERT_FALSE(big);
  EXPECT_EQ(code_of(big.error()), "DESKTOP_FILE_TOO_LARGE");
  padded = padded.substr(1);
  fs.add_file(kRoot + "\\big.arm", padded);
  EXPECT_TRUE(read_fullscreen_ledger(fs, *root));

  fs.list_error = 5;
  auto listing = read_fullscreen_ledger(fs, *root);
  ASSERT_FALSE(listing);
  EXPECT_EQ(code_of(listing.error()), "DESKTOP_OPERATION_FAILED");
}

}  // namespace
}  // namespace vor::desktop
