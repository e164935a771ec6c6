#include "installer_recovery/recovery.h"

#include <gtest/gtest.h>

#include <functional>

#include "common/crypto.h"
#include "installer/errors.h"
#include "installer/service_control.h"
#include "installer_recovery/reparse_guard.h"
#include "setup_recovery/tests/fakes.h"
#include "setup_recovery/tests/service_fakes.h"

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

// --- the whole recovery through fakes ---

using testing::FakeChildRunner;
using testing::FakeScm;
using testing::FakeService;
using testing::FakeTicker;
using testing::run_to_end;
using testing::units;

const std::string kInstall = "C:\\Client";
const std::string kTid = "00112233445566778899aabbccddeeff";
const std::string kBackups = kRoot + "\\Setup\\Recovery\\" + kTid;
const std::string kTool = "C:\\Windows\\System32\\schtasks.exe";
const std::string kQuery = kTool + " /Query /TN \\VorKernoSetupRecovery /XML";
const std::string kDelete = kTool + " /Delete /TN \\VorKernoSetupRecovery /F";
const std::string kTaskXml =
    "<?xml version=\"1.0\" encoding=\"UTF-16\"?><Task><Actions><Exec><Command>" + kRoot +
    "\\Setup\\vor-kerno-setup-recovery.exe</Command><Arguments>--recover</Arguments></Exec></Actions></Task>";
const std::vector<std::string> kTargets = {
    kInstall + "\\VorKerno.Agent.exe",
    kInstall + "\\VorKerno.Guardian.exe",
    kRoot + "\\PackageCache\\current\\VorKerno.Agent.exe",
    kRoot + "\\PackageCache\\current\\manifest.json",
    kRoot + "\\Setup\\last-install.json",
    kInstall + "\\Vor.Marionet.exe",
    kInstall + "\\marionet-release.json",
};

std::string sha_hex(const std::string& text) { return to_hex(*sha256(text)); }

Snapshot saved_service(bool running, std::u16string_view command) {
  Snapshot s;
  s.running = running;
  s.service_type = 0x10;
  s.start_type = 2;
  s.error_control = 1;
  s.binary_command = units(command);
  s.display = units(u"Vor Kerno");
  s.dependencies = {0, 0};
  s.description = units(u"d");
  s.sid_type = 1;
  return s;
}

// A client in the middle of an update: the new files in place, the old ones
// backed up, the journal uncommitted, both services running.
struct Client {
  Client() {
    journal.schema = std::string(kJournalSchema);
    journal.transaction_id = kTid;
    for (std::size_t i = 0; i < 7; ++i) {
      f.files.add_file(kTargets[i], testing::bytes_of("new " + std::to_string(i)));
      if (i == 1) {
        journal.previous_files.push_back(std::nullopt);  // the guardian's exe did not exist before
      } else {
        const std::string old = "old " + std::to_string(i);
        f.files.add_file(kBackups + "\\" + std::to_string(i), testing::bytes_of(old));
        journal.previous_files.push_back(sha_hex(old));
      }
    }
    journal.agent = saved_service(true, u"C:\\Client\\VorKerno.Agent.exe --old");
    journal.guardian = std::nullopt;  // the update created the guardian service
    scm.services["VorKernoAgent"].status.current_state = kStateRunning;
    scm.services["VorKernoAgent"].config.binary_path = units(u"C:\\Client\\VorKerno.Agent.exe --new");
    scm.services["VorKernoGuardian"].status.current_state = kStateRunning;
    runner.results = {std::string(kTaskXml), std::string("SUCCESS")};
  }
  void write_journal() {
    f.files.add_file(kJournal, build_journal_frame(FakeProtection::seal(encode_journal(journal))));
  }
  Status recover() {
    write_journal_if_needed();
    RecoveryContext context{f.ports, scm, ticker, runner, system_root};
    return run_to_end(recover_transaction(context, make_data_layout(kRoot), kInstall));
  }
  void write_journal_if_needed() {
    if (!journal_written_) write_journal();
    journal_written_ = true;
  }
  std::optional<Journal> journal_on_disk() {
    if (!f.files.exists(kJournal)) return std::nullopt;
    auto read = read_protected_journal(f.files, f.protection, kJournal);
    return read ? std::optional<Journal>(*read) : std::nullopt;
  }
  static std::string code_of(const Status& s) {
    const Failure* c = s ? nullptr : s.error().find<Failure>();
    return c ? std::string(c->code) : "";
  }
  // Everything that changed the disk, in order.
  std::vector<std::string> writes() const {
    std::vector<std::string> out;
    for (const auto& c : f.files.calls) {
      if (c.rfind("move ", 0) == 0 || c.rfind("delete ", 0) == 0 || c.rfind("remove_directory ", 0) == 0 ||
          c.rfind("create_new ", 0) == 0) {
        out.push_back(c);
      }
    }
    return out;
  }

  FakePorts f;
  FakeScm scm;
  FakeTicker ticker;
  FakeChildRunner runner;
  std::optional<std::string> system_root;
  Journal journal;
  bool journal_written_ = false;
};

class RecoveryTest : public ::testing::Test, public Client {};

TEST_F(RecoveryTest, RollbackRestoresFilesAndServicesThenCleansUp) {
  std::vector<std::string> events;
  scm.on_call = [&](FakeScm&, const std::string& op) {
    if (op.rfind("stop ", 0) == 0 || op.rfind("config ", 0) == 0 || op.rfind("start ", 0) == 0 ||
        op.rfind("delete ", 0) == 0) {
      events.push_back("scm " + op);
    }
  };
  f.files.on_call = [&](testing::FakeFileSystem&, const std::string& op, const std::string& path) {
    if (op == "open_read" || op == "move" || op == "delete" || op == "remove_directory") {
      events.push_back(op + " " + path);
    }
  };
  runner.on_run = [&](const ChildRunRequest& r) { events.push_back("run " + r.arguments[0]); };
  ASSERT_TRUE(recover()) << recover().error().display_chain();

  // Files: the old content back, the file that did not exist removed.
  for (std::size_t i = 0; i < 7; ++i) {
    EXPECT_EQ(f.files.content(kTargets[i]), i == 1 ? "<absent>" : "old " + std::to_string(i)) << i;
  }
  // Services: the agent's changed command line rolled back and it runs again;
  // the guardian, which the update created, is gone.
  const FakeService& agent = scm.services.at("VorKernoAgent");
  EXPECT_EQ(agent.config.binary_path, units(u"C:\\Client\\VorKerno.Agent.exe --old"));
  EXPECT_EQ(agent.config.start_type, 2u);
  EXPECT_EQ(agent.status.current_state, kStateRunning);
  EXPECT_EQ(scm.services.count("VorKernoGuardian"), 0u);
  // Backups, their directory and the journal are gone; Recovery stays; the task was deleted.
  EXPECT_FALSE(f.files.exists(kBackups));
  EXPECT_TRUE(f.files.exists(kRoot + "\\Setup\\Recovery"));
  EXPECT_FALSE(f.files.exists(kJournal));
  EXPECT_EQ(runner.runs, (std::vector<std::string>{kQuery, kDelete}));
  EXPECT_EQ(runner.timeouts, (std::vector<std::chrono::nanoseconds>{std::chrono::seconds(20), std::chrono::seconds(20)}));

  // The order: verify, stop guardian and agent, disable both, files, configuration, start, commit, clean-up, task.
  auto at = [&](const std::string& e) {
    auto it = std::find(events.begin(), events.end(), e);
    EXPECT_NE(it, events.end()) << e;
    return it - events.begin();
  };
  const std::string journal_commit_prefix = "move " + kRoot + "\\Setup\\.state-";
  std::ptrdiff_t commit = -1;
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (events[i].rfind(journal_commit_prefix, 0) == 0) commit = static_cast<std::ptrdiff_t>(i);
  }
  EXPECT_LT(at("open_read " + kBackups + "\\0"), at("scm stop VorKernoGuardian"));
  EXPECT_LT(at("scm stop VorKernoGuardian"), at("scm stop VorKernoAgent"));
  EXPECT_LT(at("scm stop VorKernoAgent"), at("scm config VorKernoGuardian"));
  EXPECT_LT(at("scm config VorKernoGuardian"), at("delete " + kTargets[1]));
  EXPECT_LT(at("delete " + kTargets[1]), at("scm delete VorKernoGuardian"));
  EXPECT_LT(at("scm delete VorKernoGuardian"), at("scm start VorKernoAgent"));
  EXPECT_LT(at("scm start VorKernoAgent"), commit);
  EXPECT_LT(commit, at("delete " + kBackups + "\\0"));
  EXPECT_LT(at("delete " + kBackups + "\\6"), at("remove_directory " + kBackups));
  EXPECT_LT(at("remove_directory " + kBackups), at("delete " + kJournal));
  EXPECT_LT(at("delete " + kJournal), at("run /Query"));
  // No temporary file is left anywhere.
  for (const auto& [path, node] : f.files.nodes) EXPECT_EQ(path.find(".tmp"), std::string::npos) << path;
}

TEST_F(RecoveryTest, ACommittedJournalTouchesNoServiceAndIsCleanedUp) {
  journal.committed = true;
  ASSERT_TRUE(recover());
  EXPECT_TRUE(scm.calls.empty());
  EXPECT_EQ(f.files.content(kTargets[0]), "new 0");
  EXPECT_FALSE(f.files.exists(kBackups));
  EXPECT_FALSE(f.files.exists(kJournal));
  EXPECT_EQ(runner.runs, (std::vector<std::string>{kQuery, kDelete}));
}

TEST_F(RecoveryTest, NoJournalOnlyRemovesTheTask) {
  journal_written_ = true;  // no journal
  system_root = "D:\\Win";
  runner.results = {fail(failure_over(kSetupChildExitFailed, child_exit(1)))};
  ASSERT_TRUE(recover());  // no task either: nothing to do
  EXPECT_EQ(runner.runs, std::vector<std::string>{"D:\\Win\\System32\\schtasks.exe /Query /TN \\VorKernoSetupRecovery /XML"});
  EXPECT_TRUE(scm.calls.empty());
  EXPECT_TRUE(writes().empty());
}

TEST_F(RecoveryTest, FiveEntriesNeverTouchTheMarionetFiles) {
  journal.previous_files.resize(5);
  f.files.nodes.erase(kBackups + "\\6");  // backup 5 is a stray file now, not one of the five
  auto r = recover();
  // Backups 0 to 4 are removed; the stray file keeps the directory, whose removal fails.
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().os_error(), kErrorDirNotEmpty);
  EXPECT_EQ(f.files.content(kTargets[5]), "new 5");
  EXPECT_EQ(f.files.content(kTargets[6]), "new 6");
  EXPECT_EQ(f.files.content(kTargets[4]), "old 4");
  EXPECT_EQ(f.files.children(kBackups), std::vector<std::string>{"5"});
  // The journal stays, committed, and the task too; the next run finds it committed.
  ASSERT_TRUE(journal_on_disk());
  EXPECT_TRUE(journal_on_disk()->committed);
  EXPECT_TRUE(runner.runs.empty());
  f.files.nodes.erase(kBackups + "\\5");
  scm.calls.clear();
  ASSERT_TRUE(recover());
  EXPECT_TRUE(scm.calls.empty());
  EXPECT_FALSE(f.files.exists(kJournal));
  EXPECT_EQ(runner.runs, (std::vector<std::string>{kQuery, kDelete}));
}

TEST_F(RecoveryTest, AFailedRunLeavesJournalBackupsAndTask) {
  struct Case {
    const char* name;
    std::function<void(Client&)> setup;
    std::string code;
    std::optional<std::uint32_t> win32;
    bool services_touched;
    bool services_disabled;  // left stopped and disabled
  };
  const Case cases[] = {
      {"a backup differs by one byte",
       [](Client& t) { t.f.files.nodes[kBackups + "\\3"].data.back() ^= 1; },
       std::string(kSetupRecoveryStateInvalid), std::nullopt, false, false},
      {"a backup is missing", [](Client& t) { t.f.files.nodes.erase(kBackups + "\\2"); }, "", 2, false, false},
      {"a backup over 64 MiB",
       [](Client& t) { t.f.files.nodes[kBackups + "\\0"].reported_size = 67'108'865; },
       std::string(kSetupRecoveryStateInvalid), std::nullopt, false, false},
      {"a junction above a target",
       [](Client& t) { t.f.files.nodes[kRoot + "\\PackageCache"].extra_attributes = kFileAttributeReparsePoint; },
       std::string(kSetupRecoveryStateInvalid), std::nullopt, false, false},
      {"an upper-case digest never matches its backup",
       [](Client& t) {
         for (auto& c : *t.journal.previous_files[0]) c = static_cast<char>(std::toupper(c));
       },
       std::string(kSetupRecoveryStateInvalid), std::nullopt, false, false},
      {"a service does not stop",
       [](Client& t) { t.scm.services["VorKernoGuardian"].stop_queries = -1; },
       std::string(kSetupServiceStopTimeout), std::nullopt, true, false},
      {"a restored file cannot be written",
       [](Client& t) {
         t.f.files.on_call = [](testing::FakeFileSystem& fs, const std::string& op, const std::string& path) {
           if (op == "write" && path.find(".setup-recovery-") != std::string::npos) fs.failures[op + " " + path] = 112;
         };
       },
       "", 112, true, true},
      {"the saved configuration is refused (Wine answers 124)",
       [](Client& t) { t.scm.failures["delayed VorKernoAgent"] = 124; }, "", 124, true, false},
      {"the agent does not start",
       [](Client& t) {
         t.scm.services["VorKernoAgent"].start_error = 1053;
       },
       "", std::nullopt, true, false},
      {"the commit cannot protect the journal",
       [](Client& t) { t.f.protection.protect_error = 5; }, "", 5, true, false},
  };
  for (const Case& c : cases) {
    Client t;
    c.setup(t);
    t.write_journal_if_needed();
    const Bytes journal_before = t.f.files.nodes[kJournal].data;
    auto r = t.recover();
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(code_of(r), c.code) << c.name << ": " << r.error().display_chain();
    EXPECT_EQ(r.error().os_error(), c.win32) << c.name;
    EXPECT_EQ(t.f.files.nodes[kJournal].data, journal_before) << c.name;  // still uncommitted
    EXPECT_TRUE(t.f.files.exists(kBackups + "\\0")) << c.name;
    EXPECT_TRUE(t.runner.runs.empty()) << c.name;  // the task stays
    EXPECT_EQ(!t.scm.calls.empty(), c.services_touched) << c.name;
    if (c.services_disabled) {
      EXPECT_EQ(t.scm.services["VorKernoAgent"].config.start_type, kServiceDisabled) << c.name;
      EXPECT_EQ(t.scm.services["VorKernoAgent"].status.current_state, kStateStopped) << c.name;
    }
    if (!c.services_touched) {
      EXPECT_EQ(t.f.files.content(kTargets[0]), "new 0") << c.name;  // nothing changed
      EXPECT_TRUE(t.writes().empty()) << c.name;
    }
    for (const auto& [path, node] : t.f.files.nodes) EXPECT_EQ(path.find(".tmp"), std::string::npos) << path;
  }
}

TEST_F(RecoveryTest, ARunAfterAFailureFinishesTheRollback) {
  scm.services["VorKernoAgent"].start_error = 1053;
  ASSERT_FALSE(recover());
  scm.services["VorKernoAgent"].start_error.reset();
  ASSERT_TRUE(recover()) ;
  EXPECT_EQ(f.files.content(kTargets[0]), "old 0");
  EXPECT_EQ(scm.services["VorKernoAgent"].status.current_state, kStateRunning);
  EXPECT_FALSE(f.files.exists(kJournal));
}

TEST_F(RecoveryTest, TheTaskIsDeletedOnlyWhenItRunsThisProgramWithRecover) {
  struct Case {
    const char* name;
    std::string xml;
    bool deleted;
  };
  auto replaced = [](std::string from, std::string to) {
    std::string xml = kTaskXml;
    xml.replace(xml.find(from), from.size(), to);
    return xml;
  };
  const Case cases[] = {
      {"the expected task", kTaskXml, true},
      {"another program", replaced("vor-kerno-setup-recovery.exe", "other.exe"), false},
      {"the command in other letter case", replaced("\\Setup\\", "\\setup\\"), false},
      {"more text after --recover", replaced("--recover<", "--recover --now<"), false},
      {"no arguments element", replaced("<Arguments>--recover</Arguments>", ""), false},
  };
  for (const Case& c : cases) {
    Client t;
    t.journal_written_ = true;  // no journal: straight to the task
    t.runner.results = {c.xml, std::string()};
    auto r = t.recover();
    EXPECT_EQ(r.has_value(), c.deleted) << c.name;
    if (!c.deleted) EXPECT_EQ(code_of(r), kSetupRecoveryTaskConflict) << c.name;
    EXPECT_EQ(t.runner.runs.size(), c.deleted ? 2u : 1u) << c.name;
  }
  // Failures of the tool are returned as they are.
  for (auto [query, removal, code] :
       {std::tuple{Result<std::string>(fail(failure(kSetupChildTimeout))), Result<std::string>(""), kSetupChildTimeout},
        std::tuple{Result<std::string>(fail(failure_over(kSetupChildExitFailed, child_exit(2)))), Result<std::string>(""),
                   kSetupChildExitFailed},
        std::tuple{Result<std::string>(kTaskXml), Result<std::string>(fail(failure_over(kSetupChildExitFailed, child_exit(1)))),
                   kSetupChildExitFailed}}) {
    Client t;
    t.journal_written_ = true;
    t.runner.results = {query, removal};
    auto r = t.recover();
    EXPECT_EQ(code_of(r), code);
  }
}

}  // namespace
}  // namespace vor::setup
