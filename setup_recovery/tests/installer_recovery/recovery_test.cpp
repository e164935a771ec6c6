#include "installer_recovery/recovery.h"

#include <gtest/gtest.h>

#include <functional>

#include "installer/errors.h"
#include "installer_recovery/reparse_guard.h"
#include "setup_recovery/tests/fakes.h"

namespace vor::setup {
namespace {

using testing::FakePorts;
using testing::FakeProtection;

const std::string kRoot = "C:\\Data\\Kerno";
const std::string kJournal = kRoot + "\\Setup\\transaction.dat";

TEST(ReparseGuard, RefusesLinksOnThePathAndAboveIt) {
  struct Case {
    const char* name;
    std::function<void(FakePorts&)> setup;
    std::optional<std::uint32_t> os_error;  // nullopt with ok=false: the state-invalid code
    bool ok;
  };
  const Case cases[] = {
      {"plain existing file", [](FakePorts& f) { f.files.add_file(kJournal, {}); }, std::nullopt, true},
      {"nothing exists below C:\\", [](FakePorts&) {}, std::nullopt, true},
      {"the file is a link",
       [](FakePorts& f) {
         f.files.add_file(kJournal, {});
         f.files.nodes[kJournal].extra_attributes = kFileAttributeReparsePoint;
       },
       std::nullopt, false},
      {"a junction two levels up, the file itself missing",
       [](FakePorts& f) {
         f.files.add_dir(kRoot);
         f.files.nodes[kRoot].extra_attributes = kFileAttributeReparsePoint;
       },
       std::nullopt, false},
      {"another metadata error is returned as it is",
       [](FakePorts& f) {
         f.files.add_file(kJournal, {});
         f.files.failures["metadata " + kRoot + "\\Setup"] = kErrorAccessDenied;
       },
       kErrorAccessDenied, false},
  };
  for (const Case& c : cases) {
    FakePorts f;
    c.setup(f);
    auto guarded = reject_reparse_points(f.files, kJournal);
    EXPECT_EQ(guarded.has_value(), c.ok) << c.name;
    if (guarded) continue;
    if (c.os_error) {
      EXPECT_EQ(guarded.error().os_error(), c.os_error) << c.name;
      EXPECT_EQ(guarded.error().find<Failure>(), nullptr) << c.name;
    } else {
      EXPECT_EQ(guarded.error().display_chain(), kSetupRecoveryStateInvalid) << c.name;
    }
  }
  // Every level is looked at without following links, up to the drive root.
  FakePorts f;
  ASSERT_TRUE(reject_reparse_points(f.files, kJournal));
  EXPECT_EQ(f.files.calls, (std::vector<std::string>{"metadata " + kJournal, "metadata " + kRoot + "\\Setup",
                                                     "metadata " + kRoot, "metadata C:\\Data", "metadata C:\\"}));
}

TEST(InspectJournal, SizeLimitIsChecked) {
  const std::string json =
      R"({"schema":"vor.kerno.setup-transaction/v1","transactionId":"00112233445566778899aabbccddeeff",)"
      R"("committed":true,"previousFiles":[null,null,null,null,null]})";
  const Bytes file = build_journal_frame(FakeProtection::seal(json));
  {
    FakePorts f;
    f.files.add_file(kJournal, file);
    auto journal = inspect_journal(f.ports, make_data_layout(kRoot));
    ASSERT_TRUE(journal && *journal);
    EXPECT_TRUE((*journal)->committed);
  }
  {
    // Padding inside the JSON keeps it valid; exactly 65,536 bytes pass, one more does not.
    for (const std::size_t size : {kJournalMaxBytes, kJournalMaxBytes + 1}) {
      FakePorts f;
      const std::size_t overhead = build_journal_frame(FakeProtection::seal(json)).size();
      const std::string padded = json + std::string(size - overhead, ' ');
      f.files.add_file(kJournal, build_journal_frame(FakeProtection::seal(padded)));
      ASSERT_EQ(f.files.nodes[kJournal].data.size(), size);
      auto journal = inspect_journal(f.ports, make_data_layout(kRoot));
      EXPECT_EQ(journal.has_value(), size == kJournalMaxBytes) << size;
    }
  }
  {
    FakePorts f;
    auto journal = inspect_journal(f.ports, make_data_layout(kRoot));
    ASSERT_TRUE(journal);
    EXPECT_FALSE(*journal);  // absent: nothing to read
  }
}

}  // namespace
}  // namespace vor::setup
