#include "installer/files.h"

#include <gtest/gtest.h>

#include "setup_recovery/tests/fakes.h"
#include "common/crypto.h"
#include "installer/data_layout.h"
#include "common/crypto.h"

namespace vor::setup {
namespace {

using testing::bytes_of;
using testing::FakePorts;

const std::string kTarget = "C:\\Root\\Setup\\last-recovery.json";
const std::string kTemp = "C:\\Root\\Setup\\.state-00000000000000000000000000000001.tmp";

TEST(Sha256Stream, PiecesGiveTheDigestOfTheWhole) {
  // FIPS 180-2 "abc", and a text fed in uneven pieces across the 64-byte block size.
  auto abc = Sha256Stream::create();
  ASSERT_TRUE(abc);
  ASSERT_TRUE((*abc)->update(bytes_of("ab")));
  ASSERT_TRUE((*abc)->update(bytes_of("c")));
  EXPECT_EQ(to_hex(*(*abc)->finish()), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  std::string text;
  for (int i = 0; i < 1000; ++i) text += static_cast<char>('a' + i % 26);
  auto pieces = Sha256Stream::create();
  for (std::size_t at = 0, step = 1; at < text.size(); at += step, step = step * 2 + 1) {
    ASSERT_TRUE((*pieces)->update(bytes_of(text.substr(at, step))));
  }
  EXPECT_EQ(*(*pieces)->finish(), *sha256(text));
  auto empty = Sha256Stream::create();
  EXPECT_EQ(*(*empty)->finish(), *sha256(std::string()));
}

TEST(CreateDirectories, MakesMissingParentsAndAcceptsExistingOnes) {
  FakePorts f;
  f.files.add_dir("C:\\Root");
  ASSERT_TRUE(create_directories(f.files, "C:\\Root\\a\\b\\c"));
  EXPECT_TRUE(f.files.nodes.at("C:\\Root\\a\\b\\c").directory);
  EXPECT_TRUE(create_directories(f.files, "C:\\Root\\a\\b"));
}

TEST(CreateDirectories, AFileInTheWayAndScriptedFailuresKeepTheOsError) {
  FakePorts f;
  f.files.add_file("C:\\Root\\a", bytes_of("file"));
  auto blocked = create_directories(f.files, "C:\\Root\\a");
  ASSERT_FALSE(blocked);
  EXPECT_EQ(blocked.error().os_error(), kErrorAlreadyExists);

  f.files.failures["create_directory C:\\Root\\x"] = kErrorAccessDenied;
  auto denied = create_directories(f.files, "C:\\Root\\x\\y");
  ASSERT_FALSE(denied);
  EXPECT_EQ(denied.error().os_error(), kErrorAccessDenied);
}

TEST(BuildDataLayout, CreatesRootLogsAndCloudOutboxInOrder) {
  FakePorts f;
  ASSERT_TRUE(build_data_layout(f.files, "C:\\Root"));
  std::vector<std::string> made;
  for (const auto& call : f.files.calls) {
    if (call.rfind("create_directory ", 0) == 0 && f.files.exists(call.substr(17))) made.push_back(call.substr(17));
  }
  const std::vector<std::string> want = {"C:\\Root", "C:\\Root\\Logs", "C:\\Root\\State\\CloudOutbox",
                                         "C:\\Root\\State", "C:\\Root\\State\\CloudOutbox"};
  EXPECT_EQ(made, want);  // the outbox is tried, its parent made, then the outbox
  EXPECT_FALSE(f.files.exists("C:\\Root\\Setup"));
}

TEST(BuildDataLayout, FailureNamesThePathOverTheOsError) {
  FakePorts f;
  f.files.failures["create_directory C:\\Root\\Logs"] = kErrorAccessDenied;
  auto layout = build_data_layout(f.files, "C:\\Root");
  ASSERT_FALSE(layout);
  EXPECT_EQ(layout.error().outermost(), "create C:\\Root\\Logs");
  EXPECT_EQ(layout.error().os_error(), kErrorAccessDenied);
}

TEST(WriteFileAtomically, WritesTemporarySiblingThenReplacesTheTarget) {
  FakePorts f;
  f.files.add_file(kTarget, bytes_of("old"));
  ASSERT_TRUE(write_file_atomically(f.files, f.ids, kTarget, bytes_of("new")));
  EXPECT_EQ(f.files.content(kTarget), "new");
  EXPECT_FALSE(f.files.exists(kTemp));
  // Exclusive create, write, flush, move while open, then close.
  std::vector<std::string> order;
  bool created = false;
  for (const auto& c : f.files.calls) {
    created = created || c == "create_new " + kTemp;
    if (created) order.push_back(c.substr(0, c.find(' ')));
  }
  EXPECT_EQ(order, (std::vector<std::string>{"create_new", "write", "flush", "move", "close"}));
}

TEST(WriteFileAtomically, CreatesTheParentDirectory) {
  FakePorts f;
  ASSERT_TRUE(write_file_atomically(f.files, f.ids, kTarget, bytes_of("x")));
  EXPECT_TRUE(f.files.nodes.at("C:\\Root\\Setup").directory);
}

TEST(WriteFileAtomically, EachFailureKeepsTheOldTargetAndRemovesTheTemporaryFile) {
  struct Case {
    const char* op;
    std::string path;
    const char* message;
  };
  const Case cases[] = {
      {"create_new", kTemp, "create temporary state "},
      {"write", kTemp, "write temporary state "},
      {"flush", kTemp, "flush temporary state "},
      {"move", kTemp, "atomically replace protected state"},
  };
  for (const Case& c : cases) {
    FakePorts f;
    f.files.add_file(kTarget, bytes_of("old"));
    f.files.failures[std::string(c.op) + " " + c.path] = 112;  // ERROR_DISK_FULL
    auto written = write_file_atomically(f.files, f.ids, kTarget, bytes_of("new"));
    ASSERT_FALSE(written) << c.op;
    EXPECT_EQ(written.error().outermost().rfind(c.message, 0), 0u) << written.error().display_chain();
    EXPECT_EQ(written.error().os_error(), 112u) << c.op;  // the report can carry win32Code
    EXPECT_EQ(f.files.content(kTarget), "old") << c.op;
    EXPECT_FALSE(f.files.exists(kTemp)) << c.op;
  }
}

TEST(WriteFileAtomically, RefusesATargetWithoutParent) {
  FakePorts f;
  auto written = write_file_atomically(f.files, f.ids, "report.json", bytes_of("x"));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().outermost(), "state path has no parent: report.json");
}

TEST(WriteFileAtomically, TemporaryNameIsUniquePerWrite) {
  FakePorts f;
  // A leftover temporary file with the first id makes the exclusive create fail, not overwrite it.
  f.files.add_file(kTemp, bytes_of("someone else's"));
  auto written = write_file_atomically(f.files, f.ids, kTarget, bytes_of("new"));
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().os_error(), kErrorFileExists);
  EXPECT_EQ(f.files.content(kTemp), "someone else's");
  ASSERT_TRUE(write_file_atomically(f.files, f.ids, kTarget, bytes_of("new")));
  EXPECT_EQ(f.files.content(kTarget), "new");
}

}  // namespace
}  // namespace vor::setup
