// The session host's life over scripted ports: start-up in order, the
// serving loop's waits and clients, and both endings. Time is fake: the
// pipe's wait for a client moves it, so a 300-second lease passes at once.
#include "session/host.h"

#include <gtest/gtest.h>

#include <deque>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "fake_lease_clock.h"
#include "protocol/messages.h"
#include "session/documents.h"
#include "session/owner_files.h"
#include "standalone/operation_status_fixtures.h"
#include "standalone/state/image_store.h"
#include "standalone/state/receipt.h"

namespace vor::desktop {
namespace {

using namespace std::chrono_literals;
using testing::FakeDataProtection;
using testing::FakeFileSystem;
using testing::FakeIdentity;
using testing::RecordedExit;

constexpr std::uint32_t kHostSession = 1;
constexpr std::uint32_t kHostPid = 900;
constexpr std::uint64_t kHostCreated = 133100000000000000;
const std::string kStateDir = "C:\\s";
const std::string kRoot = "C:\\s\\VorDesktop-v1";
const std::string kRecord = kRoot + "\\session.owner";
const std::string kImage = "C:\\app\\Vor.Marionet.exe";
const Time kStart = Time{} + std::chrono::seconds(1'800'000'000);

// One clock for the store (UTC, sleeps) and the lease (monotonic, the
// watchdog's waits), moved by the scripted pipe. The watchdog's condition
// waits last at most a millisecond of real time, so it sees the fake time.
class HostClock final : public Clock, public LeaseClock {
 public:
  Clock::Monotonic monotonic_now() override { return now(); }
  Time utc_now() override {
    std::lock_guard lock(mutex_);
    return kStart + (now_ - start_);
  }
  void sleep(std::chrono::nanoseconds d) override { advance(d); }
  Clock::Monotonic now() override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  void wait(std::unique_lock<std::mutex>& lock, std::condition_variable& wake, std::chrono::nanoseconds) override {
    wake.wait_for(lock, std::chrono::milliseconds(1));
  }
  void advance(std::chrono::nanoseconds d) {
    std::lock_guard lock(mutex_);
    now_ += d;
  }

 private:
  std::mutex mutex_;
  const Clock::Monotonic start_ = Clock::Monotonic(std::chrono::hours(1000));
  Clock::Monotonic now_ = start_;
};

// The host's own process: its session, creation time and image path.
class HostProcesses final : public ProcSys {
 public:
  std::uint32_t session = kHostSession;
  std::u16string image = u"\\\\?\\C:\\app\\Vor.Marionet.exe";
  std::optional<std::uint32_t> image_error;

  Win32<std::uint32_t> process_session_id(std::uint32_t) override { return session; }
  Win32<std::unique_ptr<Process>> open(std::uint32_t pid, Access) override {
    if (pid != kHostPid) return win32_error(kErrorInvalidParameter);  // every broker of a receipt is gone
    return std::unique_ptr<Process>(std::make_unique<Own>(*this));
  }
  std::uint32_t current_process_id() override { return kHostPid; }

 private:
  class Own final : public Process {
   public:
    explicit Own(HostProcesses& p) : p_(p) {}
    Win32<std::uint64_t> creation_time() override { return kHostCreated; }
    Win32<bool> has_exited() override { return false; }
    Win32<std::u16string> image_path() override {
      if (p_.image_error) return win32_error(*p_.image_error);
      return p_.image;
    }
    Result<std::string> user_sid() override { return fail("DESKTOP_TOKEN_UNAVAILABLE"); }

   private:
    HostProcesses& p_;
  };
};

// A client as the authentication sees it: the host's own user, session and
// image unless a case says otherwise.
class ClientPeer final : public PeerAuthSys {
 public:
  explicit ClientPeer(std::string sid) : sid_(std::move(sid)) {}
  class Proc final : public Process {
   public:
    Win32<std::u16string> image_path() override { return std::u16string(u"C:\\app\\Vor.Marionet.exe"); }
    Win32<std::uint32_t> exit_code() override { return kStillActive; }
    std::uint32_t process_id() override { return 0; }
  };
  class Tok final : public Token {
   public:
    explicit Tok(std::string sid) : sid_(std::move(sid)) {}
    Result<std::string> user_sid() override { return sid_; }

   private:
    std::string sid_;
  };
  Win32<std::uint32_t> client_process_id() override { return 700u; }
  Win32<std::uint32_t> client_session_id() override { return kHostSession; }
  Win32<void> impersonate_client() override { return {}; }
  Win32<std::unique_ptr<Token>> open_thread_token() override { return std::unique_ptr<Token>(new Tok(sid_)); }
  Win32<void> revert_to_self() override { return {}; }
  std::uint32_t current_process_id() override { return kHostPid; }
  Win32<std::unique_ptr<Process>> open_process(std::uint32_t) override { return std::unique_ptr<Process>(new Proc); }
  Win32<std::unique_ptr<Process>> duplicate_granted(std::uint64_t) override { return win32_error(6); }

 private:
  std::string sid_;
};

// What happens at one wait of the serving loop.
struct Arrival {
  enum Kind { kClient, kConnectError } kind = kClient;
  std::chrono::nanoseconds after{1s};   // fake time until it happens (within the wait)
  std::deque<Result<std::string>> frames;  // what the client sends, frame by frame
  std::uint32_t error = 0;
  std::string sid = "S-1-5-21-1-2-3-1000";
  std::function<void()> meanwhile;  // what another process does before it
};

struct Script {
  std::deque<Arrival> arrivals;  // none left: every wait runs out
  std::vector<std::chrono::nanoseconds> waits;
  std::vector<std::string> replies;  // bodies written, one per answered client
  std::vector<bool> created;          // the `first` flag of each instance
  int disconnects = 0;
  int live = 0, most_live = 0;
  std::optional<Error> create_error;  // for instances after the first
  std::optional<Error> first_error;
  std::function<void()> on_first;     // runs when the first instance is made
  bool replies_fail = false;
  std::vector<std::string> acks_read;
};

class ScriptedPipe final : public HostPipe {
 public:
  ScriptedPipe(Script& s, HostClock& clock) : s_(s), clock_(clock) {
    s_.most_live = std::max(s_.most_live, ++s_.live);
  }
  ~ScriptedPipe() override { --s_.live; }

  Win32<bool> wait_for_client(std::chrono::nanoseconds limit) override {
    s_.waits.push_back(limit);
    if (s_.arrivals.empty() || s_.arrivals.front().after > limit) {
      clock_.advance(limit);
      return false;
    }
    current_ = std::move(s_.arrivals.front());
    s_.arrivals.pop_front();
    if (current_.meanwhile) current_.meanwhile();
    clock_.advance(current_.after);
    peer_.emplace(current_.sid);
    if (current_.kind == Arrival::kConnectError) return win32_error(current_.error);
    return true;
  }
  Result<std::string> read_frame(std::uint32_t max_bytes, std::chrono::milliseconds limit) override {
    if (current_.frames.empty()) {
      clock_.advance(limit);
      return fail(Error::io(std::string(kPipeTimeLimitPassed)));
    }
    Result<std::string> next = std::move(current_.frames.front());
    current_.frames.pop_front();
    if (next && (next->empty() || next->size() > max_bytes)) return fail("DESKTOP_FRAME_SIZE_INVALID");
    if (next && max_bytes == kAckMaxBytes) s_.acks_read.push_back(*next);
    return next;
  }
  Status write_frame(std::string_view body, std::uint32_t, std::chrono::milliseconds) override {
    if (s_.replies_fail) return fail(Error::io("broken pipe"));
    s_.replies.emplace_back(body);
    return {};
  }
  PeerAuthSys& peer() override { return *peer_; }
  void disconnect() override { ++s_.disconnects; }

 private:
  Script& s_;
  HostClock& clock_;
  Arrival current_;
  std::optional<ClientPeer> peer_;
};

class ScriptedPipes final : public HostPipeFactory {
 public:
  ScriptedPipes(Script& s, HostClock& clock) : s_(s), clock_(clock) {}
  Result<std::unique_ptr<HostPipe>> create(const Owner& owner, bool first) override {
    EXPECT_EQ(owner.pid, kHostPid);
    if (first && s_.first_error) return fail(*s_.first_error);
    if (!first && s_.create_error) return fail(*s_.create_error);
    s_.created.push_back(first);
    if (first && s_.on_first) s_.on_first();
    return std::unique_ptr<HostPipe>(std::make_unique<ScriptedPipe>(s_, clock_));
  }

 private:
  Script& s_;
  HostClock& clock_;
};

std::string rpc(const SessionAction& action, std::string request_id = "req-1", std::uint32_t protocol = 1) {
  return encode_rpc(Rpc{protocol, std::move(request_id), std::nullopt, action});
}
std::string ack(std::string request_id = "req-1") { return encode_ack(Ack{1, std::move(request_id)}); }

Arrival client(std::deque<Result<std::string>> frames, std::chrono::nanoseconds after = 1s) {
  Arrival a;
  a.frames = std::move(frames);
  a.after = after;
  return a;
}

std::string code_in(const std::string& reply_body) {
  auto reply = decode_reply(reply_body);
  if (!reply) return "<not a reply>";
  const json::Value* code = reply->result.find("code");
  return code && code->as_string() ? *code->as_string() : "<no code>";
}

struct HostWorld {
  HostWorld()
      : state{fs, dpapi, clock, [this]() -> Result<std::string> {
                char buf[33];
                std::snprintf(buf, sizeof buf, "%032x", ++uuids);
                return std::string(buf);
              }},
        pipes(script, clock),
        ports{state, identity, processes, clock, exit.function(), pipes, broker, [] { FAIL() << "revert failed"; }} {
    fs.add_directory(kStateDir);
    fs.add_directory("C:\\app");
    fs.add_file(kImage, std::string_view("MZ"));
    broker.reconcile = [this](const cmd::Reconcile&) { return reconcile_result; };
  }

  Result<CliDocument> run(std::uint32_t session = kHostSession) {
    return run_session_host(ports, cmd::SessionHost{session, kStateDir});
  }

  // A receipt with a protected image made `age` ago, as an execute leaves it.
  void store_image(const std::string& operation_id, std::chrono::seconds age) {
    auto root = ensure_state_directory(fs, identity, kStateDir);
    ASSERT_TRUE(root);
    Receipt receipt = testing::sample_receipt(operation_id);
    receipt.phase = ReceiptPhase::kFinished;
    receipt.finished_at = kStart;
    auto image = store_protected_image(state, *root, operation_id, testing::sample_png(), kStart - age);
    ASSERT_TRUE(image) << image.error().display_chain();
    receipt.image = *image;
    ASSERT_TRUE(write_receipt(state, *root, receipt, false));
  }
  bool image_exists(const std::string& operation_id) {
    auto root = ensure_state_directory(fs, identity, kStateDir);
    return fs.exists(*state_file_path(*root, operation_id, "image"));
  }
  // The record as a client reads it while the host serves.
  std::optional<Owner> record_now() {
    StateOwnerFiles files(fs);
    auto owner = read_session_owner(files, kRoot);
    return owner ? std::optional(*owner) : std::nullopt;
  }

  FakeFileSystem fs;
  FakeDataProtection dpapi;
  HostClock clock;
  FakeIdentity identity;
  HostProcesses processes;
  unsigned uuids = 0;
  StateContext state;
  RecordedExit exit;
  Script script;
  ScriptedPipes pipes;
  HostBroker broker;
  Result<CliDocument> reconcile_result = CliDocument(json::Object{{"code", "DESKTOP_OBSERVED"}});
  HostPorts ports;
  std::vector<std::unique_ptr<OpenFile>> held;  // handles another process holds
};

class HostTest : public ::testing::Test, protected HostWorld {};

// --- start-up -----------------------------------------------------------------

TEST(HostStartUp, EachFailureHasItsCodeAndWritesNoRecord) {
  struct Case {
    const char* name;
    std::function<void(HostWorld&)> arrange;
    const char* code;
    bool root_made;  // whether start-up got as far as the state root
  };
  const std::vector<Case> cases = {
      {"another session", [](HostWorld& h) { h.processes.session = 2; }, "DESKTOP_SESSION_MISMATCH", false},
      {"LocalSystem", [](HostWorld& h) { h.identity.sid = "S-1-5-18"; }, "DESKTOP_SESSION_START_REQUIRES_USER_SESSION",
       false},
      {"no user SID", [](HostWorld& h) { h.identity.error = 5; }, "DESKTOP_TOKEN_UNAVAILABLE", false},
      {"state dir is a link", [](HostWorld& h) { h.fs.make_reparse(kStateDir); }, "DESKTOP_STATE_UNSAFE", false},
      {"lock held by another host",
       [](HostWorld& h) {
         ASSERT_TRUE(ensure_state_directory(h.fs, h.identity, kStateDir));
         auto lock = h.fs.open(kRoot + "\\.session.lock", {FileAccess::kReadWrite, 0, FileCreation::kOpenAlways});
         ASSERT_TRUE(lock);
         h.held.push_back(std::move(*lock));
       },
       "DESKTOP_OWNER_CONFLICT", true},
      {"own image unreadable", [](HostWorld& h) { h.processes.image_error = 5; }, "DESKTOP_PEER_IMAGE_UNAVAILABLE", true},
      {"own image missing", [](HostWorld& h) { h.fs.erase(kImage); }, "DESKTOP_PEER_IMAGE_UNAVAILABLE", true},
      {"own image under a link", [](HostWorld& h) { h.fs.make_reparse("C:\\app"); }, "DESKTOP_STATE_UNSAFE", true},
      {"gate held through the first pass",
       [](HostWorld& h) {
         ASSERT_TRUE(ensure_state_directory(h.fs, h.identity, kStateDir));
         auto gate = h.fs.open(kRoot + "\\.gate", {FileAccess::kReadWrite, 0, FileCreation::kOpenAlways});
         ASSERT_TRUE(gate);
         h.held.push_back(std::move(*gate));
       },
       "DESKTOP_OWNER_CONFLICT", true},
      {"first pipe instance", [](HostWorld& h) { h.script.first_error = coded_os("DESKTOP_PIPE_UNAVAILABLE", 231); },
       "DESKTOP_PIPE_UNAVAILABLE", true},
      {"ledger invalid", [](HostWorld& h) { h.script.on_first = [&h] { h.fs.add_file(kRoot + "\\x.arm", std::string_view("no")); }; },
       "DESKTOP_STATE_INVALID", true},
      {"record not written", [](HostWorld& h) { h.script.on_first = [&h] { h.fs.move_error = 5; }; },
       "DESKTOP_STATE_WRITE_FAILED", true},
      {"start-up over 30 s", [](HostWorld& h) { h.script.on_first = [&h] { h.clock.advance(31s); }; },
       "DESKTOP_SESSION_EXPIRED", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto h = std::make_unique<HostWorld>();
    c.arrange(*h);
    auto result = h->run();
    ASSERT_FALSE(result);
    EXPECT_EQ(error_code_of(result.error()), c.code) << result.error().display_chain();
    EXPECT_FALSE(h->fs.exists(kRecord));
    EXPECT_EQ(h->fs.exists(kRoot), c.root_made);
    EXPECT_TRUE(h->script.waits.empty());  // never served
    h->held.clear();
  }
}

// --- serving ------------------------------------------------------------------

TEST_F(HostTest, ServesOneClientAtATimeAndEndsAfterClose) {
  std::optional<Owner> announced;
  script.arrivals.push_back(client({std::string("not json")}));
  script.arrivals.push_back(client({rpc(SessionStatus{}, "req-1", 2)}));
  script.arrivals.push_back(client({rpc(SessionStatus{}, "bad id")}));
  script.arrivals.push_back(client({}));  // sends nothing
  Arrival status = client({rpc(SessionStatus{}), ack()});
  status.meanwhile = [&] { announced = record_now(); };
  script.arrivals.push_back(std::move(status));
  script.arrivals.push_back(client({rpc(SessionClose{}, "req-2"), ack("req-2")}));

  auto result = run();
  ASSERT_TRUE(result) << result.error().display_chain();
  EXPECT_EQ(*result, session_closed_document(kHostSession));

  ASSERT_EQ(script.replies.size(), 2u);  // only the valid Rpcs were answered
  auto first = decode_reply(script.replies[0]);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->request_id, "req-1");
  EXPECT_EQ(first->result, session_status_document(kHostSession, 300s - 5s - 3s));
  EXPECT_EQ(decode_reply(script.replies[1])->result, session_closed_document(kHostSession));
  EXPECT_EQ(script.acks_read.size(), 2u);

  // A next instance before each disconnect but after close: never more than two.
  EXPECT_EQ(script.created, (std::vector<bool>{true, false, false, false, false, false}));
  EXPECT_EQ(script.most_live, 2);
  EXPECT_EQ(script.disconnects, 6);
  EXPECT_EQ(script.live, 0);

  ASSERT_TRUE(announced);
  EXPECT_EQ(announced->pid, kHostPid);
  EXPECT_EQ(announced->created, kHostCreated);
  EXPECT_EQ(announced->session_id, kHostSession);
  EXPECT_EQ(announced->user_sid, identity.sid);
  EXPECT_EQ(announced->instance, "00000000000000000000000000000001");
  EXPECT_FALSE(fs.exists(kRecord));
  EXPECT_TRUE(fs.exists(kRoot + "\\.session.lock"));  // never deleted
  EXPECT_FALSE(exit.code());
}

TEST_F(HostTest, AnIdleHostEndsWhenItsLeaseRunsOutAndDeletesItsRecord) {
  store_image("op-young", 10s);
  auto result = run();
  ASSERT_TRUE(result) << result.error().display_chain();
  EXPECT_EQ(*result, session_closed_document(kHostSession));
  ASSERT_GE(script.waits.size(), 2u);
  EXPECT_EQ(script.waits[0], 50s);   // the image's lease ends first
  EXPECT_EQ(script.waits[1], 250s);  // then only the idle lease
  EXPECT_FALSE(fs.exists(kRecord));
  EXPECT_FALSE(image_exists("op-young"));
  EXPECT_FALSE(exit.code());  // ended by itself, not by the watchdog
}

TEST_F(HostTest, AnImageIsRemovedAtItsExpiryWhileTheHostKeepsServing) {
  store_image("op-img", 50s);
  std::optional<bool> image_then;
  Arrival later = client({rpc(SessionStatus{}), ack()}, 11s);
  later.meanwhile = [&] { image_then = image_exists("op-img"); };
  script.arrivals.push_back(std::move(later));
  script.arrivals.push_back(client({rpc(SessionClose{}), ack()}));

  ASSERT_TRUE(run());
  ASSERT_GE(script.waits.size(), 2u);
  EXPECT_EQ(script.waits[0], 10s);
  EXPECT_EQ(script.waits[1], 290s);
  EXPECT_EQ(image_then, std::optional<bool>(false));
  EXPECT_EQ(script.replies.size(), 2u);
}

TEST_F(HostTest, WhileAOneShotCommandHoldsTheGateTheHostRetriesEvery250ms) {
  store_image("op-img", 10s);
  script.on_first = [this] {
    auto gate = fs.open(kRoot + "\\.gate", {FileAccess::kReadWrite, 0, FileCreation::kOpenAlways});
    ASSERT_TRUE(gate);
    held.push_back(std::move(*gate));
  };
  auto result = run();
  ASSERT_GE(script.waits.size(), 3u) << (result ? "" : result.error().display_chain());
  for (std::size_t i = 0; i + 1 < script.waits.size(); ++i) EXPECT_EQ(script.waits[i], 250ms) << i;
  // The final pass fails on the gate, but the record is deleted all the same.
  ASSERT_FALSE(result);
  EXPECT_EQ(error_code_of(result.error()), "DESKTOP_OWNER_CONFLICT");
  EXPECT_FALSE(fs.exists(kRecord));
  EXPECT_TRUE(image_exists("op-img"));
}

TEST_F(HostTest, AnImageThatCannotBeDeletedIsRetriedAfter250ms) {
  store_image("op-img", 55s);
  script.on_first = [this] {
    auto root = ensure_state_directory(fs, identity, kStateDir);
    fs.remove_errors_[*state_file_path(*root, "op-img", "image")] = 5;
  };
  auto result = run();
  ASSERT_GE(script.waits.size(), 4u);
  EXPECT_EQ(script.waits[0], 5s);
  EXPECT_EQ(script.waits[1], 250ms);
  EXPECT_EQ(script.waits[2], 250ms);
  ASSERT_FALSE(result);
  EXPECT_EQ(error_code_of(result.error()), "DESKTOP_STATE_WRITE_FAILED");
  EXPECT_FALSE(fs.exists(kRecord));
}

TEST_F(HostTest, AClientGoneBeforeTheConnectIsNoFailureButAPipeErrorEndsTheHost) {
  Arrival gone;
  gone.kind = Arrival::kConnectError;
  gone.error = kErrorNoData;
  script.arrivals.push_back(gone);
  Arrival early = client({rpc(SessionStatus{}), ack()});
  early.kind = Arrival::kConnectError;
  early.error = kErrorPipeConnected;
  script.arrivals.push_back(std::move(early));
  Arrival broken;
  broken.kind = Arrival::kConnectError;
  broken.error = 6;  // ERROR_INVALID_HANDLE
  script.arrivals.push_back(broken);
  store_image("op-img", 10s);

  auto result = run();
  ASSERT_FALSE(result);
  EXPECT_EQ(error_code_of(result.error()), "DESKTOP_PIPE_UNAVAILABLE");
  EXPECT_EQ(result.error().os_error(), 6u);
  ASSERT_EQ(script.replies.size(), 1u);  // the early client was served
  EXPECT_EQ(script.created, (std::vector<bool>{true, false}));
  EXPECT_TRUE(fs.exists(kRecord));          // an error ending leaves the record
  EXPECT_FALSE(image_exists("op-img"));     // but removes every image
  EXPECT_EQ(script.live, 0);
}

TEST_F(HostTest, AClientArrivingAfterTheLeaseRanOutGetsNoReply) {
  script.arrivals.push_back(client({rpc(SessionStatus{}), ack()}, 300s));
  auto result = run();
  ASSERT_TRUE(result) << result.error().display_chain();
  EXPECT_EQ(*result, session_closed_document(kHostSession));
  EXPECT_TRUE(script.replies.empty());
  EXPECT_FALSE(fs.exists(kRecord));
}

TEST_F(HostTest, ReconcileRenewsTheLeaseAndStatusDoesNot) {
  script.arrivals.push_back(client({rpc(SessionStatus{}), ack()}, 100s));
  script.arrivals.push_back(client({rpc(SessionReconcile{"op-1", "obs-1"}), ack()}, 50s));
  script.arrivals.push_back(client({rpc(SessionClose{}), ack()}, 10s));
  ASSERT_TRUE(run());
  ASSERT_EQ(script.waits.size(), 3u);
  EXPECT_EQ(script.waits[0], 300s);
  EXPECT_EQ(script.waits[1], 200s);
  EXPECT_EQ(script.waits[2], 300s);
}

TEST_F(HostTest, AStateWriteFailureInAResultEndsTheHostAfterItsReply) {
  reconcile_result = fail(coded_os("DESKTOP_STATE_WRITE_FAILED", 112));
  script.arrivals.push_back(client({rpc(SessionReconcile{"op-1", "obs-1"}), ack()}));
  script.arrivals.push_back(client({rpc(SessionStatus{}), ack()}));
  auto result = run();
  ASSERT_TRUE(result) << result.error().display_chain();
  ASSERT_EQ(script.replies.size(), 1u);
  EXPECT_EQ(code_in(script.replies[0]), "DESKTOP_STATE_WRITE_FAILED");
  EXPECT_EQ(script.created, (std::vector<bool>{true}));
  EXPECT_FALSE(fs.exists(kRecord));
}

TEST_F(HostTest, ANextInstanceThatCannotBeMadeEndsTheHostWithItsError) {
  script.create_error = coded_os("DESKTOP_PIPE_UNAVAILABLE", 231);
  script.arrivals.push_back(client({rpc(SessionStatus{}), ack()}));
  auto result = run();
  ASSERT_FALSE(result);
  EXPECT_EQ(error_code_of(result.error()), "DESKTOP_PIPE_UNAVAILABLE");
  EXPECT_EQ(script.replies.size(), 1u);
  EXPECT_TRUE(fs.exists(kRecord));
}

TEST_F(HostTest, AClientOfAnotherUserGetsItsAuthenticationErrorAndNoWork) {
  Arrival stranger = client({rpc(SessionReconcile{"op-1", "obs-1"}), ack()});
  stranger.sid = "S-1-5-21-9-9-9-1000";
  script.arrivals.push_back(std::move(stranger));
  script.arrivals.push_back(client({rpc(SessionFullscreenStatus{"op-1"}), ack()}));
  script.arrivals.push_back(client({rpc(SessionClose{}), ack()}));
  int reconciles = 0;
  broker.reconcile = [&](const cmd::Reconcile&) -> Result<CliDocument> {
    ++reconciles;
    return CliDocument(json::Object{});
  };
  ASSERT_TRUE(run());
  ASSERT_EQ(script.replies.size(), 3u);
  EXPECT_EQ(code_in(script.replies[0]), "DESKTOP_PEER_NOT_AUTHORIZED");
  EXPECT_EQ(code_in(script.replies[1]), "DESKTOP_FULLSCREEN_UNSUPPORTED");
  EXPECT_EQ(reconciles, 0);
}

TEST_F(HostTest, AClientThatDoesNotTakeItsReplyIsNotWaitedForAnAck) {
  script.replies_fail = true;
  script.arrivals.push_back(client({rpc(SessionStatus{}), ack()}));
  script.arrivals.push_back(client({rpc(SessionClose{}), ack()}, 1s));
  ASSERT_TRUE(run());
  EXPECT_TRUE(script.acks_read.empty());
  EXPECT_EQ(script.waits.size(), 2u);
}

TEST(HostWait, TheWaitIsTheSoonerOfLeaseAndImageWithAFloorAfterAFailedPass) {
  struct Case {
    std::chrono::nanoseconds lease;
    std::optional<std::chrono::nanoseconds> image;
    bool failed;
    std::chrono::nanoseconds wait;
  };
  const std::vector<Case> cases = {
      {300s, std::nullopt, false, 300s},
      {300s, 10s, false, 10s},
      {5s, 10s, false, 5s},
      {300s, 0s, false, 0s},
      {299'999'999'999ns, std::nullopt, false, 299'999'999'999ns},  // full precision
      {300s, 0s, true, 250ms},
      {300s, std::nullopt, true, 300s},
      {100ms, 0s, true, 100ms},  // never past the lease
      {0s, 10s, true, 0s},
      {300s, 2s, true, 2s},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(host_wait_time(c.lease, c.image, c.failed), c.wait)
        << c.lease.count() << " " << (c.image ? c.image->count() : -1) << " " << c.failed;
  }
}

}  // namespace
}  // namespace vor::desktop
