#include "installer/journal.h"

#include <gtest/gtest.h>

#include <functional>

#include "setup_recovery/tests/fakes.h"
#include "installer/errors.h"

namespace vor::setup {
namespace {

using testing::bytes_of;
using testing::FakePorts;
using testing::FakeProtection;
using testing::text_of;

const std::string kPath = "C:\\Root\\Setup\\transaction.dat";
const std::string kDigest = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";

const std::string kRecovery =
    R"({"failureActionsOnNonCrashFailures":true,"resetPeriodSeconds":86400,"rebootMessage":null,)"
    R"("command":"C:\\fix.cmd \"x\"","actions":[{"action":"restart","delayMilliseconds":60000},)"
    R"({"action":"none","delayMilliseconds":0}]})";
const std::string kSnapshot =
    R"({"running":true,"serviceType":16,"startType":2,"errorControl":1,"binaryCommand":[67,58,0],)"
    R"("display":[65,0],"dependencies":[82,112,99,0,0],"description":[],"delayed":false,"sidType":1,)"
    R"("recovery":)" + kRecovery + "}";
// The canonical encoding of a full journal: every member present, in declared order.
const std::string kCanonical = R"({"schema":"vor.kerno.setup-transaction/v1","transactionId":"0123456789ABCDEF0123456789abcdef",)"
                               R"("committed":false,"previousFiles":[")" + kDigest + R"(",null,")" + kDigest +
                               R"(",null,null],"agent":)" + kSnapshot + R"(,"guardian":null})";

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  const auto at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  return text.replace(at, from.size(), to);
}

Bytes sealed_file(const std::string& json) { return build_journal_frame(FakeProtection::seal(json)); }

TEST(JournalFrame, RefusesEveryMalformedHeader) {
  const Bytes blob = FakeProtection::seal("{}");
  struct Case {
    const char* name;
    Bytes file;
    bool ok;
  };
  Bytes nine = bytes_of("VORKST01\x01");
  Bytes mode2 = build_journal_frame(blob);
  mode2[8] = 2;
  Bytes mode0 = build_journal_frame(blob);
  mode0[8] = 0;
  Bytes magic = build_journal_frame(blob);
  magic[7] = '2';
  Bytes largest(kJournalMaxBytes, 0xAB);
  std::copy_n(build_journal_frame(blob).begin(), 9, largest.begin());
  Bytes too_large = largest;
  too_large.push_back(0xAB);
  const Case cases[] = {
      {"ten bytes", bytes_of(std::string("VORKST01\x01x")), true},
      {"header with empty blob (9 bytes)", nine, false},
      {"empty", {}, false},
      {"mode 2 with a valid blob", mode2, false},
      {"mode 0", mode0, false},
      {"wrong magic", magic, false},
      {"lower-case magic", bytes_of(std::string("vorkst01\x01x")), false},
      {"exactly 65,536 bytes", largest, true},
      {"65,537 bytes", too_large, false},
  };
  for (const Case& c : cases) {
    auto parsed = parse_journal_frame(c.file);
    EXPECT_EQ(parsed.has_value(), c.ok) << c.name;
    if (!c.ok) {
      EXPECT_EQ(parsed.error().links().size(), 1u) << c.name;
      EXPECT_EQ(parsed.error().outermost(), kSetupRecoveryStateInvalid) << c.name;
    }
  }
  EXPECT_EQ(*parse_journal_frame(build_journal_frame(blob)), blob);
}

TEST(JournalDecode, CanonicalDocumentRoundTripsByteForByte) {
  auto journal = decode_journal(bytes_of(kCanonical));
  ASSERT_TRUE(journal);
  EXPECT_EQ(journal->transaction_id, "0123456789ABCDEF0123456789abcdef");
  ASSERT_EQ(journal->previous_files.size(), 5u);
  EXPECT_EQ(journal->previous_files[1], std::nullopt);
  ASSERT_TRUE(journal->agent);
  EXPECT_EQ(journal->agent->dependencies, (std::vector<std::uint16_t>{82, 112, 99, 0, 0}));
  EXPECT_EQ(journal->agent->recovery.command, "C:\\fix.cmd \"x\"");
  EXPECT_EQ(journal->agent->recovery.reset_period_seconds, 86400u);
  ASSERT_TRUE(journal->agent->recovery.actions);
  EXPECT_EQ(journal->agent->recovery.actions->at(0).delay_milliseconds, 60000u);
  EXPECT_FALSE(journal->guardian);
  EXPECT_EQ(encode_journal(*journal), kCanonical);
}

TEST(JournalDecode, StrictInJournalAndSnapshotLenientInRecovery) {
  struct Case {
    const char* name;
    std::string json;
    bool ok;
  };
  const std::string no_agent = replaced(kCanonical, R"("agent":)" + kSnapshot + ",", "");
  const Case cases[] = {
      {"extra member in journal", replaced(kCanonical, R"({"schema")", R"({"note":"x","schema")"), false},
      {"extra member in snapshot", replaced(kCanonical, R"({"running")", R"({"x":1,"running")"), false},
      {"extra member in recovery", replaced(kCanonical, R"({"failureActions)", R"({"x":{"y":[1]},"failureActions)"), true},
      {"extra member in action", replaced(kCanonical, R"({"action":"none")", R"({"extra":null,"action":"none")"), true},
      {"agent absent", no_agent, true},
      {"agent null", replaced(kCanonical, R"("agent":)" + kSnapshot, R"("agent":null)"), true},
      {"duplicate committed", replaced(kCanonical, R"("committed":false)", R"("committed":false,"committed":true)"), false},
      {"duplicate agent after null", replaced(kCanonical, R"("agent":)", R"("agent":null,"agent":)"), false},
      {"duplicate member in recovery", replaced(kCanonical, R"("resetPeriodSeconds":86400)",
                                                R"("resetPeriodSeconds":null,"resetPeriodSeconds":86400)"), false},
      {"missing schema", replaced(kCanonical, R"("schema":"vor.kerno.setup-transaction/v1",)", ""), false},
      {"missing previousFiles", replaced(kCanonical, R"("previousFiles":[")" + kDigest + R"(",null,")" + kDigest + R"(",null,null],)", ""), false},
      {"missing snapshot member", replaced(kCanonical, R"("delayed":false,)", ""), false},
      {"recovery null", replaced(kCanonical, R"("recovery":)" + kRecovery, R"("recovery":null)"), false},
      {"recovery optional members absent",
       replaced(kCanonical, kRecovery, R"({"failureActionsOnNonCrashFailures":false})"), true},
      {"recovery without required flag", replaced(kCanonical, R"("failureActionsOnNonCrashFailures":true,)", ""), false},
      {"committed as number", replaced(kCanonical, R"("committed":false)", R"("committed":0)"), false},
      {"UTF-16 unit above 65535", replaced(kCanonical, "[67,58,0]", "[67,65536,0]"), false},
      {"UTF-16 unit negative", replaced(kCanonical, "[67,58,0]", "[67,-1,0]"), false},
      {"UTF-16 unit float", replaced(kCanonical, "[67,58,0]", "[67,58.0,0]"), false},
      {"serviceType above 32 bits", replaced(kCanonical, R"("serviceType":16)", R"("serviceType":4294967296)"), false},
      {"previous file as number", replaced(kCanonical, R"(null,null])", R"(null,7])"), false},
      {"delay above 32 bits still decodes", replaced(kCanonical, R"("delayMilliseconds":0)", R"("delayMilliseconds":18446744073709551615)"), true},
      {"whitespace around", " \n" + kCanonical + "\r\n\t ", true},
      {"a second document after it", kCanonical + "{}", false},
      {"byte-order mark", "\xEF\xBB\xBF" + kCanonical, false},
      {"not an object", "[]", false},
      {"invalid UTF-8 in a string", replaced(kCanonical, "fix.cmd", "fix\xFF.cmd"), false},
  };
  for (const Case& c : cases) {
    auto decoded = decode_journal(bytes_of(c.json));
    EXPECT_EQ(decoded.has_value(), c.ok) << c.name;
    if (!decoded) {
      EXPECT_EQ(decoded.error().display_chain(), kSetupRecoveryStateInvalid) << c.name;
    }
  }
}

TEST(JournalValidate, RulesInOrder) {
  Journal base = *decode_journal(bytes_of(kCanonical));
  struct Case {
    const char* name;
    std::function<void(Journal&)> change;
    bool ok;
  };
  const Case cases[] = {
      {"as decoded (mixed-case id)", [](Journal&) {}, true},
      {"seven entries", [](Journal& j) { j.previous_files.resize(7); }, true},
      {"six entries", [](Journal& j) { j.previous_files.resize(6); }, false},
      {"four entries", [](Journal& j) { j.previous_files.resize(4); }, false},
      {"schema v2", [](Journal& j) { j.schema = "vor.kerno.setup-transaction/v2"; }, false},
      {"schema with trailing blank", [](Journal& j) { j.schema += " "; }, false},
      {"31-character id", [](Journal& j) { j.transaction_id.pop_back(); }, false},
      {"33-character id", [](Journal& j) { j.transaction_id += "0"; }, false},
      {"id with a non-hex digit", [](Journal& j) { j.transaction_id[5] = 'g'; }, false},
      {"upper-case digest", [](Journal& j) { j.previous_files[0] = std::string(64, 'A'); }, true},
      {"63-digit digest", [](Journal& j) { j.previous_files[0]->pop_back(); }, false},
      {"digest with a blank", [](Journal& j) { (*j.previous_files[2])[10] = ' '; }, false},
      {"all entries null", [](Journal& j) { j.previous_files.assign(5, std::nullopt); }, true},
  };
  for (const Case& c : cases) {
    Journal j = base;
    c.change(j);
    auto valid = validate_journal(j);
    EXPECT_EQ(valid.has_value(), c.ok) << c.name;
    if (!valid) {
      EXPECT_EQ(valid.error().display_chain(), kSetupRecoveryStateInvalid) << c.name;
    }
  }
}

TEST(ReadProtectedJournal, SealedFileIsReadWithoutEntropyAndUiForbidden) {
  FakePorts f;
  f.files.add_file(kPath, sealed_file(kCanonical));
  auto journal = read_protected_journal(f.files, f.protection, kPath);
  ASSERT_TRUE(journal);
  EXPECT_EQ(encode_journal(*journal), kCanonical);
  EXPECT_EQ(f.protection.unprotect_flags, std::vector<std::uint32_t>{DataProtection::kUiForbidden});
  EXPECT_FALSE(f.protection.entropy_seen);
  EXPECT_EQ(f.files.last_read_limit, kJournalMaxBytes + 1);  // bounded at the read itself
}

TEST(ReadProtectedJournal, EveryFailureIsABareStateInvalid) {
  struct Case {
    const char* name;
    std::function<void(FakePorts&)> setup;
  };
  const Case cases[] = {
      {"missing file", [](FakePorts&) {}},
      {"read error", [](FakePorts& f) {
         f.files.add_file(kPath, sealed_file(kCanonical));
         f.files.failures["read_file " + kPath] = 5;
       }},
      {"grew past the limit after the size check", [](FakePorts& f) {
         Bytes big = sealed_file(kCanonical);
         big.resize(kJournalMaxBytes + 10, ' ');
         f.files.add_file(kPath, big);
       }},
      {"DPAPI refuses", [](FakePorts& f) {
         f.files.add_file(kPath, sealed_file(kCanonical));
         f.protection.unprotect_error = 13;
       }},
      {"tampered blob", [](FakePorts& f) {
         Bytes file = sealed_file(kCanonical);
         file[9] ^= 1;
         f.files.add_file(kPath, file);
       }},
      {"plaintext not JSON", [](FakePorts& f) { f.files.add_file(kPath, sealed_file("not json")); }},
  };
  for (const Case& c : cases) {
    FakePorts f;
    c.setup(f);
    auto journal = read_protected_journal(f.files, f.protection, kPath);
    ASSERT_FALSE(journal) << c.name;
    EXPECT_EQ(journal.error().display_chain(), kSetupRecoveryStateInvalid) << c.name;
    EXPECT_EQ(journal.error().os_error(), std::nullopt) << c.name;
  }
}

TEST(CommitJournal, WritesTheCanonicalCommittedEncodingProtectedInMachineScope) {
  FakePorts f;
  f.files.add_file(kPath, sealed_file(kCanonical));
  Journal journal = *read_protected_journal(f.files, f.protection, kPath);
  ASSERT_TRUE(commit_journal(f.ports, "C:\\Root", journal));
  EXPECT_TRUE(journal.committed);
  EXPECT_EQ(f.protection.protect_flags,
            std::vector<std::uint32_t>{DataProtection::kUiForbidden | DataProtection::kLocalMachine});
  EXPECT_FALSE(f.protection.entropy_seen);
  const std::string committed = replaced(kCanonical, R"("committed":false)", R"("committed":true)");
  EXPECT_EQ(text_of(f.files.nodes.at(kPath).data), text_of(sealed_file(committed)));
  EXPECT_EQ(f.files.children("C:\\Root\\Setup"), std::vector<std::string>{"transaction.dat"});
}

TEST(CommitJournal, AbsentMembersAreWrittenAsNull) {
  FakePorts f;
  Journal journal = *decode_journal(bytes_of(
      R"({"schema":"vor.kerno.setup-transaction/v1","transactionId":"00000000000000000000000000000000",)"
      R"("committed":false,"previousFiles":[null,null,null,null,null,null,null],)"
      R"("guardian":)" + replaced(kSnapshot, kRecovery, R"({"failureActionsOnNonCrashFailures":false,"x":1})") + "}"));
  ASSERT_TRUE(commit_journal(f.ports, "C:\\Root", journal));
  auto blob = parse_journal_frame(f.files.nodes.at(kPath).data);
  ASSERT_TRUE(blob);
  EXPECT_EQ(text_of(*blob).substr(7),
            R"({"schema":"vor.kerno.setup-transaction/v1","transactionId":"00000000000000000000000000000000",)"
            R"("committed":true,"previousFiles":[null,null,null,null,null,null,null],"agent":null,"guardian":)" +
                replaced(kSnapshot, kRecovery,
                         R"({"failureActionsOnNonCrashFailures":false,"resetPeriodSeconds":null,)"
                         R"("rebootMessage":null,"command":null,"actions":null})") + "}");
}

TEST(CommitJournal, FailuresKeepTheirCauseAndTheOldFile) {
  {
    FakePorts f;
    Journal journal = *decode_journal(bytes_of(kCanonical));
    journal.previous_files.resize(6);
    auto committed = commit_journal(f.ports, "C:\\Root", journal);
    ASSERT_FALSE(committed);
    EXPECT_EQ(committed.error().display_chain(), kSetupRecoveryStateInvalid);
    EXPECT_FALSE(f.files.exists(kPath));
  }
  {
    FakePorts f;
    f.protection.protect_error = 87;
    Journal journal = *decode_journal(bytes_of(kCanonical));
    auto committed = commit_journal(f.ports, "C:\\Root", journal);
    ASSERT_FALSE(committed);
    EXPECT_EQ(committed.error().outermost(), "protect state with Windows DPAPI");
    EXPECT_EQ(committed.error().os_error(), 87u);
  }
  {
    FakePorts f;
    f.files.add_file(kPath, sealed_file(kCanonical));
    f.files.failures["move C:\\Root\\Setup\\.state-00000000000000000000000000000001.tmp"] = 5;
    Journal journal = *decode_journal(bytes_of(kCanonical));
    auto committed = commit_journal(f.ports, "C:\\Root", journal);
    ASSERT_FALSE(committed);
    EXPECT_EQ(committed.error().outermost(), "atomically replace protected state");
    EXPECT_EQ(committed.error().os_error(), 5u);
    EXPECT_EQ(f.files.nodes.at(kPath).data, sealed_file(kCanonical));
    EXPECT_EQ(f.files.children("C:\\Root\\Setup"), std::vector<std::string>{"transaction.dat"});
  }
}

}  // namespace
}  // namespace vor::setup
