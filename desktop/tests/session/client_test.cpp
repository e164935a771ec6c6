#include "session/client.h"

#include <gtest/gtest.h>

#include "session/client_fakes.h"
#include "session/client_verbs.h"
#include "standalone/state_fakes.h"
#include "support/fake_desktop.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;
using testing::FakeClientSys;
using testing::FakeDesktop;
using testing::FakeFileSystem;
using testing::FakeIdentity;
using testing::FakeProcess;
using testing::kHostPid;

constexpr std::uint32_t kSelfPid = 4242;
constexpr std::uint64_t kHostCreated = 133'000'000'000'000'000ULL;
constexpr const char* kUser = "S-1-5-21-1-2-3-1000";
constexpr const char* kSystem = "S-1-5-18";
const std::u16string kImage = u"C:\\Program Files\\Vor\\Vor.Marionet.exe";
const std::string kStateDir = "C:\\state";
const std::string kRoot = "C:\\state\\VorDesktop-v1";
const std::string kOwnerPath = "C:\\state\\VorDesktop-v1\\session.owner";

FakeProcess process_of(std::uint32_t session, std::uint64_t created, const char* sid = kUser) {
  FakeProcess p;
  p.session = session;
  p.created = created;
  p.image = kImage;
  p.user_sid = sid;
  return p;
}

Owner owner_of(std::uint32_t pid, std::uint64_t created, std::uint32_t session = 1) {
  return Owner{1, "0123456789abcdef0123456789abcdef", pid, created, session, kUser};
}

std::string code_of(const Error& e) { return e.outermost().substr(0, e.outermost().find(':')); }

// A user client in session 1 and a live host of the same user, session and
// executable; the state directory exists, its root and owner record do not.
struct Client {
  FakeDesktop desk;
  FakeClientSys sys{desk.clock};
  FakeFileSystem fs;
  FakeIdentity identity;
  SessionClientPorts ports{sys, desk, identity, fs, desk.clock};

  Client() {
    desk.self_process_id = kSelfPid;
    desk.add_process(kSelfPid, process_of(1, 1));
    desk.add_process(kHostPid, process_of(1, kHostCreated));
    fs.add_directory("C:\\state");
    identity.sid = kUser;
  }

  void write_owner(const Owner& owner) {
    if (!fs.exists(kRoot)) {
      EXPECT_TRUE(ensure_state_directory(fs, identity, kStateDir));
    }
    fs.add_file(kOwnerPath, encode_owner(owner));
  }
  void become_system_in_session(std::uint32_t session) {
    identity.sid = kSystem;
    desk.process(kSelfPid).session = session;
    desk.process(kSelfPid).user_sid = kSystem;
  }
  // A request file with this operation id and session.
  std::string request_file(std::string_view operation_id, std::uint32_t session) {
    const std::string path = "C:\\state\\request.json";
    fs.add_file(path, R"({"protocol":1,"operationId":")" + std::string(operation_id) + R"(","sessionId":)" +
                          std::to_string(session) + R"(,"action":{"kind":"inspect"}})");
    return path;
  }
  Result<json::Value> call(const SessionAction& action = SessionStatus{}) {
    return call_session_host(ports, owner_of(kHostPid, kHostCreated), action);
  }
};

// --- one exchange ---

TEST(CallSessionHost, UserClientSendsRpcWithoutGrantReadsReplyAndAcks) {
  Client c;
  auto result = c.call(SessionOperationStatus{"op-9"});
  ASSERT_TRUE(result) << result.error().display_chain();
  EXPECT_EQ(json::to_sorted_string(*result), R"({"code":"DESKTOP_SESSION_READY","pid":100})");
  ASSERT_EQ(c.sys.rpc_bodies.size(), 1u);
  EXPECT_EQ(c.sys.rpc_bodies[0],
            R"({"protocol":1,"requestId":"00000000000000000000000000000001","action":{"kind":"operationStatus","id":"op-9"}})");
  ASSERT_EQ(c.sys.acks.size(), 1u);
  EXPECT_EQ(c.sys.acks[0], (Ack{1, "00000000000000000000000000000001"}));
  EXPECT_EQ(c.sys.limits, (std::vector<std::chrono::milliseconds>{3000ms, 25000ms, 3000ms}));
  EXPECT_EQ(c.sys.pipes_open, 0);
  EXPECT_EQ(c.sys.grant_targets_open, 0);
}

TEST(CallSessionHost, RetriesAnUnavailablePipeEvery20msForThreeSeconds) {
  struct Case {
    std::uint32_t error;
    std::chrono::milliseconds busy_for;
    std::string code;  // "" when the exchange succeeds
  };
  const Case cases[] = {
      {kErrorPipeBusy, 3100ms, "DESKTOP_SESSION_BUSY"},
      {kErrorFileNotFound, 3100ms, "DESKTOP_SESSION_BUSY"},
      {kErrorPipeNotConnected, 3100ms, "DESKTOP_SESSION_BUSY"},
      {kErrorPipeBusy, 2900ms, ""},
      {kErrorAccessDenied, 3000ms, "DESKTOP_SESSION_UNAVAILABLE"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(std::to_string(k.error) + " for " + std::to_string(k.busy_for.count()) + " ms");
    Client c;
    c.sys.busy_error = k.error;
    c.sys.busy_for = k.busy_for;
    auto result = c.call();
    if (k.code.empty()) {
      ASSERT_TRUE(result) << result.error().display_chain();
      EXPECT_GE(c.desk.clock.elapsed(), 2900ms);
      continue;
    }
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().outermost(), k.code);
    EXPECT_TRUE(c.sys.rpcs.empty());
    if (k.code == "DESKTOP_SESSION_UNAVAILABLE") {
      EXPECT_EQ(c.sys.opens, 1);
      EXPECT_EQ(result.error().os_error(), k.error);
      continue;
    }
    EXPECT_GE(c.desk.clock.elapsed(), 3000ms);
    EXPECT_LT(c.desk.clock.elapsed(), 3021ms);
    EXPECT_EQ(c.sys.opens, 151);  // at 0, 20, ..., 3000 ms
    for (auto slept : c.desk.clock.sleeps()) EXPECT_LE(slept, 20ms);
  }
}

TEST(CallSessionHost, FailuresOnceTheRpcMayHaveLeftAreUnknownOutcomes) {
  struct Case {
    const char* name;
    void (*script)(FakeClientSys&);
    std::string message;  // the outermost message
    std::size_t acks;
  };
  const Case cases[] = {
      {"rpc write times out", [](FakeClientSys& s) { s.rpc_write_times_out = true; },
       "DESKTOP_OUTCOME_UNKNOWN: request delivery timed out", 0},
      {"rpc write fails", [](FakeClientSys& s) { s.rpc_write_error = Error::os(232); },
       "DESKTOP_OUTCOME_UNKNOWN: request delivery failed", 0},
      {"reply after 26 s", [](FakeClientSys& s) { s.reply_delay = 26s; }, "DESKTOP_OUTCOME_UNKNOWN: response timed out",
       0},
      {"reply cut off", [](FakeClientSys& s) { s.answer = [](const Rpc&) -> Result<std::string> {
         return fail(Error::io("early eof"));
       }; },
       "DESKTOP_OUTCOME_UNKNOWN: response missing", 0},
      {"reply not a Reply", [](FakeClientSys& s) { s.answer = [](const Rpc&) -> Result<std::string> {
         return std::string(R"({"protocol":1,"requestId":"x"})");
       }; },
       "DESKTOP_OUTCOME_UNKNOWN: response missing", 0},
      {"reply of another exchange", [](FakeClientSys& s) { s.answer = [](const Rpc&) -> Result<std::string> {
         return encode_reply(Reply{1, "ffffffffffffffffffffffffffffffff", json::Object{}});
       }; },
       "DESKTOP_OUTCOME_UNKNOWN", 0},
      {"reply of another protocol", [](FakeClientSys& s) { s.answer = [](const Rpc& rpc) -> Result<std::string> {
         return encode_reply(Reply{2, rpc.request_id, json::Object{}});
       }; },
       "DESKTOP_OUTCOME_UNKNOWN", 0},
      {"reply over 2 MiB", [](FakeClientSys& s) { s.answer = [](const Rpc& rpc) -> Result<std::string> {
         return encode_reply(Reply{1, rpc.request_id, json::Object{{"pad", std::string(2097152, 'x')}}});
       }; },
       "DESKTOP_OUTCOME_UNKNOWN: response missing", 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Client c;
    k.script(c.sys);
    auto result = c.call();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().outermost(), k.message) << result.error().display_chain();
    EXPECT_EQ(code_of(result.error()), "DESKTOP_OUTCOME_UNKNOWN");
    EXPECT_EQ(c.sys.acks.size(), k.acks) << "no Ack without the matching Reply";
    EXPECT_EQ(c.sys.pipes_open, 0);
  }
  // An Rpc over its 17,408 bytes is never written: an operation id from
  // the command line is not bounded before it is sent.
  Client large;
  auto refused = large.call(SessionReconcile{std::string(17408, 'o'), "op-2"});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().outermost(), "DESKTOP_OUTCOME_UNKNOWN: request delivery failed");
  EXPECT_EQ(code_of(refused.error()), "DESKTOP_OUTCOME_UNKNOWN");
  EXPECT_TRUE(large.sys.rpc_bodies.empty());
  // A Reply just inside the 25 s is taken.
  Client slow;
  slow.sys.reply_delay = 24s;
  EXPECT_TRUE(slow.call());
}

TEST(CallSessionHost, RefusesAServerThatIsNotTheOwnersHost) {
  struct Case {
    const char* name;
    void (*script)(Client&);
    std::string code;
  };
  const Case cases[] = {
      {"server id unreadable", [](Client& c) { c.sys.server_pid_error = 1; }, "DESKTOP_PEER_UNAVAILABLE"},
      {"another server process",
       [](Client& c) {
         c.desk.add_process(101, process_of(1, kHostCreated));
         c.sys.server_pid = 101;
       },
       "DESKTOP_PEER_NOT_AUTHORIZED"},
      {"server created at another time", [](Client& c) { c.desk.process(kHostPid).created = kHostCreated + 1; },
       "DESKTOP_SESSION_NOT_RUNNING"},
      {"server in another session", [](Client& c) { c.desk.process(kHostPid).session = 2; },
       "DESKTOP_PEER_NOT_AUTHORIZED"},
      {"server of another user", [](Client& c) { c.desk.process(kHostPid).user_sid = "S-1-5-21-9-9-9-9"; },
       "DESKTOP_PEER_NOT_AUTHORIZED"},
      {"server runs another copy",
       [](Client& c) { c.desk.process(kHostPid).image = u"C:\\copy\\Vor.Marionet.exe"; },
       "DESKTOP_PEER_NOT_AUTHORIZED"},
      {"server image in other letter case",
       [](Client& c) { c.desk.process(kHostPid).image = u"C:\\Program Files\\Vor\\vor.marionet.exe"; },
       "DESKTOP_PEER_NOT_AUTHORIZED"},
      {"server session unreadable", [](Client& c) { c.desk.process(kHostPid).session_error = 5; },
       "DESKTOP_PROCESS_SESSION_UNAVAILABLE"},
      {"server user unreadable",
       [](Client& c) { c.desk.process(kHostPid).sid_error = coded_os("DESKTOP_TOKEN_UNAVAILABLE", 5); },
       "DESKTOP_TOKEN_UNAVAILABLE"},
      {"host process gone", [](Client& c) { c.desk.process(kHostPid).exited = true; }, "DESKTOP_SESSION_NOT_RUNNING"},
      {"host liveness unreadable", [](Client& c) { c.desk.process(kHostPid).open_error = 5; },
       "DESKTOP_PROCESS_STATE_UNAVAILABLE"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Client c;
    k.script(c);
    auto result = c.call();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().outermost(), k.code) << result.error().display_chain();
    EXPECT_TRUE(c.sys.rpcs.empty()) << "nothing is sent to a refused server";
    EXPECT_EQ(c.sys.pipes_open, 0);
    EXPECT_EQ(c.desk.open_queries(), 0);
  }
  // The owner record's pipe name rule holds before anything is opened.
  Client c;
  Owner bad = owner_of(kHostPid, kHostCreated);
  bad.instance = "g123456789abcdef0123456789abcdef";
  auto refused = call_session_host(c.ports, bad, SessionStatus{});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().outermost(), "DESKTOP_STATE_INVALID");
  EXPECT_EQ(c.sys.opens, 0);
}

// LocalSystem in session 0 proves itself with a handle of its own duplicated
// into the host; the handle is closed in the host after the Reply was read,
// whatever came of the exchange.
TEST(CallSessionHost, LocalSystemGrantIsSentAndReleasedOnEveryPath) {
  struct Case {
    const char* name;
    void (*script)(FakeClientSys&);
    bool succeeds;
    int replies_read;  // before the grant is closed
  };
  const Case cases[] = {
      {"exchange succeeds", [](FakeClientSys&) {}, true, 1},
      {"rpc write fails", [](FakeClientSys& s) { s.rpc_write_error = Error::os(232); }, false, 0},
      {"reply times out", [](FakeClientSys& s) { s.reply_delay = 30s; }, false, 1},
      {"reply of another exchange", [](FakeClientSys& s) { s.answer = [](const Rpc&) -> Result<std::string> {
         return encode_reply(Reply{1, "ffffffffffffffffffffffffffffffff", json::Object{}});
       }; },
       false, 1},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Client c;
    c.become_system_in_session(0);
    c.sys.grant_created = kHostCreated;
    c.sys.grant_image = u"\\\\?\\" + kImage;
    k.script(c.sys);
    auto result = c.call();
    EXPECT_EQ(result.has_value(), k.succeeds);
    if (k.succeeds || !c.sys.rpcs.empty()) {
      ASSERT_EQ(c.sys.rpcs.size(), 1u);
      EXPECT_EQ(c.sys.rpcs[0].peer_query_handle, std::optional<std::uint64_t>(0x7A4));
    }
    EXPECT_EQ(c.sys.granted, 1);
    EXPECT_EQ(c.sys.closed_remote, std::vector<std::uint64_t>{0x7A4});
    EXPECT_EQ(c.sys.replies_read_when_closed, k.replies_read);
    EXPECT_EQ(c.sys.grant_targets_open, 0);
    EXPECT_EQ(c.sys.pipes_open, 0);
  }
}

TEST(CallSessionHost, OnlyLocalSystemInSessionZeroGrants) {
  struct Case {
    const char* sid;
    std::uint32_t session;
    bool grants;
  };
  const Case cases[] = {{kSystem, 0, true}, {kSystem, 1, false}, {kUser, 0, false}, {kUser, 1, false}};
  for (const Case& k : cases) {
    SCOPED_TRACE(std::string(k.sid) + " in session " + std::to_string(k.session));
    Client c;
    c.identity.sid = k.sid;
    c.desk.process(kSelfPid).session = k.session;
    c.sys.grant_created = kHostCreated;
    c.sys.grant_image = kImage;
    ASSERT_TRUE(c.call());
    EXPECT_EQ(c.sys.rpcs[0].peer_query_handle.has_value(), k.grants);
    EXPECT_EQ(c.sys.rpc_bodies[0].find("peerQueryHandle") != std::string::npos, k.grants);
    EXPECT_EQ(c.sys.closed_remote.size(), k.grants ? 1u : 0u);
  }
}

TEST(CallSessionHost, AFailedGrantSendsNothingAndClosesTheHostHandle) {
  struct Case {
    const char* name;
    void (*script)(FakeClientSys&);
    std::string code;
    std::optional<std::uint32_t> os_error;
  };
  const Case cases[] = {
      {"host cannot be opened", [](FakeClientSys& s) { s.grant_open_error = 5; }, "DESKTOP_PEER_QUERY_GRANT_FAILED", 5},
      {"host created at another time", [](FakeClientSys& s) { s.grant_created = kHostCreated + 1; },
       "DESKTOP_PEER_NOT_AUTHORIZED", std::nullopt},
      {"host runs another executable", [](FakeClientSys& s) { s.grant_image = u"C:\\other.exe"; },
       "DESKTOP_PEER_NOT_AUTHORIZED", std::nullopt},
      {"host creation unreadable", [](FakeClientSys& s) { s.grant_creation_error = 6; },
       "DESKTOP_PROCESS_UNAVAILABLE", 6},
      {"host image unreadable", [](FakeClientSys& s) { s.grant_image_error = 31; },
       "DESKTOP_PEER_IMAGE_UNAVAILABLE", 31},
      {"duplication refused", [](FakeClientSys& s) { s.grant_duplicate_error = 5; },
       "DESKTOP_PEER_QUERY_GRANT_FAILED", 5},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Client c;
    c.become_system_in_session(0);
    c.sys.grant_created = kHostCreated;
    c.sys.grant_image = kImage;
    k.script(c.sys);
    auto result = c.call();
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error().outermost(), k.code);
    EXPECT_EQ(result.error().os_error(), k.os_error);
    EXPECT_TRUE(c.sys.rpcs.empty());
    EXPECT_TRUE(c.sys.closed_remote.empty()) << "nothing was duplicated into the host";
    EXPECT_EQ(c.sys.grant_targets_open, 0);
  }
}

// --- session-status and session-close ---

TEST(SessionStatusVerb, AnswersClosedWithoutAHostAndTheHostsStatusWithOne) {
  {
    Client c;  // no state root at all
    auto doc = run_session_status(c.ports, cmd::SessionStatus{kStateDir});
    ASSERT_TRUE(doc) << doc.error().display_chain();
    EXPECT_EQ(json::to_sorted_string(*doc),
              R"({"code":"DESKTOP_SESSION_CLOSED","running":false,"schemaVersion":"vor.desktop-session/v1","sessionId":0,"targetApplicationsClosed":false})");
    EXPECT_FALSE(c.fs.exists(kRoot)) << "status creates nothing";
    EXPECT_EQ(c.sys.opens, 0);
  }
  {
    Client c;  // a record whose host has ended
    c.write_owner(owner_of(kHostPid, kHostCreated, 3));
    c.desk.process(kHostPid).exited = true;
    auto doc = run_session_status(c.ports, cmd::SessionStatus{kStateDir});
    ASSERT_TRUE(doc);
    EXPECT_EQ(*doc->find("sessionId")->as_unsigned(), 3u);
    EXPECT_EQ(c.sys.opens, 0);
  }
  {
    Client c;  // a live host
    c.write_owner(owner_of(kHostPid, kHostCreated));
    auto doc = run_session_status(c.ports, cmd::SessionStatus{kStateDir});
    ASSERT_TRUE(doc);
    EXPECT_EQ(json::to_sorted_string(*doc), R"({"code":"DESKTOP_SESSION_READY","pid":100})");
    ASSERT_EQ(c.sys.rpcs.size(), 1u);
    EXPECT_EQ(c.sys.rpcs[0].action, SessionAction(SessionStatus{}));
  }
  {
    Client c;  // a record that is not a record
    c.fs.add_directory(kRoot);
    c.fs.add_file(kOwnerPath, std::string_view("{\"protocol\":1}"));
    auto doc = run_session_status(c.ports, cmd::SessionStatus{kStateDir});
    ASSERT_FALSE(doc);
    EXPECT_EQ(doc.error().outermost(), "DESKTOP_STATE_INVALID");
  }
}

TEST(SessionCloseVerb, NeedsARecordAndWaitsForTheHostToEnd) {
  {
    Client c;
    auto doc = run_session_close(c.ports, cmd::SessionClose{kStateDir});
    ASSERT_FALSE(doc);
    EXPECT_EQ(doc.error().outermost(), "DESKTOP_SESSION_NOT_RUNNING");
  }
  {
    Client c;  // already ended: nobody is contacted
    c.write_owner(owner_of(kHostPid, kHostCreated, 2));
    c.desk.process(kHostPid).exited = true;
    auto doc = run_session_close(c.ports, cmd::SessionClose{kStateDir});
    ASSERT_TRUE(doc);
    EXPECT_EQ(*doc->find("code")->as_string(), "DESKTOP_SESSION_CLOSED");
    EXPECT_EQ(*doc->find("sessionId")->as_unsigned(), 2u);
    EXPECT_EQ(c.sys.opens, 0);
  }
  {
    Client c;  // answers, then ends 100 ms later
    c.write_owner(owner_of(kHostPid, kHostCreated));
    c.sys.answer = [&c](const Rpc& rpc) -> Result<std::string> {
      c.desk.clock.advance(100ms);
      c.desk.process(kHostPid).exited = true;
      return encode_reply(Reply{1, rpc.request_id, json::Object{{"code", "DESKTOP_SESSION_CLOSED"}}});
    };
    auto doc = run_session_close(c.ports, cmd::SessionClose{kStateDir});
    ASSERT_TRUE(doc) << doc.error().display_chain();
    EXPECT_EQ(json::to_sorted_string(*doc), R"({"code":"DESKTOP_SESSION_CLOSED"})");
    EXPECT_EQ(c.sys.rpcs[0].action, SessionAction(SessionClose{}));
  }
  {
    Client c;  // answers, but never ends
    c.write_owner(owner_of(kHostPid, kHostCreated));
    auto doc = run_session_close(c.ports, cmd::SessionClose{kStateDir});
    ASSERT_FALSE(doc);
    EXPECT_EQ(doc.error().outermost(), "DESKTOP_SESSION_CLOSE_UNCONFIRMED");
    EXPECT_GE(c.desk.clock.elapsed(), 5000ms);
    EXPECT_LT(c.desk.clock.elapsed(), 5021ms);
    for (auto slept : c.desk.clock.sleeps()) EXPECT_LE(slept, 20ms);
  }
}

// --- session-start ---

const std::string kStartLine =
    R"("C:\Program Files\Vor\Vor.Marionet.exe" session-host --session-id 1 --state-dir "C:\state")";

TEST(SessionStartVerb, ARunningHostOfTheSessionIsAnsweredNotReplaced) {
  Client c;
  c.write_owner(owner_of(kHostPid, kHostCreated));
  auto doc = run_session_start(c.ports, cmd::SessionStart{1, kStateDir});
  ASSERT_TRUE(doc) << doc.error().display_chain();
  EXPECT_EQ(json::to_sorted_string(*doc), R"({"code":"DESKTOP_SESSION_READY","pid":100})");
  EXPECT_TRUE(c.sys.command_lines.empty());

  auto other = run_session_start(c.ports, cmd::SessionStart{2, kStateDir});
  ASSERT_FALSE(other);
  EXPECT_EQ(other.error().outermost(), "DESKTOP_SESSION_MISMATCH");
  EXPECT_TRUE(c.sys.command_lines.empty());
}

TEST(SessionStartVerb, OnlyAUserInTheNamedSessionStartsAHost) {
  struct Case {
    const char* name;
    void (*script)(Client&);
    std::uint32_t session;
  };
  const Case cases[] = {
      {"another session", [](Client&) {}, 2},
      {"LocalSystem", [](Client& c) { c.become_system_in_session(1); }, 1},
      {"LocalSystem in session 0", [](Client& c) { c.become_system_in_session(0); }, 0},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Client c;
    k.script(c);
    auto doc = run_session_start(c.ports, cmd::SessionStart{k.session, kStateDir});
    ASSERT_FALSE(doc);
    EXPECT_EQ(doc.error().outermost(), "DESKTOP_SESSION_START_REQUIRES_USER_SESSION");
    EXPECT_TRUE(c.sys.command_lines.empty());
    EXPECT_FALSE(c.fs.exists(kRoot));
  }
}

TEST(SessionStartVerb, StartsTheHostAndKeepsItOnceItAnswers) {
  Client c;
  // A record of an ended host is no obstacle.
  c.write_owner(owner_of(kHostPid, kHostCreated));
  c.desk.process(kHostPid).exited = true;
  c.sys.on_start = [&c] {
    c.desk.add_process(300, process_of(1, kHostCreated + 7));
    c.write_owner(owner_of(300, kHostCreated + 7));
    c.sys.server_pid = 300;
  };
  auto doc = run_session_start(c.ports, cmd::SessionStart{1, kStateDir});
  ASSERT_TRUE(doc) << doc.error().display_chain();
  EXPECT_EQ(json::to_sorted_string(*doc), R"({"code":"DESKTOP_SESSION_READY","pid":300})");
  EXPECT_EQ(c.sys.applications, std::vector<std::string>{"C:\\Program Files\\Vor\\Vor.Marionet.exe"});
  EXPECT_EQ(c.sys.command_lines, std::vector<std::string>{kStartLine});
  EXPECT_FALSE(c.sys.child_terminated_with) << "the guard was disarmed";
  EXPECT_EQ(c.sys.child_handles_open, 0);
  EXPECT_TRUE(c.fs.exists(kRoot));
}

TEST(SessionStartVerb, AHostThatExitsIsUnconfirmedWellBeforeTheDeadline) {
  Client c;
  c.sys.child_lives_for = 200ms;
  auto doc = run_session_start(c.ports, cmd::SessionStart{1, kStateDir});
  ASSERT_FALSE(doc);
  EXPECT_EQ(doc.error().outermost(), "DESKTOP_SESSION_START_UNCONFIRMED");
  EXPECT_GE(c.desk.clock.elapsed(), 200ms);
  EXPECT_LT(c.desk.clock.elapsed(), 300ms);
  EXPECT_EQ(c.sys.child_terminated_with, std::optional<std::uint32_t>(64));
  EXPECT_EQ(c.sys.child_wait, 3000ms);
  EXPECT_EQ(c.sys.child_handles_open, 0);
}

TEST(SessionStartVerb, AnotherHostThatAnswersWinsAndTheChildIsEnded) {
  Client c;
  c.sys.on_start = [&c] {
    // A concurrent start's host wrote its record first.
    c.desk.add_process(101, process_of(1, kHostCreated + 9));
    c.write_owner(owner_of(101, kHostCreated + 9));
    c.sys.server_pid = 101;
  };
  auto doc = run_session_start(c.ports, cmd::SessionStart{1, kStateDir});
  ASSERT_TRUE(doc) << doc.error().display_chain();
  EXPECT_EQ(json::to_sorted_string(*doc), R"({"code":"DESKTOP_SESSION_READY","pid":101})");
  EXPECT_EQ(c.sys.child_terminated_with, std::optional<std::uint32_t>(64));
}

// One attempt's waits are clipped to the loop's 8 s: a host that never
// answers cannot hold the verb for the Reply's 25 s, past the caller's
// lifetime limit, with the child left running.
TEST(SessionStartVerb, AHostThatNeverAnswersIsEndedAtEightSeconds) {
  Client c;
  c.sys.reply_delay = 60s;
  c.sys.on_start = [&c] {
    c.desk.add_process(300, process_of(1, kHostCreated + 7));
    c.write_owner(owner_of(300, kHostCreated + 7));
    c.sys.server_pid = 300;
  };
  auto doc = run_session_start(c.ports, cmd::SessionStart{1, kStateDir});
  ASSERT_FALSE(doc);
  EXPECT_EQ(doc.error().outermost(), "DESKTOP_SESSION_START_UNCONFIRMED");
  EXPECT_GE(c.desk.clock.elapsed(), 8000ms);
  EXPECT_LE(c.desk.clock.elapsed(), 8030ms);
  EXPECT_EQ(c.sys.child_terminated_with, std::optional<std::uint32_t>(64));
}

TEST(SessionStartVerb, StartFailuresReportTheirCode) {
  {
    Client c;
    c.sys.create_error = 2;
    auto doc = run_session_start(c.ports, cmd::SessionStart{1, kStateDir});
    ASSERT_FALSE(doc);
    EXPECT_EQ(doc.error().outermost(), "DESKTOP_SESSION_START_FAILED");
    EXPECT_EQ(doc.error().os_error(), std::optional<std::uint32_t>(2));
  }
  {
    Client c;
    c.sys.module = "\\\\server\\share\\Vor.Marionet.exe";
    auto doc = run_session_start(c.ports, cmd::SessionStart{1, kStateDir});
    ASSERT_FALSE(doc);
    EXPECT_EQ(doc.error().outermost(), "DESKTOP_STATE_UNSAFE");
    EXPECT_TRUE(c.sys.command_lines.empty());
  }
}

TEST(SessionHostCommandLine, QuotesBothPaths) {
  EXPECT_EQ(session_host_command_line("C:\\a b\\x.exe", 4294967295u, "C:\\dir\\"),
            R"("C:\a b\x.exe" session-host --session-id 4294967295 --state-dir "C:\dir\\")");
}

// --- the verbs that forward one request ---

TEST(SessionExecuteVerb, FailuresAfterDecodingNameTheOperation) {
  struct Case {
    const char* name;
    bool host;
    const char* operation_id;
    std::uint32_t session;
    std::string document;  // "" for the host's answer
  };
  const Case cases[] = {
      {"no host", false, "op-1", 1,
       R"({"code":"DESKTOP_SESSION_NOT_RUNNING","nextSafeAction":"Start a session in the selected interactive Windows session, then read any uncertain operation by its original id before new input.","operationId":"op-1","retryable":false,"schemaVersion":"vor.desktop-cli/v1"})"},
      {"request for another session", true, "op-2", 2,
       R"({"code":"DESKTOP_SESSION_MISMATCH","nextSafeAction":"Use the Windows session returned by session-start; no action was dispatched.","operationId":"op-2","retryable":false,"schemaVersion":"vor.desktop-cli/v1"})"},
      {"operation id the host would refuse", false, "op 3", 1,
       R"({"code":"DESKTOP_SESSION_NOT_RUNNING","nextSafeAction":"Start a session in the selected interactive Windows session, then read any uncertain operation by its original id before new input.","operationId":null,"retryable":false,"schemaVersion":"vor.desktop-cli/v1"})"},
      {"sent", true, "op-4", 1, ""},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.name);
    Client c;
    if (k.host) c.write_owner(owner_of(kHostPid, kHostCreated));
    const std::string path = c.request_file(k.operation_id, k.session);
    auto doc = run_session_execute(c.ports, cmd::SessionExecute{path, kStateDir});
    ASSERT_TRUE(doc) << doc.error().display_chain();
    if (!k.document.empty()) {
      EXPECT_EQ(json::to_sorted_string(*doc), k.document);
      EXPECT_TRUE(c.sys.rpcs.empty());
      continue;
    }
    ASSERT_EQ(c.sys.rpcs.size(), 1u);
    EXPECT_EQ(c.sys.rpc_bodies[0],
              R"({"protocol":1,"requestId":"00000000000000000000000000000001","action":{"kind":"execute","request":{"protocol":1,"operationId":"op-4","sessionId":1,"action":{"kind":"inspect"}}}})");
  }
}

TEST(SessionExecuteVerb, AnUnreadableOrUndecodableRequestIsAnError) {
  Client c;
  c.write_owner(owner_of(kHostPid, kHostCreated));
  c.fs.add_file("C:\\state\\bad.json", std::string_view("{\"protocol\":1"));
  auto bad = run_session_execute(c.ports, cmd::SessionExecute{"C:\\state\\bad.json", kStateDir});
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().outermost(), "DESKTOP_REQUEST_INVALID");
  auto missing = run_session_execute(c.ports, cmd::SessionExecute{"C:\\state\\none.json", kStateDir});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().outermost(), "DESKTOP_FILE_UNAVAILABLE");
  c.fs.add_file("C:\\state\\big.json", std::string(16385, ' '));
  auto big = run_session_execute(c.ports, cmd::SessionExecute{"C:\\state\\big.json", kStateDir});
  ASSERT_FALSE(big);
  EXPECT_EQ(big.error().outermost(), "DESKTOP_FILE_TOO_LARGE");
  EXPECT_TRUE(c.sys.rpcs.empty());
}

TEST(SessionForwardingVerbs, SendTheirActionWithTheOptionValues) {
  Client c;
  c.write_owner(owner_of(kHostPid, kHostCreated));
  const SessionCommand commands[] = {
      cmd::SessionOperationStatus{"op-a", kStateDir},
      cmd::SessionImageExport{"op-b", kStateDir},
      cmd::SessionReconcile{"op-c", "op-d", kStateDir},
  };
  for (const SessionCommand& command : commands) ASSERT_TRUE(run_session_client_command(c.ports, command));
  ASSERT_EQ(c.sys.rpcs.size(), 3u);
  EXPECT_EQ(c.sys.rpcs[0].action, SessionAction(SessionOperationStatus{"op-a"}));
  EXPECT_EQ(c.sys.rpcs[1].action, SessionAction(SessionExportImage{"op-b"}));
  EXPECT_EQ(c.sys.rpcs[2].action, SessionAction(SessionReconcile{"op-c", "op-d"}));

  Client none;
  for (const SessionCommand& command : commands) {
    auto doc = run_session_client_command(none.ports, command);
    ASSERT_FALSE(doc);
    EXPECT_EQ(doc.error().outermost(), "DESKTOP_SESSION_NOT_RUNNING");
  }
}

}  // namespace
}  // namespace vor::desktop
