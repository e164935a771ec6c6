// Service control through the scripted SCM: the order of calls, each failure
// and its code, the waits in fake time.
#include "installer/service_control.h"

#include <gtest/gtest.h>

#include "installer/errors.h"
#include "setup_recovery/tests/service_fakes.h"

namespace vor::setup {
namespace {

using testing::FakeScm;
using testing::FakeService;
using testing::FakeTicker;
using testing::run_to_end;
using testing::units;

const std::string kAgent(kAgentService);
const std::string kGuardian(kGuardianService);

Snapshot snapshot(bool running) {
  Snapshot s;
  s.running = running;
  s.service_type = 0x10;
  s.start_type = 2;
  s.error_control = 1;
  s.binary_command = units(u"\"C:\\Program Files\\Vor\\Kerno Client\\VorKerno.Agent.exe\" --service");
  s.display = units(u"Vor Kerno Agent");
  s.dependencies = {'R', 'p', 'c', 'S', 's', 0, 0};
  s.description = units(u"Keeps the client running");
  s.delayed = true;
  s.sid_type = 1;
  s.recovery.failure_actions_on_non_crash_failures = true;
  s.recovery.reset_period_seconds = 86400;
  s.recovery.reboot_message = "rebooting";
  s.recovery.command = std::nullopt;
  s.recovery.actions = std::vector<ServiceRecoveryActionSnapshot>{{"restart", 60000}, {"none", 0}};
  return s;
}

// One scripted manager with its ticker; each case of a table makes its own.
struct Services {
  FakeService& add(const std::string& name, std::uint32_t state) {
    FakeService& s = scm.services[name];
    s.status.current_state = state;
    return s;
  }
  Status stop_and_disable() { return run_to_end(stop_and_disable_services(control)); }
  static std::string code_of(const Status& s) {
    const Failure* f = s ? nullptr : s.error().find<Failure>();
    return f ? std::string(f->code) : "";
  }

  FakeScm scm;
  FakeTicker ticker;
  ServiceControl control{scm, ticker};
};

class ServiceControlTest : public ::testing::Test, public Services {};

TEST_F(ServiceControlTest, NeitherServiceInstalledChangesNothing) {
  ASSERT_TRUE(stop_and_disable());
  Journal journal;
  ASSERT_TRUE(restore_service_configurations(control, journal));
  ASSERT_TRUE(start_services(control, journal));
  EXPECT_EQ(scm.calls, (std::vector<std::string>{
                           "connect -> 0", "open VorKernoGuardian 0x24 -> 1060",
                           "connect -> 0", "open VorKernoAgent 0x24 -> 1060",
                           "connect -> 0", "open VorKernoGuardian 0x6 -> 1060",
                           "connect -> 0", "open VorKernoAgent 0x6 -> 1060",
                           "connect -> 0", "open VorKernoAgent 0x10004 -> 1060",
                           "connect -> 0", "open VorKernoGuardian 0x10004 -> 1060",
                       }));
}

TEST_F(ServiceControlTest, StopsGuardianThenAgentThenDisablesBoth) {
  add(kAgent, kStateRunning).stop_queries = 2;
  add(kGuardian, kStateRunning);
  ASSERT_TRUE(stop_and_disable());
  EXPECT_EQ(scm.ops("stop "), (std::vector<std::string>{"stop VorKernoGuardian", "stop VorKernoAgent"}));
  EXPECT_EQ(scm.ops("config "), (std::vector<std::string>{"config VorKernoGuardian", "config VorKernoAgent"}));
  EXPECT_LT(std::find(scm.calls.begin(), scm.calls.end(), "stop VorKernoAgent -> 0"),
            std::find(scm.calls.begin(), scm.calls.end(), "config VorKernoGuardian -> 0"));
  for (const auto& name : {kAgent, kGuardian}) {
    EXPECT_EQ(scm.services[name].config.start_type, kServiceDisabled) << name;
    EXPECT_EQ(scm.services[name].config.service_type, 0x10u) << name;  // nothing else changed
    EXPECT_EQ(scm.services[name].config.binary_path, std::nullopt) << name;
    EXPECT_EQ(scm.services[name].status.current_state, kStateStopped) << name;
  }
  // Each wait polled every 250 ms on the event loop; nothing blocked.
  EXPECT_EQ(ticker.sleeps, (std::vector<std::string>{"async 250ms", "async 250ms", "async 250ms"}));
}

TEST_F(ServiceControlTest, StuckInStopPendingTimesOutWithoutASecondControl) {
  FakeService& g = add(kGuardian, kStateStopPending);
  g.pending_left = -1;  // never settles
  auto stopped = stop_and_disable();
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error().display_chain(), kSetupServiceStopTimeout);
  EXPECT_EQ(g.stop_controls, 0);
  EXPECT_EQ(ticker.slept(), std::chrono::seconds(30));
  EXPECT_EQ(ticker.sleeps.size(), 120u);
  EXPECT_TRUE(scm.ops("VorKernoAgent").empty());  // the first error ends it
}

TEST_F(ServiceControlTest, FailuresOfStopAndDisableCarryTheirCodes) {
  struct Case {
    const char* name;
    std::function<void(Services&)> setup;
    std::string code;
    std::optional<std::uint32_t> win32;
  };
  const Case cases[] = {
      {"manager cannot be opened", [](Services& t) { t.scm.failures["connect"] = 5; },
       std::string(kSetupServiceQueryFailed), 5},
      {"service cannot be opened", [](Services& t) { t.scm.failures["open VorKernoGuardian 0x24"] = 5; },
       std::string(kSetupServiceQueryFailed), 5},
      {"status query fails: no code",
       [](Services& t) {
         t.add(kGuardian, kStateRunning);
         t.scm.failures["query VorKernoGuardian"] = 6;
       },
       "", 6},
      {"stop control refused",
       [](Services& t) {
         t.add(kGuardian, kStateRunning);
         t.scm.failures["stop VorKernoGuardian"] = 1051;
       },
       std::string(kSetupServiceStopFailed), 1051},
      {"disable fails",
       [](Services& t) {
         t.add(kGuardian, kStateStopped);
         t.scm.failures["config VorKernoGuardian"] = 1072;
       },
       std::string(kSetupServiceConfigFailed), 1072},
      {"not stopped when it is disabled",
       [](Services& t) {
         t.add(kGuardian, kStateStopped);
         t.scm.on_call = [](FakeScm& scm, const std::string& op) {
           if (op == "open VorKernoGuardian 0x6") scm.services[kGuardian].status.current_state = kStateRunning;
         };
       },
       std::string(kSetupServiceStopFailed), std::nullopt},
  };
  for (const Case& c : cases) {
    Services t;
    c.setup(t);
    auto r = t.stop_and_disable();
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(code_of(r), c.code) << c.name;
    EXPECT_EQ(r.error().os_error(), c.win32) << c.name;
  }
}

TEST_F(ServiceControlTest, AStateOutsideOneToSevenIsAnErrorWithoutCode) {
  add(kGuardian, 9);
  auto r = stop_and_disable();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().find<Failure>(), nullptr);
  EXPECT_NE(r.error().display_chain().find("service status"), std::string::npos);
}

TEST_F(ServiceControlTest, RestoreWritesTheSnapshotExactly) {
  add(kAgent, kStateStopped).config.binary_path = units(u"C:\\new\\agent.exe");
  const Snapshot s = snapshot(false);
  ASSERT_TRUE(restore_service_configuration(control, kAgent, s));
  const FakeService& a = scm.services[kAgent];
  EXPECT_EQ(a.config, (ServiceConfigChange{0x10, 2, 1, s.binary_command, s.dependencies, s.display}));
  EXPECT_EQ(a.description, s.description);
  EXPECT_EQ(a.delayed, true);
  EXPECT_EQ(a.sid_type, 1u);
  EXPECT_EQ(a.failure_actions, (FailureActionsChange{86400, units(u"rebooting"), std::nullopt,
                                                      std::vector<FailureAction>{{1, 60000}, {0, 0}}}));
  EXPECT_EQ(a.failure_actions_flag, true);
  EXPECT_EQ(scm.ops(), (std::vector<std::string>{
                           "connect", "open VorKernoAgent 0x6", "query VorKernoAgent", "config VorKernoAgent",
                           "description VorKernoAgent", "delayed VorKernoAgent", "sid VorKernoAgent", "connect",
                           "open VorKernoAgent 0x13", "failure_actions VorKernoAgent", "failure_flag VorKernoAgent"}));
}

TEST(DependencyList, TheCopyAlwaysEndsInTwoNuls) {
  using U = std::vector<std::uint16_t>;
  struct Case {
    const char* name;
    U stored;
    U passed;
  };
  const Case cases[] = {
      {"empty list, one NUL", {0}, {0, 0}},
      {"empty list, two NULs", {0, 0}, {0, 0}},
      {"one name without the final NUL", {'A', 0}, {'A', 0, 0}},
      {"one name, terminated", {'A', 0, 0}, {'A', 0, 0}},
      {"two names without the final NUL", {'A', 0, 'B', 'c', 0}, {'A', 0, 'B', 'c', 0, 0}},
      {"a name with no NUL at all", {'A', 'b'}, {'A', 'b', 0, 0}},
      {"nothing", {}, {0, 0}},
  };
  for (const Case& c : cases) EXPECT_EQ(double_nul_terminated(c.stored), c.passed) << c.name;
}

TEST_F(ServiceControlTest, AStoredDependencyListWithoutItsFinalNulIsPassedTerminated) {
  add(kAgent, kStateStopped);
  Snapshot s = snapshot(false);
  s.dependencies = {'R', 'p', 'c', 'S', 's', 0};  // one NUL: the manager would read past it
  ASSERT_TRUE(restore_service_configuration(control, kAgent, s));
  EXPECT_EQ(scm.services[kAgent].config.dependencies,
            (std::vector<std::uint16_t>{'R', 'p', 'c', 'S', 's', 0, 0}));
  EXPECT_EQ(s.dependencies.size(), 6u);  // the snapshot itself is left as stored
}

TEST_F(ServiceControlTest, FailureActionsFollowTheSavedRecord) {
  struct Case {
    const char* name;
    std::function<void(ServiceRecoverySnapshot&)> edit;
    FailureActionsChange expected;
  };
  const Case cases[] = {
      {"no reset period: infinite; no actions: a null array",
       [](ServiceRecoverySnapshot& r) {
         r.reset_period_seconds.reset();
         r.reboot_message.reset();
         r.actions.reset();
       },
       FailureActionsChange{kInfinite, std::nullopt, std::nullopt, std::nullopt}},
      {"an empty list clears the actions",
       [](ServiceRecoverySnapshot& r) {
         r.reboot_message.reset();
         r.actions.emplace();
         r.command = "C:\\fix.cmd";
       },
       FailureActionsChange{86400, std::nullopt, units(u"C:\\fix.cmd"), std::vector<FailureAction>{}}},
      {"every action name",
       [](ServiceRecoverySnapshot& r) {
         r.reboot_message.reset();
         r.actions = std::vector<ServiceRecoveryActionSnapshot>{
             {"none", 1}, {"restart", 2}, {"reboot", 3}, {"runCommand", 4294967295ull}};
       },
       FailureActionsChange{86400, std::nullopt, std::nullopt,
                            std::vector<FailureAction>{{0, 1}, {1, 2}, {2, 3}, {3, 4294967295u}}}},
  };
  for (const Case& c : cases) {
    Services t;
    t.add(kAgent, kStateStopped);
    Snapshot s = snapshot(false);
    c.edit(s.recovery);
    ASSERT_TRUE(restore_service_configuration(t.control, kAgent, s)) << c.name;
    EXPECT_EQ(t.scm.services[kAgent].failure_actions, c.expected) << c.name;
  }
}

TEST_F(ServiceControlTest, RestoreFailures) {
  struct Case {
    const char* name;
    std::function<void(Services&, Snapshot&)> setup;
    std::string code;
    std::string chain;  // when not empty: the whole chain
    std::vector<std::string> written;  // the writing calls made, the failing one last
  };
  const std::vector<std::string> three = {"config VorKernoAgent", "description VorKernoAgent", "delayed VorKernoAgent"};
  const Case cases[] = {
      {"empty display", [](Services&, Snapshot& s) { s.display.clear(); },
       std::string(kSetupRecoveryStateInvalid), "", {}},
      {"description without its terminating zero", [](Services&, Snapshot& s) { s.description.back() = 'x'; },
       std::string(kSetupRecoveryStateInvalid), "", {}},
      {"binary command of 32,769 units",
       [](Services&, Snapshot& s) { s.binary_command.assign(32'769, 'a'), s.binary_command.back() = 0; },
       std::string(kSetupRecoveryStateInvalid), "", {}},
      {"service gone", [](Services& t, Snapshot&) { t.scm.services.erase(kAgent); },
       std::string(kSetupRecoveryServiceMissing), "", {}},
      {"service running", [](Services& t, Snapshot&) { t.scm.services[kAgent].status.current_state = kStateRunning; },
       std::string(kSetupRecoveryStateInvalid), "", {}},
      {"sid type 2 after three writes", [](Services&, Snapshot& s) { s.sid_type = 2; },
       std::string(kSetupRecoveryStateInvalid), "", three},
      {"delayed start refused as Wine does (124)",
       [](Services& t, Snapshot&) { t.scm.failures["delayed VorKernoAgent"] = 124; }, "", "os error 124",
       three},
      {"unsupported action",
       [](Services&, Snapshot& s) { s.recovery.actions->push_back({"explode", 0}); }, "",
       "restore service VorKernoAgent recovery actions: unsupported saved service recovery action `explode`",
       {"config VorKernoAgent", "description VorKernoAgent", "delayed VorKernoAgent", "sid VorKernoAgent"}},
      {"second open fails",
       [](Services& t, Snapshot&) { t.scm.failures["open VorKernoAgent 0x13"] = 5; }, "",
       "open service VorKernoAgent to restore recovery: os error 5",
       {"config VorKernoAgent", "description VorKernoAgent", "delayed VorKernoAgent", "sid VorKernoAgent"}},
      {"flag refused",
       [](Services& t, Snapshot&) { t.scm.failures["failure_flag VorKernoAgent"] = 124; }, "",
       "restore service VorKernoAgent failure action flag: os error 124",
       {"config VorKernoAgent", "description VorKernoAgent", "delayed VorKernoAgent", "sid VorKernoAgent",
        "failure_actions VorKernoAgent", "failure_flag VorKernoAgent"}},
  };
  for (const Case& c : cases) {
    Services t;
    t.add(kAgent, kStateStopped);
    Snapshot s = snapshot(true);
    c.setup(t, s);
    auto r = restore_service_configuration(t.control, kAgent, s);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(code_of(r), c.code) << c.name;
    if (!c.chain.empty()) {
      EXPECT_EQ(r.error().display_chain(), c.chain) << c.name;
    }
    std::vector<std::string> written;
    for (const auto& op : t.scm.ops()) {
      if (op.rfind("connect", 0) != 0 && op.rfind("open", 0) != 0 && op.rfind("query", 0) != 0) written.push_back(op);
    }
    EXPECT_EQ(written, c.written) << c.name;
  }
}

TEST_F(ServiceControlTest, AServiceTheUpdateCreatedIsDeletedOnlyWhenStopped) {
  add(kGuardian, kStateStopped);
  ASSERT_TRUE(restore_service_configuration(control, kGuardian, std::nullopt));
  EXPECT_EQ(scm.services.count(kGuardian), 0u);
  EXPECT_EQ(scm.ops(), (std::vector<std::string>{"connect", "open VorKernoGuardian 0x10004", "query VorKernoGuardian",
                                                 "delete VorKernoGuardian"}));

  add(kGuardian, kStateRunning);
  auto running = restore_service_configuration(control, kGuardian, std::nullopt);
  EXPECT_EQ(code_of(running), kSetupServiceStopFailed);
  EXPECT_EQ(scm.services.count(kGuardian), 1u);

  scm.services[kGuardian].status.current_state = kStateStopped;
  scm.failures["delete VorKernoGuardian"] = 1072;
  auto refused = restore_service_configuration(control, kGuardian, std::nullopt);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().find<Failure>(), nullptr);
  EXPECT_EQ(refused.error().os_error(), 1072u);
}

TEST_F(ServiceControlTest, StartWaitsUntilRunning) {
  FakeService& a = add(kAgent, kStateStopped);
  a.start_queries = 3;
  a.status.wait_hint = 2000;
  ASSERT_TRUE(start_service_and_wait(control, kAgent));
  EXPECT_EQ(a.status.current_state, kStateRunning);
  EXPECT_EQ(scm.ops(), (std::vector<std::string>{"connect", "open VorKernoAgent 0x14", "query VorKernoAgent",
                                                 "start VorKernoAgent", "connect", "open VorKernoAgent 0x4",
                                                 "query VorKernoAgent", "query VorKernoAgent", "query VorKernoAgent",
                                                 "query VorKernoAgent"}));
  // Blocking sleeps of a tenth of the wait hint.
  EXPECT_EQ(ticker.sleeps, (std::vector<std::string>{"block 200ms", "block 200ms", "block 200ms"}));

  // Already running: no start request.
  scm.calls.clear();
  ASSERT_TRUE(start_service_and_wait(control, kAgent));
  EXPECT_TRUE(scm.ops("start").empty());
}

TEST_F(ServiceControlTest, StartWaitLimits) {
  struct Case {
    const char* name;
    std::uint32_t state;   // where the service stays
    std::uint32_t wait_hint;
    bool checkpoint_moves;
    std::optional<std::uint32_t> start_error;
    std::string chain;
    std::chrono::milliseconds slept;
    std::string first_sleep;
  };
  const Case cases[] = {
      {"start fails at once: polled for 45 s", kStateStopped, 0, false, 1053,
       "service VorKernoAgent start request failed before final state: os error 1053: service VorKernoAgent did not "
       "reach Running within 45 seconds; state=Stopped, exitCode=Win32(0), checkpoint=0, waitHintMs=0",
       std::chrono::seconds(45), "block 100ms"},
      {"wait hint 0: no progress for 10 s", kStateStartPending, 0, false, std::nullopt,
       "service VorKernoAgent stopped making progress while waiting for Running; state=StartPending, "
       "exitCode=Win32(0), checkpoint=0, waitHintMs=0",
       std::chrono::seconds(10), "block 100ms"},
      {"wait hint 60 s: the 45 s limits, one-second polls", kStateStartPending, 60000, false, std::nullopt,
       "service VorKernoAgent did not reach Running within 45 seconds; state=StartPending, exitCode=Win32(0), "
       "checkpoint=0, waitHintMs=60000",
       std::chrono::seconds(45), "block 1000ms"},
      {"a moving checkpoint is progress", kStateStartPending, 0, true, std::nullopt,
       "service VorKernoAgent did not reach Running within 45 seconds; state=StartPending, exitCode=Win32(0), "
       "checkpoint=451, waitHintMs=0",
       std::chrono::seconds(45), "block 100ms"},
  };
  for (const Case& c : cases) {
    Services t;
    FakeService& a = t.add(kAgent, kStateStopped);
    a.start_queries = -1;
    a.start_error = c.start_error;
    a.status.wait_hint = c.wait_hint;
    a.checkpoint_moves = c.checkpoint_moves;
    t.scm.on_call = [state = c.state](FakeScm& scm, const std::string& op) {
      if (op == "connect" && !scm.ops("start").empty()) scm.services[kAgent].status.current_state = state;
    };
    auto r = start_service_and_wait(t.control, kAgent);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().display_chain(), c.chain) << c.name;
    EXPECT_EQ(r.error().find<Failure>(), nullptr) << c.name;
    EXPECT_EQ(t.ticker.slept(), c.slept) << c.name;
    EXPECT_EQ(t.ticker.sleeps.front(), c.first_sleep) << c.name;
  }
}

TEST_F(ServiceControlTest, ExitCodesInTheWaitMessage) {
  for (const auto& [win32, specific, text] :
       {std::tuple{1066u, 7u, "exitCode=ServiceSpecific(7)"}, std::tuple{1067u, 7u, "exitCode=Win32(1067)"}}) {
    Services t;
    FakeService& a = t.add(kAgent, kStateStopped);
    a.start_queries = -1;
    t.scm.on_call = [w = win32, s = specific](FakeScm& scm, const std::string& op) {
      if (op == "open VorKernoAgent 0x4") {
        auto& st = scm.services[kAgent].status;
        st.current_state = kStateStopped;
        st.win32_exit_code = w;
        st.service_specific_exit_code = s;
      }
    };
    auto r = start_service_and_wait(t.control, kAgent);
    ASSERT_FALSE(r);
    EXPECT_NE(r.error().display_chain().find(text), std::string::npos) << r.error().display_chain();
  }
}

TEST_F(ServiceControlTest, StartOnlyWhatWasRunningAgentFirst) {
  add(kAgent, kStateStopped);
  add(kGuardian, kStateStopped);
  Journal journal;
  journal.agent = snapshot(true);
  journal.guardian = snapshot(false);
  ASSERT_TRUE(start_services(control, journal));
  EXPECT_EQ(scm.ops("start"), std::vector<std::string>{"start VorKernoAgent"});
  journal.guardian->running = true;
  scm.services[kAgent].status.current_state = kStateStopped;
  scm.calls.clear();
  ASSERT_TRUE(start_services(control, journal));
  EXPECT_EQ(scm.ops("start"), (std::vector<std::string>{"start VorKernoAgent", "start VorKernoGuardian"}));
}

}  // namespace
}  // namespace vor::setup
