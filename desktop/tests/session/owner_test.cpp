#include "session/owner.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vor::desktop {
namespace {

constexpr std::string_view kRecord =
    R"({"protocol":1,"instance":"0123456789abcdef0123456789abcdef","pid":4242,"created":133000000000000001,)"
    R"("sessionId":1,"userSid":"S-1-5-21-0-0-0-1000"})";

Owner sample_owner() {
  return Owner{1, "0123456789abcdef0123456789abcdef", 4242, 133000000000000001ull, 1, "S-1-5-21-0-0-0-1000"};
}

std::string code_of(const Error& e) { return e.outermost(); }

TEST(OwnerRecord, EncodesCompactlyInDeclaredOrderAndDecodesBack) {
  EXPECT_EQ(encode_owner(sample_owner()), kRecord);
  auto decoded = decode_owner(kRecord);
  ASSERT_TRUE(decoded) << decoded.error().display_chain();
  EXPECT_EQ(*decoded, sample_owner());
  // Members in any order and surrounding whitespace are accepted.
  auto shuffled = decode_owner(
      " \n{\"userSid\":\"S-1-5-21-0-0-0-1000\",\"sessionId\":1,\"created\":133000000000000001,\"pid\":4242,"
      "\"instance\":\"0123456789abcdef0123456789abcdef\",\"protocol\":1}\r\n\t ");
  ASSERT_TRUE(shuffled) << shuffled.error().display_chain();
  EXPECT_EQ(*shuffled, sample_owner());
  // The largest values of each integer field survive.
  const Owner max{4294967295u, "ABCDEF0123456789ABCDEF0123456789", 4294967295u, 18446744073709551615ull, 4294967295u,
                  "S-1-5-18"};
  auto back = decode_owner(encode_owner(max));
  ASSERT_TRUE(back) << back.error().display_chain();
  EXPECT_EQ(*back, max);
}

TEST(OwnerRecord, StrictDecodeRefusesEveryMalformedRecord) {
  const std::string base(kRecord);
  auto replaced = [&](std::string_view from, std::string_view to) {
    std::string s = base;
    s.replace(s.find(from), from.size(), to);
    return s;
  };
  const std::pair<const char*, std::string> cases[] = {
      {"not json", "session"},
      {"empty", ""},
      {"an array", "[1]"},
      {"trailing text", base + "x"},
      {"a second document", base + "{}"},
      {"byte-order mark", "\xEF\xBB\xBF" + base},
      {"extra key", replaced("\"userSid\"", "\"extra\":1,\"userSid\"")},
      {"duplicate key", replaced("\"pid\":4242", "\"pid\":4242,\"pid\":4242")},
      {"duplicate after null", replaced("\"pid\":4242", "\"pid\":null,\"pid\":4242")},
      {"missing key", replaced(",\"sessionId\":1", "")},
      {"null field", replaced("\"sessionId\":1", "\"sessionId\":null")},
      {"pid over u32", replaced("4242", "4294967296")},
      {"negative session", replaced("\"sessionId\":1", "\"sessionId\":-1")},
      {"float pid", replaced("4242", "4242.0")},
      {"exponent created", replaced("133000000000000001", "1.33e17")},
      {"created over u64", replaced("133000000000000001", "18446744073709551616")},
      {"created as a string", replaced("133000000000000001", "\"133000000000000001\"")},
      {"instance as a number", replaced("\"0123456789abcdef0123456789abcdef\"", "1")},
      {"protocol as a bool", replaced("\"protocol\":1", "\"protocol\":true")},
  };
  for (const auto& [name, bytes] : cases) {
    SCOPED_TRACE(name);
    auto decoded = decode_owner(bytes);
    ASSERT_FALSE(decoded);
    EXPECT_EQ(code_of(decoded.error()), "DESKTOP_STATE_INVALID");
  }
}

TEST(OwnerRecord, PipeNameRule) {
  struct Case {
    const char* name;
    void (*change)(Owner&);
    std::optional<std::string> pipe;  // nullopt: refused
  };
  const Case cases[] = {
      {"valid", [](Owner&) {}, "\\\\.\\pipe\\Vor.Desktop.Session.0123456789abcdef0123456789abcdef"},
      {"upper-case instance kept as stored", [](Owner& o) { o.instance = "0123456789ABCDEF0123456789ABCDEF"; },
       "\\\\.\\pipe\\Vor.Desktop.Session.0123456789ABCDEF0123456789ABCDEF"},
      {"31 characters", [](Owner& o) { o.instance.pop_back(); }, std::nullopt},
      {"33 characters", [](Owner& o) { o.instance += "0"; }, std::nullopt},
      {"a g", [](Owner& o) { o.instance[5] = 'g'; }, std::nullopt},
      {"a hyphen", [](Owner& o) { o.instance[8] = '-'; }, std::nullopt},
      {"protocol 2", [](Owner& o) { o.protocol = 2; }, std::nullopt},
      {"protocol 0", [](Owner& o) { o.protocol = 0; }, std::nullopt},
      {"session 0", [](Owner& o) { o.session_id = 0; }, std::nullopt},
      {"SID of exactly the prefix", [](Owner& o) { o.user_sid = "S-1-"; },
       "\\\\.\\pipe\\Vor.Desktop.Session.0123456789abcdef0123456789abcdef"},
      {"SID too short", [](Owner& o) { o.user_sid = "S-1"; }, std::nullopt},
      {"SID in lower case", [](Owner& o) { o.user_sid = "s-1-5-18"; }, std::nullopt},
      {"SID empty", [](Owner& o) { o.user_sid.clear(); }, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Owner o = sample_owner();
    c.change(o);
    auto name = session_pipe_name(o);
    if (c.pipe) {
      ASSERT_TRUE(name) << name.error().display_chain();
      EXPECT_EQ(*name, *c.pipe);
    } else {
      ASSERT_FALSE(name);
      EXPECT_EQ(code_of(name.error()), "DESKTOP_STATE_INVALID");
    }
  }
}

TEST(OwnerRecord, PipeAccessListGrantsOnlyLocalSystemAndTheUser) {
  EXPECT_EQ(session_pipe_sddl("S-1-5-21-0-0-0-1000"), "D:P(A;;GA;;;SY)(A;;GA;;;S-1-5-21-0-0-0-1000)");
  EXPECT_EQ(session_owner_temporary_name(sample_owner()), "session-0123456789abcdef0123456789abcdef.tmp");
}

// The state directory's file operations, scripted per case; every call is
// logged so a case can see what was written, moved and removed.
class FakeOwnerFiles final : public OwnerRecordFiles {
 public:
  std::map<std::string, std::string> files;
  std::vector<std::string> log;
  std::optional<std::string> unsafe_path;          // check_state_path refuses this path
  bool write_fails = false;
  std::optional<std::uint32_t> replace_error;
  std::optional<std::uint32_t> probe_error;
  std::optional<std::uint32_t> delete_error;
  bool vanish_before_read = false;                 // deleted between the probe and the read

  Status check_state_path(const std::string& path) override {
    log.push_back("check " + path);
    if (unsafe_path && path == *unsafe_path) return fail("DESKTOP_STATE_UNSAFE");
    return {};
  }
  Status write_whole_file(const std::string& path, std::string_view bytes) override {
    log.push_back("write " + path);
    if (write_fails) return fail(Error::os(112).context("DESKTOP_STATE_WRITE_FAILED"));
    files[path] = std::string(bytes);
    return {};
  }
  Win32<void> replace_file(const std::string& from, const std::string& to) override {
    log.push_back("replace " + from + " -> " + to);
    if (replace_error) return win32_error(*replace_error);
    files[to] = files[from];
    files.erase(from);
    return {};
  }
  Win32<void> delete_file(const std::string& path) override {
    log.push_back("delete " + path);
    if (delete_error) return win32_error(*delete_error);
    if (files.erase(path) == 0) return win32_error(2);
    return {};
  }
  Win32<bool> exists(const std::string& path) override {
    log.push_back("probe " + path);
    if (probe_error) return win32_error(*probe_error);
    return files.contains(path);
  }
  Result<std::string> read_bounded(const std::string& path, std::size_t limit) override {
    log.push_back("read " + path);
    if (vanish_before_read) files.erase(path);
    auto it = files.find(path);
    if (it == files.end()) return fail(Error::os(2).context("DESKTOP_FILE_UNAVAILABLE"));
    if (it->second.size() > limit) return fail("DESKTOP_FILE_TOO_LARGE");
    return it->second;
  }
};

constexpr const char* kRoot = "C:\\state\\VorDesktop-v1";
constexpr const char* kRecordPath = "C:\\state\\VorDesktop-v1\\session.owner";
constexpr const char* kTemporary = "C:\\state\\VorDesktop-v1\\session-0123456789abcdef0123456789abcdef.tmp";

TEST(OwnerRecordFile, WriteGoesThroughTheTemporaryFileAndAReplace) {
  FakeOwnerFiles fs;
  ASSERT_TRUE(write_session_owner(fs, kRoot, sample_owner()));
  EXPECT_EQ(fs.log, (std::vector<std::string>{std::string("check ") + kRecordPath, std::string("write ") + kTemporary,
                                              std::string("replace ") + kTemporary + " -> " + kRecordPath}));
  EXPECT_EQ(fs.files, (std::map<std::string, std::string>{{kRecordPath, std::string(kRecord)}}));
  auto read = read_session_owner(fs, kRoot);
  ASSERT_TRUE(read) << read.error().display_chain();
  EXPECT_EQ(*read, sample_owner());
}

TEST(OwnerRecordFile, WriteFailures) {
  {
    SCOPED_TRACE("unsafe path: nothing written");
    FakeOwnerFiles fs;
    fs.unsafe_path = kRecordPath;
    auto s = write_session_owner(fs, kRoot, sample_owner());
    ASSERT_FALSE(s);
    EXPECT_EQ(code_of(s.error()), "DESKTOP_STATE_UNSAFE");
    EXPECT_TRUE(fs.files.empty());
    EXPECT_EQ(fs.log.size(), 1u);
  }
  {
    SCOPED_TRACE("write fails: no replace");
    FakeOwnerFiles fs;
    fs.write_fails = true;
    auto s = write_session_owner(fs, kRoot, sample_owner());
    ASSERT_FALSE(s);
    EXPECT_EQ(code_of(s.error()), "DESKTOP_STATE_WRITE_FAILED");
    EXPECT_EQ(fs.log.back(), std::string("write ") + kTemporary);
  }
  {
    SCOPED_TRACE("replace fails: temporary removed, the old record kept");
    FakeOwnerFiles fs;
    fs.files[kRecordPath] = "old";
    fs.replace_error = 5;
    auto s = write_session_owner(fs, kRoot, sample_owner());
    ASSERT_FALSE(s);
    EXPECT_EQ(code_of(s.error()), "DESKTOP_STATE_WRITE_FAILED");
    EXPECT_EQ(s.error().os_error(), std::optional<std::uint32_t>(5));
    EXPECT_EQ(fs.log.back(), std::string("delete ") + kTemporary);
    EXPECT_EQ(fs.files, (std::map<std::string, std::string>{{kRecordPath, "old"}}));
  }
}

TEST(OwnerRecordFile, ReadOutcomes) {
  struct Case {
    const char* name;
    void (*script)(FakeOwnerFiles&);
    std::string code;                       // "" when the read succeeds
    std::optional<std::uint32_t> os_error;  // when the failure carries one
  };
  const Case cases[] = {
      {"valid", [](FakeOwnerFiles& fs) { fs.files[kRecordPath] = std::string(kRecord); }, ""},
      {"absent", [](FakeOwnerFiles&) {}, "DESKTOP_SESSION_NOT_RUNNING"},
      {"vanished between probe and read",
       [](FakeOwnerFiles& fs) {
         fs.files[kRecordPath] = std::string(kRecord);
         fs.vanish_before_read = true;
       },
       "DESKTOP_SESSION_NOT_RUNNING"},
      {"probe fails otherwise: the I/O error without a code of its own",
       [](FakeOwnerFiles& fs) { fs.probe_error = 5; }, "probing the owner record failed", 5},
      {"unsafe state path", [](FakeOwnerFiles& fs) { fs.unsafe_path = kRecordPath; }, "DESKTOP_STATE_UNSAFE"},
      {"4,096 bytes read",
       [](FakeOwnerFiles& fs) {
         std::string padded(kRecord);
         padded += std::string(4096 - padded.size(), ' ');
         fs.files[kRecordPath] = padded;
       },
       ""},
      {"4,097 bytes refused by the bounded reader",
       [](FakeOwnerFiles& fs) {
         std::string padded(kRecord);
         padded += std::string(4097 - padded.size(), ' ');
         fs.files[kRecordPath] = padded;
       },
       "DESKTOP_FILE_TOO_LARGE"},
      {"undecodable", [](FakeOwnerFiles& fs) { fs.files[kRecordPath] = "{"; }, "DESKTOP_STATE_INVALID"},
      {"decodes but fails the name rule",
       [](FakeOwnerFiles& fs) {
         Owner o = sample_owner();
         o.session_id = 0;
         fs.files[kRecordPath] = encode_owner(o);
       },
       "DESKTOP_STATE_INVALID"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FakeOwnerFiles fs;
    c.script(fs);
    auto owner = read_session_owner(fs, kRoot);
    if (c.code.empty()) {
      ASSERT_TRUE(owner) << owner.error().display_chain();
      EXPECT_EQ(*owner, sample_owner());
    } else {
      ASSERT_FALSE(owner);
      EXPECT_EQ(code_of(owner.error()), c.code);
      if (c.os_error) {
        EXPECT_EQ(owner.error().os_error(), c.os_error);
      }
    }
  }
}

TEST(OwnerRecordFile, DeleteTreatsAnAbsentRecordAsDeleted) {
  FakeOwnerFiles fs;
  fs.files[kRecordPath] = std::string(kRecord);
  EXPECT_TRUE(delete_session_owner(fs, kRoot));
  EXPECT_TRUE(fs.files.empty());
  EXPECT_TRUE(delete_session_owner(fs, "C:\\state\\VorDesktop-v1\\"));  // already gone; separator not doubled
  EXPECT_EQ(fs.log.back(), std::string("delete ") + kRecordPath);
  fs.delete_error = 5;
  auto s = delete_session_owner(fs, kRoot);
  ASSERT_FALSE(s);
  EXPECT_EQ(code_of(s.error()), "DESKTOP_STATE_WRITE_FAILED");
  EXPECT_EQ(s.error().os_error(), std::optional<std::uint32_t>(5));
}

}  // namespace
}  // namespace vor::desktop
