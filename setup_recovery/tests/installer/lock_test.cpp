#include "installer/component_update_lock.h"

#include <gtest/gtest.h>

#include "setup_recovery/tests/fakes.h"
#include "installer/errors.h"

namespace vor::setup {
namespace {

using testing::bytes_of;
using testing::FakePorts;

constexpr std::uint64_t kSecond = 10'000'000;  // FILETIME units
// 2026-12-09T09:41:26.1234567Z
constexpr std::uint64_t kNow = (1796809286ull + 11644473600ull) * kSecond + 1'234'567;
const std::string kRoot = "C:\\Root";
const std::string kLock = "C:\\Root\\State\\component-update.lock";

std::string id(int n) {
  const std::string hex = std::to_string(n);
  return std::string(32 - hex.size(), '0') + hex;
}

std::string record_json(const std::string& owner, std::uint32_t pid, const std::string& acquired,
                        const std::string& lock_id = "ffffffffffffffffffffffffffffffff") {
  return R"({"lockId":")" + lock_id + R"(","owner":")" + owner + R"(","processId":)" + std::to_string(pid) +
         R"(,"acquiredAt":")" + acquired + "\"}";
}

ComponentUpdateLockRecord record(const std::string& owner, std::uint32_t pid, std::int64_t age_ns) {
  return {"ffffffffffffffffffffffffffffffff", owner, pid,
          time_from_filetime(kNow) - std::chrono::nanoseconds(age_ns)};
}

constexpr std::int64_t kNs = 1'000'000'000;

TEST(LockJudge, RecordedHolders) {
  const Status opened;
  const Status gone = fail(Error::os(kErrorInvalidParameter));
  const Status denied = fail(Error::os(kErrorAccessDenied));
  const std::uint32_t own = 4242;
  struct Case {
    const char* name;
    ComponentUpdateLockRecord rec;
    Status open;
    HolderState want;
  };
  const Case cases[] = {
      {"live installer, very old", record("installer", 77, 100000 * kNs), opened, HolderState::kActive},
      {"live agent, very old", record("agent", 77, 100000 * kNs), opened, HolderState::kActive},
      {"access denied counts as alive", record("installer", 77, 100000 * kNs), denied, HolderState::kActive},
      {"installer gone, one second old", record("installer", 77, 1 * kNs), gone, HolderState::kStale},
      {"agent gone, exactly 1800 s", record("agent", 77, 1800 * kNs), gone, HolderState::kActive},
      {"agent gone, 1800 s and 1 ns", record("agent", 77, 1800 * kNs + 1), gone, HolderState::kStale},
      {"agent gone, 1801 s", record("agent", 77, 1801 * kNs), gone, HolderState::kStale},
      {"agent gone, acquired in the future", record("agent", 77, -3600 * kNs), gone, HolderState::kActive},
      {"owner compared exactly", record("Installer", 77, 1 * kNs), gone, HolderState::kActive},
      {"our own pid is not a live holder", record("installer", own, 1 * kNs), opened, HolderState::kStale},
      {"own pid, agent, young", record("agent", own, 10 * kNs), opened, HolderState::kActive},
      {"own pid, agent, 1801 s", record("agent", own, 1801 * kNs), opened, HolderState::kStale},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(judge_recorded_holder(c.rec, c.open, time_from_filetime(kNow), own), c.want) << c.name;
  }
}

// A foreign holder's age saturates at the ends of the years 0000 to 9999
// rather than wrapping around, and the record keeps its instant exactly.
TEST(LockJudge, ForeignHolderAtTheEndsOfTheTimeRange) {
  const Status gone = fail(Error::os(kErrorInvalidParameter));
  struct Case {
    const char* acquired;
    HolderState want;
  };
  const Case cases[] = {
      {"0000-01-01T00:00:00Z", HolderState::kStale},
      {"1601-01-01T00:00:00Z", HolderState::kStale},
      {"9999-12-31T23:59:59.999999999Z", HolderState::kActive},  // in the future
  };
  for (const Case& c : cases) {
    const std::string json = record_json("agent", 77, c.acquired);
    auto rec = decode_lock_record(bytes_of(json));
    ASSERT_TRUE(rec) << c.acquired;
    EXPECT_EQ(encode_lock_record(*rec), json) << c.acquired;
    EXPECT_EQ(judge_recorded_holder(*rec, gone, time_from_filetime(kNow), 4242), c.want) << c.acquired;
  }
}

TEST(LockJudge, UnreadableRecordsByLastWriteTime) {
  struct Case {
    const char* name;
    Result<std::uint64_t> last_write;
    HolderState want;
  };
  const Case cases[] = {
      {"1800 s ago", kNow - 1800 * kSecond, HolderState::kActive},
      {"1801 s less 100 ns ago", kNow - 1801 * kSecond + 1, HolderState::kActive},
      {"1801 s ago", kNow - 1801 * kSecond, HolderState::kStale},
      {"in the future", kNow + 1, HolderState::kActive},
      {"time unreadable", fail(Error::os(kErrorAccessDenied)), HolderState::kActive},
  };
  for (const Case& c : cases) EXPECT_EQ(judge_unreadable_holder(c.last_write, kNow), c.want) << c.name;
}

TEST(LockRecord, EncodesCompactlyInDeclaredOrder) {
  const ComponentUpdateLockRecord r{id(1), "installer", 4242, time_from_filetime(kNow)};
  EXPECT_EQ(encode_lock_record(r),
            R"({"lockId":"00000000000000000000000000000001","owner":"installer","processId":4242,)"
            R"("acquiredAt":"2026-12-09T09:41:26.123456700Z"})");
}

TEST(LockRecord, DecodingRules) {
  struct Case {
    const char* name;
    std::string json;
    bool ok;
  };
  const std::string good = record_json("agent", 7, "2026-12-09T09:41:26Z");
  const Case cases[] = {
      {"plain record", good, true},
      {"extra member ignored", R"({"x":[1,{"y":2}],)" + good.substr(1), true},
      {"undeclared member twice ignored", R"({"x":1,"x":2,)" + good.substr(1), true},
      {"offset converted", record_json("agent", 7, "2026-12-09T11:41:26+02:00"), true},
      {"trailing whitespace", good + " \r\n\t", true},
      {"missing acquiredAt", R"({"lockId":"a","owner":"agent","processId":7})", false},
      {"duplicate lockId", R"({"lockId":"b",)" + good.substr(1), false},
      {"processId at 32-bit maximum", record_json("agent", 4294967295u, "2026-12-09T09:41:26Z"), true},
      {"processId above 32 bits", R"({"lockId":"a","owner":"o","processId":4294967296,"acquiredAt":"2026-12-09T09:41:26Z"})", false},
      {"processId negative", R"({"lockId":"a","owner":"o","processId":-1,"acquiredAt":"2026-12-09T09:41:26Z"})", false},
      {"processId float", R"({"lockId":"a","owner":"o","processId":7.0,"acquiredAt":"2026-12-09T09:41:26Z"})", false},
      {"processId string", R"({"lockId":"a","owner":"o","processId":"7","acquiredAt":"2026-12-09T09:41:26Z"})", false},
      {"acquired in year 0000", record_json("agent", 7, "0000-01-01T00:00:00Z"), true},
      {"acquired in 1601", record_json("agent", 7, "1601-01-01T00:00:00Z"), true},
      {"acquired at the end of year 9999", record_json("agent", 7, "9999-12-31T23:59:59.999999999Z"), true},
      {"time without offset", record_json("agent", 7, "2026-12-09T09:41:26"), false},
      {"not a time", record_json("agent", 7, "yesterday"), false},
      {"byte-order mark", "\xEF\xBB\xBF" + good, false},
      {"empty file", "", false},
      {"trailing garbage", good + "x", false},
      {"array", "[]", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(decode_lock_record(bytes_of(c.json)).has_value(), c.ok) << c.name;
  }
  auto converted = decode_lock_record(bytes_of(record_json("agent", 7, "2026-12-09T11:41:26.5+02:00")));
  ASSERT_TRUE(converted);
  EXPECT_EQ(format_rfc3339(converted->acquired_at), "2026-12-09T09:41:26.500Z");
  EXPECT_EQ(converted->process_id, 7u);
  EXPECT_EQ(converted->owner, "agent");
}

class LockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    f.clock.now = kNow;
    f.files.write_time = kNow;
  }
  Result<ComponentUpdateLock> acquire() { return acquire_component_update_lock(f.ports, make_data_layout(kRoot)); }
  void holder(const std::string& json, std::uint64_t last_write = kNow) { f.files.add_file(kLock, bytes_of(json), last_write); }

  FakePorts f;
};

TEST_F(LockTest, FreeLockIsCreatedWithOurRecordAndKeptOpen) {
  auto lock = acquire();
  ASSERT_TRUE(lock) << lock.error().display_chain();
  EXPECT_EQ(lock->lock_id(), id(1));
  EXPECT_EQ(lock->path(), kLock);
  EXPECT_EQ(f.files.content(kLock), encode_lock_record({id(1), "installer", 4242, time_from_filetime(kNow)}));
  // Held for writing and shared for reading only: nobody can delete it meanwhile.
  EXPECT_EQ(f.files.delete_file(kLock).error().os_error(), 32u);
  EXPECT_TRUE(read_component_update_lock_record(f.files, kLock));
}

TEST_F(LockTest, LiveHolderIsActiveWithItsDetails) {
  holder(record_json("installer", 77, "2026-12-09T09:00:00.1234567Z"));
  f.processes.live.insert(77);
  auto lock = acquire();
  ASSERT_FALSE(lock);
  EXPECT_EQ(lock.error().display_chain(),
            "another component update is active: owner=installer, pid=77, acquiredAt=2026-12-09 09:00:00.123456700 UTC");
  EXPECT_EQ(f.processes.opened, std::vector<std::uint32_t>{77});
  EXPECT_TRUE(f.files.exists(kLock));
  EXPECT_EQ(f.files.children("C:\\Root\\State"), std::vector<std::string>{"component-update.lock"});
}

TEST_F(LockTest, StaleHolderIsQuarantinedAndTheSecondAttemptWins) {
  const std::string stale = record_json("installer", 77, "2026-12-09T09:41:25Z");
  holder(stale);
  auto lock = acquire();
  ASSERT_TRUE(lock) << lock.error().display_chain();
  // id 1: first attempt's record; id 2: quarantine name; id 3: the record that was written.
  EXPECT_EQ(f.files.content("C:\\Root\\State\\component-update.stale-" + id(2)), stale);
  EXPECT_EQ(lock->lock_id(), id(3));
  EXPECT_NE(f.files.content(kLock).find(id(3)), std::string::npos);
}

TEST_F(LockTest, OwnProcessIdIsJudgedAsGone) {
  holder(record_json("installer", 4242, "2026-12-09T09:41:25Z"));
  f.processes.live.insert(4242);
  ASSERT_TRUE(acquire());
  EXPECT_TRUE(f.processes.opened.empty());
}

TEST_F(LockTest, UnreadableRecordsByAge) {
  struct Case {
    const char* name;
    std::string content;
    std::uint64_t age;
    bool acquired;
  };
  const Case cases[] = {
      {"empty, 1800 s", "", 1800 * kSecond, false},
      {"empty, 1801 s", "", 1801 * kSecond, true},
      {"not JSON, 1801 s", "garbage", 1801 * kSecond, true},
      {"no acquiredAt, 1800 s", R"({"lockId":"a","owner":"installer","processId":77})", 1800 * kSecond, false},
      {"no acquiredAt, 1801 s", R"({"lockId":"a","owner":"installer","processId":77})", 1801 * kSecond, true},
  };
  for (const Case& c : cases) {
    FakePorts g;
    g.clock.now = kNow;
    g.files.add_file(kLock, bytes_of(c.content), kNow - c.age);
    auto lock = acquire_component_update_lock(g.ports, make_data_layout(kRoot));
    EXPECT_EQ(lock.has_value(), c.acquired) << c.name;
    if (!c.acquired) {
      EXPECT_EQ(lock.error().display_chain(), "another component update is active") << c.name;
      EXPECT_TRUE(g.processes.opened.empty()) << c.name;
    } else {
      EXPECT_EQ(g.files.content("C:\\Root\\State\\component-update.stale-" + id(2)), c.content) << c.name;
    }
  }
}

TEST_F(LockTest, TwoStaleFilesInARowFailAfterBothWereQuarantined) {
  const std::string stale = record_json("installer", 77, "2026-12-09T09:41:25Z");
  holder(stale);
  int moves = 0;
  f.files.on_call = [&](testing::FakeFileSystem& fs, const std::string& op, const std::string&) {
    if (op == "create_new" && moves == 1) {
      fs.add_file(kLock, bytes_of(stale));  // someone else's stale file appears between the attempts
      ++moves;
    }
    if (op == "move") ++moves;
  };
  auto lock = acquire();
  ASSERT_FALSE(lock);
  EXPECT_EQ(lock.error().display_chain(), "component update lock could not be acquired");
  EXPECT_TRUE(f.files.exists("C:\\Root\\State\\component-update.stale-" + id(2)));
  EXPECT_TRUE(f.files.exists("C:\\Root\\State\\component-update.stale-" + id(4)));
  EXPECT_FALSE(f.files.exists(kLock));
}

TEST_F(LockTest, FailuresNameTheirStepOverTheOsError) {
  struct Case {
    const char* name;
    std::string fail_call;
    bool with_stale_holder;
    std::string message;
  };
  const Case cases[] = {
      {"directory", "create_directory C:\\Root\\State", false,
       "create component update lock directory C:\\Root\\State"},
      {"create", "create_new " + kLock, false, "create component update lock " + kLock},
      {"write", "write " + kLock, false, "persist component update lock " + kLock},
      {"flush", "flush " + kLock, false, "persist component update lock " + kLock},
      {"quarantine", "move " + kLock, true, "quarantine stale component update lock " + kLock},
  };
  for (const Case& c : cases) {
    FakePorts g;
    g.clock.now = kNow;
    if (c.with_stale_holder) g.files.add_file(kLock, bytes_of(record_json("installer", 77, "2026-12-09T09:41:25Z")));
    g.files.failures[c.fail_call] = kErrorAccessDenied;
    auto lock = acquire_component_update_lock(g.ports, make_data_layout(kRoot));
    ASSERT_FALSE(lock) << c.name;
    EXPECT_EQ(lock.error().outermost(), c.message) << c.name;
    EXPECT_EQ(lock.error().os_error(), kErrorAccessDenied) << c.name;
    EXPECT_EQ(lock.error().find<Failure>(), nullptr) << c.name;  // reported as SETUP_IO_FAILED
    if (c.fail_call.rfind("write", 0) == 0 || c.fail_call.rfind("flush", 0) == 0) {
      EXPECT_FALSE(g.files.exists(kLock)) << c.name;  // a half-written lock is removed
    }
  }
}

TEST_F(LockTest, ReleaseDeletesOnlyOurOwnLock) {
  auto lock = acquire();
  ASSERT_TRUE(lock);
  release_component_update_lock(f.files, *lock);
  EXPECT_FALSE(f.files.exists(kLock));
  EXPECT_FALSE(lock->held());
}

TEST_F(LockTest, ReleaseLeavesAReplacedOrUnreadableFile) {
  for (const std::string& replacement :
       {record_json("installer", 99, "2026-12-09T09:41:26Z", id(1).substr(0, 31) + "2"),
        record_json("installer", 99, "2026-12-09T09:41:26Z", id(1) + "0"), std::string("garbage")}) {
    FakePorts g;
    g.clock.now = kNow;
    auto lock = acquire_component_update_lock(g.ports, make_data_layout(kRoot));
    ASSERT_TRUE(lock);
    g.files.nodes[kLock].data = bytes_of(replacement);
    release_component_update_lock(g.files, *lock);
    EXPECT_EQ(g.files.content(kLock), replacement);
  }
}

}  // namespace
}  // namespace vor::setup
