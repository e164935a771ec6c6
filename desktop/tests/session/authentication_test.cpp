#include "session/authentication.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>

namespace vor::desktop {
namespace {

constexpr std::uint32_t kHostPid = 100;
constexpr std::uint32_t kClientPid = 500;
constexpr std::uint32_t kOtherPid = 600;
constexpr const char* kUserSid = "S-1-5-21-1-2-3-1001";
constexpr const char* kSystem = "S-1-5-18";
const std::u16string kImage = u"C:\\Program Files\\Vor\\Vor.Marionet.exe";

Owner host_owner() { return Owner{1, "0123456789abcdef0123456789abcdef", kHostPid, 1, 1, kUserSid}; }

struct FakeProcess {
  std::u16string image = kImage;
  std::optional<std::uint32_t> image_error;
  std::uint32_t exit_code = kStillActive;
  std::optional<std::uint32_t> exit_error;
};

// The client and the processes the host can see, scripted per case. It
// counts open handles and notes any process query made while impersonating.
class FakeAuth final : public PeerAuthSys {
 public:
  std::uint32_t client_pid = kClientPid;
  std::uint32_t client_session = 1;
  std::string client_sid = kUserSid;
  std::optional<std::uint32_t> pid_error, session_error, impersonate_error, token_error;
  std::optional<std::string> sid_failure;  // the token's SID read fails with this code
  bool revert_fails = false;
  std::map<std::uint32_t, FakeProcess> processes{{kHostPid, {}}, {kClientPid, {}}};
  std::map<std::uint64_t, std::uint32_t> granted;  // handle value in the host -> process id

  int open_handles = 0;
  int opened = 0;
  int duplicated = 0;
  int reverts = 0;
  bool impersonating = false;
  bool queried_while_impersonating = false;

  class Proc final : public Process {
   public:
    Proc(FakeAuth& f, std::uint32_t pid) : f_(f), pid_(pid) { ++f_.open_handles; }
    ~Proc() override { --f_.open_handles; }
    Win32<std::u16string> image_path() override {
      const FakeProcess& p = f_.processes.at(pid_);
      if (p.image_error) return win32_error(*p.image_error);
      return p.image;
    }
    Win32<std::uint32_t> exit_code() override {
      const FakeProcess& p = f_.processes.at(pid_);
      if (p.exit_error) return win32_error(*p.exit_error);
      return p.exit_code;
    }
    std::uint32_t process_id() override { return pid_; }

   private:
    FakeAuth& f_;
    std::uint32_t pid_;
  };

  class Tok final : public Token {
   public:
    explicit Tok(FakeAuth& f) : f_(f) {}
    Result<std::string> user_sid() override {
      if (f_.sid_failure) return fail(Error::os(1312).context(*f_.sid_failure));
      return f_.client_sid;
    }

   private:
    FakeAuth& f_;
  };

  Win32<std::uint32_t> client_process_id() override {
    if (pid_error) return win32_error(*pid_error);
    return client_pid;
  }
  Win32<std::uint32_t> client_session_id() override {
    if (session_error) return win32_error(*session_error);
    return client_session;
  }
  Win32<void> impersonate_client() override {
    if (impersonate_error) return win32_error(*impersonate_error);
    impersonating = true;
    return {};
  }
  Win32<std::unique_ptr<Token>> open_thread_token() override {
    if (token_error) return win32_error(*token_error);
    return std::unique_ptr<Token>(new Tok(*this));
  }
  Win32<void> revert_to_self() override {
    ++reverts;
    if (revert_fails) return win32_error(5);
    impersonating = false;
    return {};
  }
  std::uint32_t current_process_id() override { return kHostPid; }
  Win32<std::unique_ptr<Process>> open_process(std::uint32_t pid) override {
    queried_while_impersonating |= impersonating;
    ++opened;
    if (!processes.contains(pid)) return win32_error(87);
    return std::unique_ptr<Process>(new Proc(*this, pid));
  }
  Win32<std::unique_ptr<Process>> duplicate_granted(std::uint64_t handle) override {
    queried_while_impersonating |= impersonating;
    ++duplicated;
    auto it = granted.find(handle);
    if (it == granted.end()) return win32_error(6);
    return std::unique_ptr<Process>(new Proc(*this, it->second));
  }
};

void as_system_in_session_0(FakeAuth& f) {
  f.client_sid = kSystem;
  f.client_session = 0;
}

struct AuthCase {
  const char* name;
  void (*script)(FakeAuth&);
  std::optional<std::uint64_t> handle;
  std::string code;  // "" when accepted
  std::optional<std::uint32_t> os_error = std::nullopt;
};

void PrintTo(const AuthCase& c, std::ostream* os) { *os << c.name; }

class Authentication : public ::testing::TestWithParam<AuthCase> {};

TEST_P(Authentication, DecidesAsTheRouteTableSays) {
  const AuthCase& c = GetParam();
  FakeAuth f;
  c.script(f);
  int aborts = 0;
  const Status s = authenticate_pipe_client(f, host_owner(), c.handle, [&] { ++aborts; });
  if (c.code.empty()) {
    EXPECT_TRUE(s) << s.error().display_chain();
  } else {
    ASSERT_FALSE(s);
    EXPECT_EQ(s.error().outermost(), c.code) << s.error().display_chain();
    if (c.os_error) {
      EXPECT_EQ(s.error().os_error(), c.os_error);
    }
  }
  EXPECT_EQ(f.open_handles, 0) << "every process handle is closed on every path";
  EXPECT_FALSE(f.queried_while_impersonating);
  EXPECT_FALSE(f.impersonating && aborts == 0) << "left impersonating";
  EXPECT_LE(f.reverts, 1);
  EXPECT_EQ(aborts, f.revert_fails ? 1 : 0);
  // The granted handle is only ever duplicated, never closed by the host, and
  // only on the LocalSystem route with a real handle value.
  if (!c.handle || *c.handle == 0 || *c.handle == ~std::uint64_t{0}) {
    EXPECT_EQ(f.duplicated, 0);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Session, Authentication,
    ::testing::Values(
        // The host's user in its session.
        AuthCase{"SameUserSameImageAccepted", [](FakeAuth&) {}, std::nullopt, ""},
        AuthCase{"SameUserOtherCopyRefused",
                 [](FakeAuth& f) { f.processes[kClientPid].image = u"C:\\copy\\Vor.Marionet.exe"; }, std::nullopt,
                 "DESKTOP_PEER_NOT_AUTHORIZED"},
        AuthCase{"SameUserPathInOtherLetterCaseRefused",
                 [](FakeAuth& f) { f.processes[kClientPid].image = u"C:\\Program Files\\Vor\\vor.marionet.exe"; },
                 std::nullopt, "DESKTOP_PEER_NOT_AUTHORIZED"},
        AuthCase{"VerbatimPrefixIsNotADifference",
                 [](FakeAuth& f) { f.processes[kHostPid].image = u"\\\\?\\" + kImage; }, std::nullopt, ""},
        AuthCase{"SameUserWithAHandleRefusedWithoutTouchingIt", [](FakeAuth& f) { f.granted[0x44] = kClientPid; },
                 0x44, "DESKTOP_PEER_NOT_AUTHORIZED"},
        AuthCase{"SameUserOtherSessionRefused", [](FakeAuth& f) { f.client_session = 2; }, std::nullopt,
                 "DESKTOP_PEER_NOT_AUTHORIZED"},
        AuthCase{"OtherUserRefused", [](FakeAuth& f) { f.client_sid = "S-1-5-21-1-2-3-1002"; }, std::nullopt,
                 "DESKTOP_PEER_NOT_AUTHORIZED"},
        AuthCase{"UserSidPrefixOnlyRefused", [](FakeAuth& f) { f.client_sid = "S-1-5-21-1-2-3-100"; }, std::nullopt,
                 "DESKTOP_PEER_NOT_AUTHORIZED"},
        AuthCase{"HostCannotOpenTheClient", [](FakeAuth& f) { f.processes.erase(kClientPid); }, std::nullopt,
                 "DESKTOP_PROCESS_UNAVAILABLE", 87},
        AuthCase{"ClientImageUnreadable", [](FakeAuth& f) { f.processes[kClientPid].image_error = 31; }, std::nullopt,
                 "DESKTOP_PEER_IMAGE_UNAVAILABLE", 31},
        AuthCase{"OwnImageUnreadable", [](FakeAuth& f) { f.processes[kHostPid].image_error = 32; }, std::nullopt,
                 "DESKTOP_PEER_IMAGE_UNAVAILABLE", 32},
        // LocalSystem.
        AuthCase{"SystemInSession0WithoutHandleSameImageAccepted", as_system_in_session_0, std::nullopt, ""},
        AuthCase{"SystemInSession0WithoutHandleUnopenableRefused",
                 [](FakeAuth& f) {
                   as_system_in_session_0(f);
                   f.processes.erase(kClientPid);
                 },
                 std::nullopt, "DESKTOP_PROCESS_UNAVAILABLE", 87},
        AuthCase{"SystemInSession0WithoutHandleOtherImageRefused",
                 [](FakeAuth& f) {
                   as_system_in_session_0(f);
                   f.processes[kClientPid].image = u"C:\\Windows\\System32\\svchost.exe";
                 },
                 std::nullopt, "DESKTOP_PEER_NOT_AUTHORIZED"},
        AuthCase{"SystemInSession1WithoutHandleRefused",
                 [](FakeAuth& f) {
                   f.client_sid = kSystem;
                   f.client_session = 1;
                 },
                 std::nullopt, "DESKTOP_PEER_NOT_AUTHORIZED"},
        AuthCase{"SystemInSession1WithAValidHandleRefused",
                 [](FakeAuth& f) {
                   f.client_sid = kSystem;
                   f.client_session = 1;
                   f.granted[0x44] = kClientPid;
                 },
                 0x44, "DESKTOP_PEER_NOT_AUTHORIZED"},
        AuthCase{"SystemInSession0WithAHandleToItselfAccepted",
                 [](FakeAuth& f) {
                   as_system_in_session_0(f);
                   f.granted[0x44] = kClientPid;
                 },
                 0x44, ""},
        AuthCase{"SystemHandleToAnotherProcessRefused",
                 [](FakeAuth& f) {
                   as_system_in_session_0(f);
                   f.processes[kOtherPid] = {};
                   f.granted[0x44] = kOtherPid;
                 },
                 0x44, "DESKTOP_PEER_NOT_AUTHORIZED"},
        AuthCase{"SystemHandleToAnExitedProcessRefused",
                 [](FakeAuth& f) {
                   as_system_in_session_0(f);
                   f.processes[kClientPid].exit_code = 0;
                   f.granted[0x44] = kClientPid;
                 },
                 0x44, "DESKTOP_PEER_NOT_AUTHORIZED"},
        AuthCase{"SystemHandleValueZeroRefused", as_system_in_session_0, 0, "DESKTOP_PEER_NOT_AUTHORIZED"},
        AuthCase{"SystemHandleValueAllOnesRefused", as_system_in_session_0, ~std::uint64_t{0},
                 "DESKTOP_PEER_NOT_AUTHORIZED"},
        AuthCase{"SystemHandleNotDuplicable", as_system_in_session_0, 0x48, "DESKTOP_PEER_QUERY_GRANT_INVALID", 6},
        AuthCase{"SystemHandleExitCodeUnreadable",
                 [](FakeAuth& f) {
                   as_system_in_session_0(f);
                   f.processes[kClientPid].exit_error = 5;
                   f.granted[0x44] = kClientPid;
                 },
                 0x44, "DESKTOP_PEER_QUERY_GRANT_INVALID", 5},
        AuthCase{"SystemHandleToAnotherImageRefused",
                 [](FakeAuth& f) {
                   as_system_in_session_0(f);
                   f.processes[kClientPid].image = u"C:\\copy\\Vor.Marionet.exe";
                   f.granted[0x44] = kClientPid;
                 },
                 0x44, "DESKTOP_PEER_NOT_AUTHORIZED"},
        AuthCase{"SystemHandleImageUnreadable",
                 [](FakeAuth& f) {
                   as_system_in_session_0(f);
                   f.processes[kClientPid].image_error = 31;
                   f.granted[0x44] = kClientPid;
                 },
                 0x44, "DESKTOP_PEER_IMAGE_UNAVAILABLE", 31},
        AuthCase{"SystemHandleHostCannotOpenItself",
                 [](FakeAuth& f) {
                   as_system_in_session_0(f);
                   f.processes.erase(kHostPid);
                   f.granted[0x44] = kClientPid;
                 },
                 0x44, "DESKTOP_PROCESS_UNAVAILABLE", 87},
        // The steps before the route.
        AuthCase{"ClientProcessIdUnreadable", [](FakeAuth& f) { f.pid_error = 233; }, std::nullopt,
                 "DESKTOP_PEER_UNAVAILABLE", 233},
        AuthCase{"ClientSessionUnreadable", [](FakeAuth& f) { f.session_error = 233; }, std::nullopt,
                 "DESKTOP_PEER_SESSION_UNAVAILABLE", 233},
        AuthCase{"ImpersonationRefused", [](FakeAuth& f) { f.impersonate_error = 1368; }, std::nullopt,
                 "DESKTOP_PEER_NOT_AUTHORIZED", 1368},
        AuthCase{"ThreadTokenUnavailable", [](FakeAuth& f) { f.token_error = 1008; }, std::nullopt,
                 "DESKTOP_PEER_NOT_AUTHORIZED", 1008},
        AuthCase{"TokenUserUnreadable", [](FakeAuth& f) { f.sid_failure = "DESKTOP_TOKEN_UNAVAILABLE"; }, std::nullopt,
                 "DESKTOP_TOKEN_UNAVAILABLE", 1312},
        AuthCase{"SidTextUnavailable", [](FakeAuth& f) { f.sid_failure = "DESKTOP_SID_UNAVAILABLE"; }, std::nullopt,
                 "DESKTOP_SID_UNAVAILABLE", 1312},
        AuthCase{"RevertFailingEndsTheProcessAndNeverAccepts", [](FakeAuth& f) { f.revert_fails = true; },
                 std::nullopt, "DESKTOP_PEER_NOT_AUTHORIZED"}),
    [](const ::testing::TestParamInfo<AuthCase>& info) { return std::string(info.param.name); });

TEST(Authentication, RouteTable) {
  const Owner owner = host_owner();
  struct Row {
    const char* sid;
    std::uint32_t session;
    std::optional<std::uint64_t> handle;
    PeerRoute route;
  };
  const Row rows[] = {
      {kUserSid, 1, std::nullopt, PeerRoute::kSameUserImage},
      {kUserSid, 1, 7, PeerRoute::kRefused},
      {kUserSid, 0, std::nullopt, PeerRoute::kRefused},
      {kUserSid, 2, std::nullopt, PeerRoute::kRefused},
      {kSystem, 0, std::nullopt, PeerRoute::kSystemImage},
      {kSystem, 0, 7, PeerRoute::kSystemHandle},
      {kSystem, 0, 0, PeerRoute::kSystemHandle},  // refused by the handle check itself
      {kSystem, 1, std::nullopt, PeerRoute::kRefused},
      {kSystem, 1, 7, PeerRoute::kRefused},
      {"s-1-5-18", 0, std::nullopt, PeerRoute::kRefused},
      {"S-1-5-21-1-2-3-1002", 1, std::nullopt, PeerRoute::kRefused},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(std::string(r.sid) + " session " + std::to_string(r.session));
    EXPECT_EQ(decide_peer_route(owner, r.sid, r.session, r.handle), r.route);
  }
}

TEST(Authentication, ScopedImpersonationRevertsOnceWhenDropped) {
  FakeAuth f;
  int aborts = 0;
  {
    auto imp = ScopedImpersonation::begin(f, [&] { ++aborts; });
    ASSERT_TRUE(imp);
    auto moved = std::move(*imp);  // the moved-from owner must not revert again
    EXPECT_TRUE(f.impersonating);
  }
  EXPECT_FALSE(f.impersonating);
  EXPECT_EQ(f.reverts, 1);
  EXPECT_EQ(aborts, 0);
  f.impersonate_error = 5;
  auto refused = ScopedImpersonation::begin(f, [&] { ++aborts; });
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().outermost(), "DESKTOP_PEER_NOT_AUTHORIZED");
  EXPECT_EQ(f.reverts, 1) << "nothing to revert after a refused impersonation";
}

}  // namespace
}  // namespace vor::desktop
