#include "standalone_main/command_line.h"

#include <gtest/gtest.h>

#include "protocol/worker_args.h"

namespace vor::desktop {
namespace {

std::vector<Argument> words(std::initializer_list<const char*> list) {
  std::vector<Argument> out;
  for (const char* w : list) out.emplace_back(w == nullptr ? Argument() : Argument(w));
  return out;
}

// The code of a failed parse, or "" when it parsed.
std::string code_of(std::initializer_list<const char*> list) {
  auto args = words(list);
  auto r = parse_command(args);
  return r ? std::string() : r.error().outermost();
}

TEST(SelectRole, OnlyTheExactFirstWordSelects) {
  EXPECT_EQ(select_role(words({"worker"})), Role::kWorker);
  EXPECT_EQ(select_role(words({"session-host", "--x"})), Role::kSessionHost);
  EXPECT_EQ(select_role(words({"Worker"})), Role::kCommandLine);
  EXPECT_EQ(select_role(words({"help", "worker"})), Role::kCommandLine);
  EXPECT_EQ(select_role(words({nullptr, "worker"})), Role::kCommandLine);
}

TEST(ParseCommand, InvocationCodes) {
  struct Case {
    std::initializer_list<const char*> args;
    const char* code;  // "" parses
  };
  const Case cases[] = {
      {{"help"}, ""},
      {{"--help"}, ""},
      {{"--version"}, ""},
      {{"sessions"}, ""},
      {{"help", "--state-dir", "C:\\s"}, "DESKTOP_INVOCATION_INVALID"},
      {{"help", "--x", "y"}, "DESKTOP_STATE_DIR_REQUIRED"},
      {{"sessions", "--a", "b"}, "DESKTOP_STATE_DIR_REQUIRED"},
      {{"status"}, "DESKTOP_STATE_DIR_REQUIRED"},
      {{"frobnicate"}, "DESKTOP_STATE_DIR_REQUIRED"},
      {{"frobnicate", "--state-dir", "C:\\s"}, "DESKTOP_INVOCATION_INVALID"},
      {{nullptr}, "DESKTOP_STATE_DIR_REQUIRED"},
      {{nullptr, "--state-dir", "C:\\s"}, "DESKTOP_INVOCATION_INVALID"},
      {{"status", "--state-dir", "C:\\s"}, "DESKTOP_OPERATION_ID_REQUIRED"},
      {{"status", "--state-dir", "C:\\s", "--operation-id", "op"}, ""},
      {{"status", "--state-dir", "C:\\s", "--operation-id", "op", "--x", "y"}, "DESKTOP_INVOCATION_INVALID"},
      {{"status", "--operation-id", "a", "--operation-id", "b", "--state-dir", "C:\\s"}, "DESKTOP_INVOCATION_INVALID"},
      {{"status", "--state-dir", "C:\\s", "--operation-id"}, "DESKTOP_INVOCATION_INVALID"},
      {{"status", "--state-dir", "", "--operation-id", "op"}, "DESKTOP_INVOCATION_INVALID"},
      {{"status", "-x", "v", "--state-dir", "C:\\s"}, "DESKTOP_INVOCATION_INVALID"},
      {{"status", "--state-dir", nullptr}, "DESKTOP_INVOCATION_INVALID"},
      {{"image-export", "--state-dir", "C:\\s", "--operation-id", "op"}, ""},
      {{"execute", "--state-dir", "C:\\s"}, "DESKTOP_REQUEST_REQUIRED"},
      {{"execute", "--request", "C:\\r.json"}, "DESKTOP_STATE_DIR_REQUIRED"},
      {{"execute", "--request", "C:\\r.json", "--state-dir", "C:\\s"}, ""},
      {{"reconcile", "--state-dir", "C:\\s", "--observation-id", "o"}, "DESKTOP_OPERATION_ID_REQUIRED"},
      {{"reconcile", "--state-dir", "C:\\s", "--operation-id", "t"}, "DESKTOP_OBSERVATION_REQUIRED"},
      {{"reconcile", "--state-dir", "C:\\s", "--operation-id", "t", "--observation-id", "o"}, ""},
      {{"probe"}, "DESKTOP_SESSION_REQUIRED"},
      {{"probe", "--session-id", "0"}, "DESKTOP_SESSION_INVALID"},
      {{"probe", "--session-id", "-1"}, "DESKTOP_SESSION_INVALID"},
      {{"probe", "--session-id", "4294967296"}, "DESKTOP_SESSION_INVALID"},
      {{"probe", "--session-id", "+"}, "DESKTOP_SESSION_INVALID"},
      {{"probe", "--session-id", " 7"}, "DESKTOP_SESSION_INVALID"},
      {{"probe", "--session-id", "+7"}, ""},
      {{"probe", "--session-id", "4294967295"}, ""},
      {{"probe", "--session-id", "1", "--state-dir", "C:\\s"}, "DESKTOP_INVOCATION_INVALID"},
      {{"session-status"}, "DESKTOP_STATE_DIR_REQUIRED"},
      {{"session-status", "--state-dir", "C:\\s"}, ""},
      {{"session-status", "--state-dir", "C:\\s", "--operation-id", "op"}, "DESKTOP_INVOCATION_INVALID"},
      {{"session-status", "--state-dir"}, "DESKTOP_INVOCATION_INVALID"},
      {{"session-close", "--state-dir", "C:\\s"}, ""},
      {{"session-start", "--state-dir", "C:\\s"}, "DESKTOP_SESSION_REQUIRED"},
      {{"session-start", "--state-dir", "C:\\s", "--session-id", "0"}, "DESKTOP_SESSION_INVALID"},
      {{"session-start", "--state-dir", "C:\\s", "--session-id", "2"}, ""},
      {{"session-host", "--state-dir", "C:\\s", "--session-id", "2"}, ""},
      {{"session-execute", "--state-dir", "C:\\s"}, "DESKTOP_REQUEST_REQUIRED"},
      {{"session-operation-status", "--state-dir", "C:\\s"}, "DESKTOP_OPERATION_ID_REQUIRED"},
      {{"session-image-export", "--state-dir", "C:\\s", "--operation-id", "op"}, ""},
      {{"session-reconcile", "--state-dir", "C:\\s", "--operation-id", "op"}, "DESKTOP_OBSERVATION_REQUIRED"},
      {{"session-bogus", "--state-dir", "C:\\s"}, "DESKTOP_INVOCATION_INVALID"},
      {{"session-bogus"}, "DESKTOP_STATE_DIR_REQUIRED"},
      {{"session-fullscreen-arm"}, "DESKTOP_FULLSCREEN_UNSUPPORTED"},
      {{"session-fullscreen-"}, "DESKTOP_FULLSCREEN_UNSUPPORTED"},
      {{"session-fullscreen-x", "--odd"}, "DESKTOP_FULLSCREEN_UNSUPPORTED"},
      {{"session-fullscreen-x", nullptr, nullptr}, "DESKTOP_FULLSCREEN_UNSUPPORTED"},
      {{"session-fullscreen"}, "DESKTOP_STATE_DIR_REQUIRED"},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const char* a : c.args) joined += std::string(a ? a : "<invalid>") + " ";
    EXPECT_EQ(code_of(c.args), c.code) << joined;
  }
}

TEST(ParseCommand, CarriesTheValuesAsGiven) {
  auto args = words({"reconcile", "--observation-id", " o ", "--state-dir", "C:\\s", "--operation-id", "t"});
  auto r = parse_command(args);
  ASSERT_TRUE(r);
  const auto& rec = std::get<cmd::Reconcile>(std::get<OneShotCommand>(*r));
  EXPECT_EQ(rec.operation_id, "t");
  EXPECT_EQ(rec.observation_id, " o ");
  EXPECT_EQ(rec.state_dir, "C:\\s");
  auto probe = words({"probe", "--session-id", "+7"});
  EXPECT_EQ(std::get<cmd::Probe>(std::get<OneShotCommand>(*parse_command(probe))).session_id, 7u);
}

TEST(WorkerArgs, ExactOrderAndLimits) {
  const std::string pipe = "\\\\.\\pipe\\Vor.Desktop.abc";
  const std::string long_pipe = "\\\\.\\pipe\\Vor.Desktop." + std::string(100 - 21, 'x');
  const std::string too_long = long_pipe + "x";
  struct Case {
    std::vector<const char*> args;
    const char* code;
  };
  const Case cases[] = {
      {{"--pipe", pipe.c_str(), "--broker-pid", "12", "--session", "1"}, ""},
      {{"--pipe", long_pipe.c_str(), "--broker-pid", "12", "--session", "+1"}, ""},
      {{"--pipe", too_long.c_str(), "--broker-pid", "12", "--session", "1"}, "DESKTOP_INVOCATION_INVALID"},
      {{"--pipe", "\\\\.\\pipe\\Other.abc", "--broker-pid", "12", "--session", "1"}, "DESKTOP_INVOCATION_INVALID"},
      {{"--broker-pid", "12", "--pipe", pipe.c_str(), "--session", "1"}, "DESKTOP_INVOCATION_INVALID"},
      {{"--pipe", pipe.c_str(), "--broker-pid", "12", "--session", "1", "x"}, "DESKTOP_INVOCATION_INVALID"},
      {{"--pipe", pipe.c_str(), "--broker-pid", "12"}, "DESKTOP_INVOCATION_INVALID"},
      {{"--pipe", pipe.c_str(), "--broker-pid", "-1", "--session", "1"}, "DESKTOP_INVOCATION_INVALID"},
      {{"--pipe", pipe.c_str(), "--broker-pid", "12", "--session", "x"}, "DESKTOP_INVOCATION_INVALID"},
      {{"--pipe", pipe.c_str(), "--broker-pid", "12", "--session", "0"}, "DESKTOP_SESSION_MISMATCH"},
      {{"--pipe", nullptr, "--broker-pid", "12", "--session", "1"}, "DESKTOP_INVOCATION_INVALID"},
  };
  for (const auto& c : cases) {
    std::vector<std::optional<std::string>> args;
    for (const char* a : c.args) args.emplace_back(a ? std::optional<std::string>(a) : std::nullopt);
    auto r = parse_worker_args(args);
    EXPECT_EQ(r ? std::string() : r.error().outermost(), c.code) << (c.args.size() > 1 && c.args[1] ? c.args[1] : "");
  }
}

}  // namespace
}  // namespace vor::desktop
