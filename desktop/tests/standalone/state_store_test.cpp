// The state directory's ground rules through the scripted fakes.
#include "standalone/state/state_store.h"

#include <gtest/gtest.h>

#include "state_fakes.h"

namespace vor::desktop {
namespace {

using testing::bytes_of;
using testing::code_of;
using testing::FakeDataProtection;
using testing::FakeFileSystem;
using testing::FakeIdentity;

const std::string kDir = "C:\\work\\state";
const std::string kRoot = "C:\\work\\state\\VorDesktop-v1";

class StateStoreTest : public ::testing::Test {
 protected:
  StateStoreTest() {
    fs.add_directory("C:\\work");
    fs.add_directory(kDir);
  }
  FakeFileSystem fs;
  FakeIdentity identity;
  FakeDataProtection dpapi;
  testing::FakeClock clock;
};

// --- path rules ---------------------------------------------------------------

struct PathCase {
  const char* path;
  bool safe;
};

TEST_F(StateStoreTest, PathRules) {
  const PathCase cases[] = {
      {"C:\\work\\state", true},
      {"C:\\work\\not-yet\\file.json", true},  // missing components are skipped
      {"c:/work/state", true},
      {"C:\\", true},
      {"C:\\a\\..b\\...", true},
      {"work\\state", false},                   // relative
      {"C:work\\state", false},                 // drive-relative
      {"\\work\\state", false},                 // root-relative, no drive
      {"C:", false},
      {"\\\\server\\share\\state", false},      // UNC
      {"//server/share/state", false},
      {"\\\\?\\C:\\work\\state", false},
      {"\\\\.\\C:\\work\\state", false},
      {"\\/server\\share", false},
      {"C:\\work\\..\\state", false},
      {"C:/work/../state", false},
      {"C:\\work/..\\state", false},
      {"C:\\work\\state\\..", false},
      {"C:\\work\\state:stream", false},        // alternate data stream
      {"C:\\work\\state\\x.json::$DATA", false},
      {"1:\\work", false},
  };
  for (const PathCase& c : cases) {
    auto r = check_state_path(fs, c.path);
    EXPECT_EQ(r.has_value(), c.safe) << c.path;
    if (!r) {
      EXPECT_EQ(code_of(r.error()), "DESKTOP_STATE_UNSAFE") << c.path;
    }
  }
}

TEST_F(StateStoreTest, AnyReparsePointOnTheWayIsRefused) {
  struct Case {
    std::string reparse;    // which existing path is a reparse point
    std::uint32_t tag;
    std::string checked;
  };
  const Case cases[] = {
      {kDir, 0xA0000003 /* junction */, kDir},
      {kDir, 0xA0000003, kDir + "\\VorDesktop-v1\\x.json"},
      {"C:\\work", 0xA000000C /* symlink */, kDir},
      {"C:\\work", 0x80000023 /* not a name surrogate */, kDir + "\\missing\\deeper"},
      {"C:\\", 0xA000000C, kDir},  // even the drive root
  };
  for (const Case& c : cases) {
    FakeFileSystem local;
    local.add_directory("C:\\work");
    local.add_directory(kDir);
    local.make_reparse(c.reparse, c.tag);
    auto r = check_state_path(local, c.checked);
    ASSERT_FALSE(r) << c.reparse << " " << c.checked;
    EXPECT_EQ(code_of(r.error()), "DESKTOP_STATE_UNSAFE");
  }
}

// --- the root -------------------------------------------------------------------

TEST_F(StateStoreTest, CreatesTheRootWithTheUsersAccessListAndHoldsItOpen) {
  auto root = ensure_state_directory(fs, identity, kDir);
  ASSERT_TRUE(root) << root.error().display_chain();
  EXPECT_EQ(root->path(), kRoot);
  EXPECT_EQ(fs.node(kRoot).dacl, "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-1-2-3-1000)");
  // The handle is open and shares no delete access: nobody else may open the
  // root exclusively meanwhile.
  auto exclusive = fs.open(kRoot, FileOpenOptions{FileAccess::kRead, 0, FileCreation::kOpenExisting, true, true});
  EXPECT_FALSE(exclusive);

  // A second run verifies the same root.
  auto again = ensure_state_directory(fs, identity, kDir + "\\");
  ASSERT_TRUE(again) << again.error().display_chain();
  EXPECT_EQ(again->path(), kRoot);
}

TEST_F(StateStoreTest, LocalSystemRootCarriesOnlySystemAndTheOwnersDoNotMix) {
  EXPECT_EQ(state_root_sddl("S-1-5-18"), "D:P(A;OICI;FA;;;SY)");
  EXPECT_EQ(state_root_sddl("S-1-5-21-9"), "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-9)");

  identity.sid = "S-1-5-18";
  ASSERT_TRUE(ensure_state_directory(fs, identity, kDir));
  EXPECT_EQ(fs.node(kRoot).dacl, "D:P(A;OICI;FA;;;SY)");
  identity.sid = "S-1-5-21-1-2-3-1000";
  auto user = ensure_state_directory(fs, identity, kDir);
  ASSERT_FALSE(user);
  EXPECT_EQ(code_of(user.error()), "DESKTOP_STATE_UNSAFE");

  FakeFileSystem other;
  other.add_directory("C:\\work");
  other.add_directory(kDir);
  ASSERT_TRUE(ensure_state_directory(other, identity, kDir));
  identity.sid = "S-1-5-18";
  auto system = ensure_state_directory(other, identity, kDir);
  ASSERT_FALSE(system);
  EXPECT_EQ(code_of(system.error()), "DESKTOP_STATE_UNSAFE");
}

TEST_F(StateStoreTest, ExistingRootWithAnotherAccessListIsNeverUsed) {
  const char* lists[] = {
      "D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-1-2-3-1000)",                      // not protected
      "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-1-2-3-1000)(A;OICI;FA;;;WD)",     // widened
      "D:P(A;OICI;FA;;;SY)(A;OICIID;FA;;;S-1-5-21-1-2-3-1000)",                   // inherited entry
      "D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-1-2-3-1001)",                     // another user
  };
  for (const char* list : lists) {
    FakeFileSystem local;
    local.add_directory("C:\\work");
    local.add_directory(kDir);
    local.add_directory(kRoot);
    local.node(kRoot).dacl = list;
    auto r = ensure_state_directory(local, identity, kDir);
    ASSERT_FALSE(r) << list;
    EXPECT_EQ(code_of(r.error()), "DESKTOP_STATE_UNSAFE") << list;
  }
}

TEST_F(StateStoreTest, StateDirectoryMustBeAnExistingPlainDirectory) {
  fs.add_file("C:\\work\\plain", "x");
  struct Case {
    std::string dir;
    const char* code;
  };
  const Case cases[] = {
      {"C:\\work\\missing", "DESKTOP_STATE_DIR_REQUIRED"},
      {"C:\\work\\plain", "DESKTOP_STATE_DIR_REQUIRED"},
      {"work\\state", "DESKTOP_STATE_UNSAFE"},
      {"\\\\host\\share\\state", "DESKTOP_STATE_UNSAFE"},
      {"C:\\work\\..\\work\\state", "DESKTOP_STATE_UNSAFE"},
      {"C:\\work\\state:ads", "DESKTOP_STATE_UNSAFE"},
  };
  for (const Case& c : cases) {
    auto r = ensure_state_directory(fs, identity, c.dir);
    ASSERT_FALSE(r) << c.dir;
    EXPECT_EQ(code_of(r.error()), c.code) << c.dir;
  }
  fs.make_reparse(kDir, 0xA0000003);
  auto junction = ensure_state_directory(fs, identity, kDir);
  ASSERT_FALSE(junction);
  EXPECT_EQ(code_of(junction.error()), "DESKTOP_STATE_UNSAFE");
}

// Win32 drops trailing dots and spaces from a last component (the fake does
// too): the name checked would be another directory than the one beneath
// which the root is made.
TEST_F(StateStoreTest, StateDirectoryWhoseLastComponentWin32TrimsIsRefused) {
  const char* cases[] = {
      "C:\\work\\state..", "C:\\work\\state.", "C:\\work\\state ", "C:\\work\\state. .",
      "C:\\work\\state\\.. ", "C:\\work\\state\\. ", "C:\\work\\state\\...", "C:\\work\\state..\\",
  };
  for (const char* dir : cases) {
    auto r = ensure_state_directory(fs, identity, dir);
    ASSERT_FALSE(r) << dir;
    EXPECT_EQ(code_of(r.error()), "DESKTOP_STATE_DIR_REQUIRED") << dir << ": " << r.error().display_chain();
  }
  EXPECT_FALSE(fs.exists(kRoot));
  // Dots elsewhere are plain characters of a name.
  fs.add_directory("C:\\work\\.state.d");
  EXPECT_TRUE(ensure_state_directory(fs, identity, "C:\\work\\.state.d"));
  EXPECT_TRUE(ensure_state_directory(fs, identity, kDir + "\\"));
}

TEST_F(StateStoreTest, RootAclFailures) {
  {
    FakeFileSystem local;
    local.add_directory("C:\\work");
    local.add_directory(kDir);
    local.sddl_error = 1337;
    auto r = ensure_state_directory(local, identity, kDir);
    ASSERT_FALSE(r);
    EXPECT_EQ(code_of(r.error()), "DESKTOP_STATE_ACL_FAILED");
    EXPECT_EQ(r.error().os_error(), 1337u);
  }
  {
    FakeFileSystem local;
    local.add_directory("C:\\work");
    local.add_directory(kDir);
    local.create_dir_error = 5;
    auto r = ensure_state_directory(local, identity, kDir);
    ASSERT_FALSE(r);
    EXPECT_EQ(code_of(r.error()), "DESKTOP_STATE_ACL_FAILED");
    EXPECT_FALSE(r.error().os_error());  // reported without the OS error
  }
  {
    identity.error = 5;
    auto r = ensure_state_directory(fs, identity, kDir);
    ASSERT_FALSE(r);
    EXPECT_EQ(code_of(r.error()), "DESKTOP_TOKEN_UNAVAILABLE");
    identity.error.reset();
  }
}

TEST_F(StateStoreTest, DaclReadingAndRenderingLimits) {
  struct Case {
    const char* name;
    void (*script)(FakeFileSystem&);
  };
  const Case cases[] = {
      {"size 0", [](FakeFileSystem& f) { f.dacl_size_override = 0; }},
      {"size above 65536", [](FakeFileSystem& f) { f.dacl_size_override = 65537; }},
      {"no text", [](FakeFileSystem& f) { f.render_missing = true; }},
      {"no terminator", [](FakeFileSystem& f) { f.render_unterminated = true; }},
  };
  for (const Case& c : cases) {
    FakeFileSystem local;
    local.add_directory("C:\\work");
    local.add_directory(kDir);
    c.script(local);
    auto r = ensure_state_directory(local, identity, kDir);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(code_of(r.error()), "DESKTOP_STATE_UNSAFE") << c.name;
  }
  FakeFileSystem ok;
  ok.add_directory("C:\\work");
  ok.add_directory(kDir);
  ok.dacl_size_override = 65536;
  EXPECT_TRUE(ensure_state_directory(ok, identity, kDir));
}

// --- the gate -------------------------------------------------------------------

TEST_F(StateStoreTest, GateIsExclusiveAndCreatedWhenMissing) {
  auto root = ensure_state_directory(fs, identity, kDir);
  ASSERT_TRUE(root);
  auto first = open_gate(fs, *root);
  ASSERT_TRUE(first);
  EXPECT_TRUE(fs.exists(kRoot + "\\.gate"));
  auto second = open_gate(fs, *root);
  ASSERT_FALSE(second);
  EXPECT_EQ(code_of(second.error()), "DESKTOP_OWNER_CONFLICT");
  EXPECT_EQ(second.error().os_error(), kErrorSharingViolation);
  first->reset();
  EXPECT_TRUE(open_gate(fs, *root));
}

// --- bounded reads ----------------------------------------------------------------

TEST_F(StateStoreTest, BoundedReads) {
  fs.add_file("C:\\work\\exact", Bytes(16384, 'a'));
  fs.add_file("C:\\work\\over", Bytes(16385, 'a'));
  fs.add_file("C:\\work\\empty", Bytes{});
  fs.add_file("C:\\work\\link", "target");
  fs.make_reparse("C:\\work\\link");
  // A link that appears between the path check and the open is caught on the handle.
  fs.add_file("C:\\work\\late-link", "target");
  fs.make_reparse("C:\\work\\late-link");
  fs.node("C:\\work\\late-link").hidden_from_attributes = true;
  // A file that grows after its size was queried is still cut at limit + 1.
  fs.add_file("C:\\work\\growing", Bytes(20000, 'g'));
  fs.node("C:\\work\\growing").queried_size = 100;

  auto exact = read_bounded_file(fs, "C:\\work\\exact", kRequestFileLimit);
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->size(), 16384u);
  auto empty = read_bounded_file(fs, "C:\\work\\empty", kRequestFileLimit);
  ASSERT_TRUE(empty);
  EXPECT_TRUE(empty->empty());

  struct Case {
    const char* path;
    const char* code;
  };
  const Case cases[] = {
      {"C:\\work\\over", "DESKTOP_FILE_TOO_LARGE"},
      {"C:\\work", "DESKTOP_FILE_TOO_LARGE"},  // a directory
      {"C:\\work\\late-link", "DESKTOP_FILE_TOO_LARGE"},
      {"C:\\work\\growing", "DESKTOP_FILE_TOO_LARGE"},
      {"C:\\work\\link", "DESKTOP_STATE_UNSAFE"},  // refused by the path rules already
      {"C:\\work\\missing", "DESKTOP_FILE_UNAVAILABLE"},
      {"C:\\work\\..\\exact", "DESKTOP_STATE_UNSAFE"},
  };
  for (const Case& c : cases) {
    auto r = read_bounded_file(fs, c.path, kRequestFileLimit);
    ASSERT_FALSE(r) << c.path;
    EXPECT_EQ(code_of(r.error()), c.code) << c.path;
  }
  auto missing = read_bounded_file(fs, "C:\\work\\missing", 10);
  EXPECT_EQ(missing.error().os_error(), kErrorFileNotFound);
}

// --- writes -------------------------------------------------------------------------

TEST_F(StateStoreTest, WholeFileWrites) {
  fs.write_chunk = 7;  // short writes are continued
  ASSERT_TRUE(write_whole_file(fs, "C:\\work\\new", bytes_of("0123456789abcdef")));
  EXPECT_EQ(fs.text("C:\\work\\new"), "0123456789abcdef");
  fs.write_chunk = 0;

  auto exists = write_whole_file(fs, "C:\\work\\new", bytes_of("x"));
  ASSERT_FALSE(exists);
  EXPECT_EQ(code_of(exists.error()), "DESKTOP_STATE_WRITE_FAILED");
  EXPECT_EQ(exists.error().os_error(), kErrorFileExists);
  EXPECT_EQ(fs.text("C:\\work\\new"), "0123456789abcdef");

  fs.zero_writes = true;
  auto zero = write_whole_file(fs, "C:\\work\\zero", bytes_of("abc"));
  ASSERT_FALSE(zero);
  EXPECT_EQ(code_of(zero.error()), "DESKTOP_STATE_WRITE_FAILED");
  EXPECT_NE(zero.error().display_chain().find("failed to write whole buffer"), std::string::npos);
  fs.zero_writes = false;

  fs.write_error = testing::kErrorDiskFull;
  auto full = write_whole_file(fs, "C:\\work\\full", bytes_of("abc"));
  ASSERT_FALSE(full);
  EXPECT_EQ(full.error().os_error(), testing::kErrorDiskFull);
  EXPECT_TRUE(fs.exists("C:\\work\\full"));  // the partly written file is the caller's
  fs.write_error.reset();

  auto unsafe = write_whole_file(fs, "C:\\work\\a:b", bytes_of("x"));
  ASSERT_FALSE(unsafe);
  EXPECT_EQ(code_of(unsafe.error()), "DESKTOP_STATE_UNSAFE");
}

TEST_F(StateStoreTest, AtomicReplace) {
  fs.add_file("C:\\work\\target", "old");
  ASSERT_TRUE(replace_file_atomically(fs, clock, "C:\\work\\target", "C:\\work\\target.tmp-1", bytes_of("new")));
  EXPECT_EQ(fs.text("C:\\work\\target"), "new");
  EXPECT_FALSE(fs.exists("C:\\work\\target.tmp-1"));

  // A locked target: no temporary stays behind, the move's error is reported.
  auto holder = fs.open("C:\\work\\target", FileOpenOptions{FileAccess::kRead, kShareRead | kShareWrite,
                                                        FileCreation::kOpenExisting, true, false});
  ASSERT_TRUE(holder);
  auto locked = replace_file_atomically(fs, clock, "C:\\work\\target", "C:\\work\\target.tmp-2", bytes_of("newer"));
  ASSERT_FALSE(locked);
  EXPECT_EQ(code_of(locked.error()), "DESKTOP_STATE_WRITE_FAILED");
  EXPECT_EQ(locked.error().os_error(), kErrorAccessDenied);
  EXPECT_FALSE(fs.exists("C:\\work\\target.tmp-2"));
  EXPECT_EQ(fs.text("C:\\work\\target"), "new");
  holder->reset();

  // Delete sharing does not help: a target open at all is never moved over.
  auto sharing = fs.open("C:\\work\\target", FileOpenOptions{FileAccess::kRead, kShareRead | kShareDelete,
                                                         FileCreation::kOpenExisting, true, false});
  ASSERT_TRUE(sharing);
  EXPECT_EQ(replace_file_atomically(fs, clock, "C:\\work\\target", "C:\\work\\target.tmp-5", bytes_of("x")).error().os_error(),
            kErrorAccessDenied);
  sharing->reset();

  // The temporary's own write failing is returned as it is and leaves it.
  fs.write_error = testing::kErrorDiskFull;
  auto full = replace_file_atomically(fs, clock, "C:\\work\\target", "C:\\work\\target.tmp-3", bytes_of("x"));
  ASSERT_FALSE(full);
  EXPECT_EQ(full.error().os_error(), testing::kErrorDiskFull);
  EXPECT_TRUE(fs.exists("C:\\work\\target.tmp-3"));
  EXPECT_EQ(fs.text("C:\\work\\target"), "new");
  fs.write_error.reset();

  auto unsafe = replace_file_atomically(fs, clock, "C:\\work\\..\\target", "C:\\work\\t", bytes_of("x"));
  ASSERT_FALSE(unsafe);
  EXPECT_EQ(code_of(unsafe.error()), "DESKTOP_STATE_UNSAFE");
  EXPECT_FALSE(fs.exists("C:\\work\\t"));
}

// A clock whose sleeps let another holder of the target close it after a
// number of slices.
class ReleasingClock final : public Clock {
 public:
  testing::FakeClock inner;
  std::unique_ptr<OpenFile>* holder = nullptr;
  int release_after = -1;  // sleeps until the holder closes; -1 never
  int sleeps = 0;
  std::chrono::nanoseconds slept{0};
  Monotonic monotonic_now() override { return inner.monotonic_now(); }
  Time utc_now() override { return inner.utc_now(); }
  void sleep(std::chrono::nanoseconds d) override {
    inner.sleep(d);
    slept += d;
    if (++sleeps == release_after && holder) holder->reset();
  }
};

TEST_F(StateStoreTest, ReplaceWaitsForAReaderOfTheTargetWithinItsBudget) {
  using namespace std::chrono_literals;
  struct Case {
    const char* name;
    int release_after;
    std::optional<std::uint32_t> move_error;  // every move fails so, holder or not
    bool replaced;
    std::chrono::nanoseconds slept;
    std::optional<std::uint32_t> reported;
  };
  const Case cases[] = {
      {"reader closes after three slices", 3, std::nullopt, true, 30ms, std::nullopt},
      {"reader closes in the last slice", 100, std::nullopt, true, 1000ms, std::nullopt},
      {"reader outlasts the budget", -1, std::nullopt, false, 1000ms, kErrorAccessDenied},
      {"a sharing violation is waited for too", -1, kErrorSharingViolation, false, 1000ms, kErrorSharingViolation},
      {"other errors are not", -1, testing::kErrorDiskFull, false, 0ms, testing::kErrorDiskFull},
  };
  for (const Case& c : cases) {
    FakeFileSystem local;
    local.add_directory("C:\\work");
    local.add_file("C:\\work\\target", "old");
    local.move_error = c.move_error;
    ReleasingClock timing;
    auto holder = local.open("C:\\work\\target", FileOpenOptions{FileAccess::kRead, kShareRead | kShareDelete,
                                                              FileCreation::kOpenExisting, true, false});
    ASSERT_TRUE(holder);
    std::unique_ptr<OpenFile> held = std::move(*holder);
    timing.holder = &held;
    timing.release_after = c.release_after;
    auto r = replace_file_atomically(local, timing, "C:\\work\\target", "C:\\work\\target.tmp-1", bytes_of("new"));
    EXPECT_EQ(r.has_value(), c.replaced) << c.name;
    EXPECT_EQ(local.text("C:\\work\\target"), c.replaced ? "new" : "old") << c.name;
    EXPECT_FALSE(local.exists("C:\\work\\target.tmp-1")) << c.name;
    EXPECT_EQ(timing.slept, c.slept) << c.name;
    if (!r) {
      EXPECT_EQ(code_of(r.error()), "DESKTOP_STATE_WRITE_FAILED") << c.name;
      EXPECT_EQ(r.error().os_error(), c.reported) << c.name;
    }
  }
}

TEST_F(StateStoreTest, AtomicCreateNeverReplaces) {
  ASSERT_TRUE(create_file_atomically(fs, "C:\\work\\made", "C:\\work\\made.tmp-1", bytes_of("first")));
  EXPECT_EQ(fs.text("C:\\work\\made"), "first");
  auto again = create_file_atomically(fs, "C:\\work\\made", "C:\\work\\made.tmp-2", bytes_of("second"));
  ASSERT_FALSE(again);
  EXPECT_EQ(code_of(again.error()), "DESKTOP_STATE_WRITE_FAILED");
  EXPECT_EQ(again.error().os_error(), kErrorAlreadyExists);
  EXPECT_EQ(fs.text("C:\\work\\made"), "first");
  EXPECT_FALSE(fs.exists("C:\\work\\made.tmp-2"));
}

TEST_F(StateStoreTest, RemovingStateFiles) {
  EXPECT_TRUE(remove_state_file(fs, "C:\\work\\never-there"));
  EXPECT_TRUE(remove_state_file(fs, "C:\\work\\no-dir\\never-there"));
  fs.add_file("C:\\work\\held", "x");
  auto holder = fs.open("C:\\work\\held", FileOpenOptions{FileAccess::kRead, kShareRead, FileCreation::kOpenExisting, true, false});
  auto busy = remove_state_file(fs, "C:\\work\\held");
  ASSERT_FALSE(busy);
  EXPECT_EQ(code_of(busy.error()), "DESKTOP_STATE_WRITE_FAILED");
  EXPECT_EQ(busy.error().os_error(), kErrorSharingViolation);
  holder->reset();
  EXPECT_TRUE(remove_state_file(fs, "C:\\work\\held"));
  EXPECT_FALSE(fs.exists("C:\\work\\held"));

  // A reader sharing delete access does not stop the removal and keeps
  // reading what it opened.
  fs.add_file("C:\\work\\read", "contents");
  auto reader = fs.open("C:\\work\\read", FileOpenOptions{FileAccess::kRead, kShareRead | kShareDelete,
                                                       FileCreation::kOpenExisting, true, false});
  ASSERT_TRUE(reader);
  EXPECT_TRUE(remove_state_file(fs, "C:\\work\\read"));
  EXPECT_FALSE(fs.exists("C:\\work\\read"));
  Bytes out(20);
  EXPECT_EQ((*reader)->read(out).value(), 8u);
  reader->reset();
  auto unsafe = remove_state_file(fs, "C:\\work\\held:x");
  EXPECT_EQ(code_of(unsafe.error()), "DESKTOP_STATE_UNSAFE");
}

// --- protected envelope ------------------------------------------------------------

TEST_F(StateStoreTest, EnvelopeHeaderFlagsAndEntropy) {
  const std::string path = kRoot + "\\abc.json";
  auto envelope = protect_data(dpapi, path, bytes_of("{\"a\":1}"), 100);
  ASSERT_TRUE(envelope);
  const std::string head(envelope->begin(), envelope->begin() + 26);
  EXPECT_EQ(head, std::string("Vor.Marionet.Protected.v1\0", 26));
  EXPECT_EQ(dpapi.last_protect_flags, 5u);
  EXPECT_EQ(dpapi.last_entropy, "Qzt.Pembrola.HoldStore.v4/abc.json");

  auto plain = unprotect_file(dpapi, path, *envelope, 100);
  ASSERT_TRUE(plain);
  EXPECT_EQ(std::string(plain->begin(), plain->end()), "{\"a\":1}");
  EXPECT_EQ(dpapi.last_unprotect_flags, 1u);

  // Under another name the entropy differs.
  auto moved = unprotect_file(dpapi, kRoot + "\\abd.json", *envelope, 100);
  ASSERT_FALSE(moved);
  EXPECT_EQ(code_of(moved.error()), "DESKTOP_STATE_PROTECTION_FAILED");
}

TEST_F(StateStoreTest, EnvelopeRefusals) {
  const std::string path = kRoot + "\\abc.json";
  auto envelope = protect_data(dpapi, path, bytes_of("payload"), 100);
  ASSERT_TRUE(envelope);
  for (std::size_t i = 0; i < 26; ++i) {
    Bytes bad = *envelope;
    bad[i] ^= 0x01;
    auto r = unprotect_file(dpapi, path, bad, 100);
    ASSERT_FALSE(r) << "byte " << i;
    EXPECT_EQ(code_of(r.error()), "DESKTOP_STATE_PROTECTION_FAILED") << "byte " << i;
  }
  Bytes shorter(envelope->begin(), envelope->begin() + 25);
  EXPECT_EQ(code_of(unprotect_file(dpapi, path, shorter, 100).error()), "DESKTOP_STATE_PROTECTION_FAILED");

  // Total size: at most limit + 4096 bytes.
  Bytes big = *envelope;
  big.resize(7 + 4096 + 1, 0xEE);
  EXPECT_EQ(code_of(unprotect_file(dpapi, path, big, 7).error()), "DESKTOP_STATE_PROTECTION_FAILED");

  // A plaintext above the limit after unprotection.
  auto over = unprotect_file(dpapi, path, *envelope, 6);
  ASSERT_FALSE(over);
  EXPECT_EQ(code_of(over.error()), "DESKTOP_STATE_QUOTA_EXCEEDED");

  dpapi.unprotect_error = 87;
  auto failing = unprotect_file(dpapi, path, *envelope, 100);
  EXPECT_EQ(code_of(failing.error()), "DESKTOP_STATE_PROTECTION_FAILED");
  EXPECT_EQ(failing.error().os_error(), 87u);
  dpapi.unprotect_error.reset();

  dpapi.protect_error = 87;
  EXPECT_EQ(code_of(protect_data(dpapi, path, bytes_of("x"), 10).error()), "DESKTOP_STATE_PROTECTION_FAILED");
  dpapi.protect_error.reset();

  for (const std::string& nameless : {kRoot + "\\", std::string("C:\\work\\bad\xff.json")}) {
    EXPECT_EQ(code_of(protect_data(dpapi, nameless, bytes_of("x"), 10).error()), "DESKTOP_STATE_INVALID");
    EXPECT_EQ(code_of(unprotect_file(dpapi, nameless, *envelope, 10).error()), "DESKTOP_STATE_INVALID");
  }
}

TEST_F(StateStoreTest, BlobAllowanceIs4070Bytes) {
  const std::string path = kRoot + "\\n.json";  // entropy is 26 + 6 bytes
  const Bytes plain(100, 'p');
  // Fake blob size: frame + entropy + plaintext + overhead.
  dpapi.overhead = 4070 - FakeDataProtection::kFrame - 32;
  auto fits = protect_data(dpapi, path, plain, plain.size());
  ASSERT_TRUE(fits);
  EXPECT_EQ(fits->size(), 26 + 100 + 4070u);
  EXPECT_TRUE(unprotect_file(dpapi, path, *fits, plain.size()));
  dpapi.overhead += 1;
  auto over = protect_data(dpapi, path, plain, plain.size());
  ASSERT_FALSE(over);
  EXPECT_EQ(code_of(over.error()), "DESKTOP_STATE_QUOTA_EXCEEDED");
}

// --- disk quota -----------------------------------------------------------------------

TEST_F(StateStoreTest, DiskQuota) {
  auto root = ensure_state_directory(fs, identity, kDir);
  ASSERT_TRUE(root);
  auto image = [&](const std::string& name, std::uint64_t listed) {
    fs.add_file(kRoot + "\\" + name, "x");
    fs.node(kRoot + "\\" + name).listed_size = listed;
  };
  image("a.image", 15339520 - 1000);
  image("b.png", 1000);
  image("c.PNG", 1u << 30);     // not counted: the extension is compared exactly
  image("d.json", 1u << 30);    // not an image
  image(".png", 1u << 30);      // a name without an extension
  fs.free_bytes = 33554432;
  EXPECT_TRUE(check_disk_quota(fs, *root));

  fs.node(kRoot + "\\b.png").listed_size = 1001;
  auto images = check_disk_quota(fs, *root);
  ASSERT_FALSE(images);
  EXPECT_EQ(code_of(images.error()), "DESKTOP_STATE_QUOTA_EXCEEDED");
  fs.node(kRoot + "\\b.png").listed_size = 1000;

  fs.free_bytes = 33554431;
  EXPECT_EQ(code_of(check_disk_quota(fs, *root).error()), "DESKTOP_STATE_QUOTA_EXCEEDED");
  fs.free_bytes = 1ull << 40;

  // Sizes add with saturation.
  fs.node(kRoot + "\\a.image").listed_size = ~0ull;
  fs.node(kRoot + "\\b.png").listed_size = ~0ull;
  EXPECT_EQ(code_of(check_disk_quota(fs, *root).error()), "DESKTOP_STATE_QUOTA_EXCEEDED");
  fs.node(kRoot + "\\a.image").listed_size = 1;
  fs.node(kRoot + "\\b.png").listed_size = 1;

  fs.free_bytes_error = 21;
  auto disk = check_disk_quota(fs, *root);
  EXPECT_EQ(code_of(disk.error()), "DESKTOP_DISK_UNAVAILABLE");
  EXPECT_EQ(disk.error().os_error(), 21u);
  fs.free_bytes_error.reset();

  fs.list_error = 5;
  auto listing = check_disk_quota(fs, *root);
  EXPECT_EQ(code_of(listing.error()), "DESKTOP_OPERATION_FAILED");  // no code of its own
}

TEST(StateWipe, WipesLengthAndCapacity) {
  Bytes buffer = bytes_of("secret plaintext");
  buffer.reserve(64);
  const std::uint8_t* data = buffer.data();
  const std::size_t capacity = buffer.capacity();
  wipe_plaintext_buffer(buffer);
  EXPECT_TRUE(buffer.empty());
  EXPECT_EQ(buffer.capacity(), capacity);
  for (std::size_t i = 0; i < capacity; ++i) EXPECT_EQ(data[i], 0) << i;
}

}  // namespace
}  // namespace vor::desktop
