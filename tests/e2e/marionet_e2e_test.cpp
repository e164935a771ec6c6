#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "common/json.h"
#include "e2e.h"

namespace vor::e2e {
namespace {

const std::string kCapabilities = R"CAP({"buildVariant":"standard","captureCapabilities":{"gdiFallback":false,"maximumCropBytes":67108864,"method":"dxgi_desktop_duplication","visibleUnoccludedWindowOnly":true,"windowSource":{"action":"capture_window","automaticFallback":false,"backend":"windows_graphics_capture","coordinateSpace":"window_source_pixels_not_input_coordinates","explicitOnly":true,"mayCaptureOccludedWindow":true,"requiresForeground":false,"requiresVisibleNonminimizedUncloakedWindow":true,"runtimeSupport":"checked_per_operation_including_border_api","sdrOnly":true,"systemBorderRequired":true,"version":1}},"commands":["sessions","probe --session-id ID","session-start --session-id ID --state-dir DIRECTORY","session-execute --request FILE --state-dir DIRECTORY","session-status --state-dir DIRECTORY","session-close --state-dir DIRECTORY","session-operation-status --operation-id ID --state-dir DIRECTORY","session-image-export --operation-id ID --state-dir DIRECTORY","session-reconcile --operation-id ID --observation-id ID --state-dir DIRECTORY","execute --request FILE --state-dir DIRECTORY","status --operation-id ID --state-dir DIRECTORY","image-export --operation-id ID --state-dir DIRECTORY","reconcile --operation-id ID --observation-id ID --state-dir DIRECTORY"],"executable":"Vor.Marionet.exe","fullscreenDiagnostic":{"compiled":false,"defaultEnabled":false,"supported":false,"unavailableCode":"DESKTOP_FULLSCREEN_UNSUPPORTED"},"inputCapabilities":{"arbitraryChords":false,"chordsMayChangeForeground":true,"fixedKeys":["enter","escape","tab","backspace","space","up","down","left","right","alt_tab","show_desktop"],"maximumChordEvents":4},"lifecycle":{"closesTargetApplications":false,"idlePolling":false,"idleResets":"after_completed_work_not_status","launcherHardDeadlineSeconds":30,"mode":"reusable_session_or_one_shot","sessionIdleTimeoutSeconds":300,"timeoutExitCode":124,"workerHardDeadlineSeconds":15},"localDataProtection":{"fileAccess":"owner_and_system","idleImageCleanup":true,"imageExport":"session-image-export","imageLeaseSeconds":60,"recoveryReceipts":"encrypted_minimized","storage":"windows_dpapi_machine_v1","unknownInputReceiptsExpire":false,"version":1},"product":"Vor Marionet","protocol":1,"purpose":"Vor Windows Marionet Runtime","requiresKerno":false,"schemaVersion":"vor.desktop-cli/v1","semanticAutomation":{"actions":["find_windows","find_elements","wait_element","element_action"],"automaticInputReplay":false,"backend":"windows_uia_com","elementOperations":["invoke","set_value"],"executionModel":{"automaticReplay":false,"deliveryAndVerificationSeparate":true,"focusPolicy":"explicit_no_auto_focus","notice":"fresh_two_phase_panel_proof","notificationStateIsAuthority":false,"queryProperties":"bounded_build_cache","version":1},"foregroundRequiredForSemanticAction":false,"maximumElements":32,"maximumNodes":256,"maximumWaitMilliseconds":4000,"passwordElements":false,"requiresPostcondition":true,"version":1},"standaloneWorkerReadiness":1,"version":"0.1.0-preview.27"})CAP" "\n";

const std::string kDefault =
    "Check the exact operation/session and supported CLI options. Observe again before new input; do not replay an "
    "uncertain action.";
const std::string kFullscreen =
    "This standard build contains no fullscreen pilot. Continue with ordinary observe/actions on a supported visible "
    "desktop. Do not erase State, retry armed input through execute or replace the module automatically; "
    "experimental work needs an explicitly approved separate pilot artifact.";

const char* kExe = "Vor.Marionet.exe";

TEST(Marionet, NoArgumentsPrintsNothingAndSucceeds) {
  auto r = run(kExe, {});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err, "");
}

TEST(Marionet, HelpVerbsPrintTheCapabilityDocument) {
  for (const char* verb : {"help", "--help", "--version"}) {
    auto r = run(kExe, {verb});
    EXPECT_EQ(r.exit_code, 0) << verb;
    EXPECT_EQ(r.out, kCapabilities) << verb;
    EXPECT_EQ(r.err, "") << verb;
  }
  auto release = run(kExe, {"--version"}, Build::kRelease);
  EXPECT_EQ(release.exit_code, 0);
  EXPECT_EQ(release.out, kCapabilities);
}

struct InvocationCase {
  std::vector<std::string> args;
  std::string code;
};

TEST(Marionet, InvocationErrorsExit64WithTheirDocument) {
  const InvocationCase cases[] = {
      {{"help", "--x", "y"}, "DESKTOP_STATE_DIR_REQUIRED"},
      {{"help", "--state-dir", "C:\\s"}, "DESKTOP_INVOCATION_INVALID"},
      {{"status"}, "DESKTOP_STATE_DIR_REQUIRED"},
      {{"frobnicate"}, "DESKTOP_STATE_DIR_REQUIRED"},
      {{"frobnicate", "--state-dir", "C:\\s"}, "DESKTOP_INVOCATION_INVALID"},
      {{"status", "--operation-id", "a", "--operation-id", "b", "--state-dir", "C:\\s"}, "DESKTOP_INVOCATION_INVALID"},
      {{"status", "--operation-id", "a", "--state-dir", "C:\\s", "--extra", "v"}, "DESKTOP_INVOCATION_INVALID"},
      {{"status", "--operation-id", "", "--state-dir", "C:\\s"}, "DESKTOP_INVOCATION_INVALID"},
      {{"status", "--operation-id", "a", "--state-dir"}, "DESKTOP_INVOCATION_INVALID"},
      {{"probe", "--session-id", "0"}, "DESKTOP_SESSION_INVALID"},
      {{"probe", "--session-id", "-1"}, "DESKTOP_SESSION_INVALID"},
      {{"probe", "--session-id", "4294967296"}, "DESKTOP_SESSION_INVALID"},
      {{"probe"}, "DESKTOP_SESSION_REQUIRED"},
      {{"probe", "--session-id", "1", "--state-dir", "C:\\s"}, "DESKTOP_INVOCATION_INVALID"},
      {{"session-status"}, "DESKTOP_STATE_DIR_REQUIRED"},
      {{"session-status", "--state-dir", "C:\\s", "--operation-id", "x"}, "DESKTOP_INVOCATION_INVALID"},
      {{"reconcile", "--operation-id", "t", "--state-dir", "C:\\s"}, "DESKTOP_OBSERVATION_REQUIRED"},
      {{"execute", "--state-dir", "C:\\s"}, "DESKTOP_REQUEST_REQUIRED"},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    auto r = run(kExe, c.args);
    EXPECT_EQ(r.exit_code, 64) << joined;
    EXPECT_EQ(r.out, error_document(c.code, kDefault)) << joined;
  }
}

TEST(Marionet, EveryFullscreenVerbIsUnsupported) {
  const std::vector<std::vector<std::string>> cases = {
      {"session-fullscreen-arm"},
      {"session-fullscreen-arm", "--arm-id", "a1", "--state-dir", "C:\\s"},
      {"session-fullscreen-status", "--arm-id"},
      {"session-fullscreen-revoke", "--arm-id", "a1"},
      {"session-fullscreen-"},
  };
  for (const auto& args : cases) {
    auto r = run(kExe, args);
    EXPECT_EQ(r.exit_code, 64) << args[0];
    EXPECT_EQ(r.out, error_document("DESKTOP_FULLSCREEN_UNSUPPORTED", kFullscreen)) << args[0];
  }
}

TEST(Marionet, ProbeAcceptsAPlusSign) {
  // "+7" parses as session 7; the probe then fails as work (exit 1), not as
  // an invocation (exit 64).
  auto r = run(kExe, {"probe", "--session-id", "+7"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out.find("DESKTOP_SESSION_INVALID"), std::string::npos);
  EXPECT_NE(r.out.find("\"sessionId\":7"), std::string::npos) << r.out;
}

json::Value parsed_line(const std::string& out) {
  EXPECT_TRUE(out.ends_with("\n")) << out;
  auto value = json::parse(std::string_view(out).substr(0, out.empty() ? 0 : out.size() - 1));
  EXPECT_TRUE(value) << out;
  return value ? std::move(*value) : json::Value();
}

std::vector<std::string> keys_of(const json::Value& document) {
  std::vector<std::string> keys;
  if (const json::Object* members = document.as_object()) {
    for (const json::Member& m : *members) keys.push_back(m.key);
  }
  return keys;
}

TEST(Marionet, ProbeOfTheOwnSessionStartsAuthenticatesAndEndsAWorker) {
  auto r = run(kExe, {"probe", "--session-id", "1"});
  EXPECT_EQ(r.exit_code, 0) << r.out;
  EXPECT_EQ(r.err, "");
  const json::Value doc = parsed_line(r.out);
  ASSERT_EQ(keys_of(doc), (std::vector<std::string>{"callerInJob", "callerIsSystem", "callerSessionId", "code",
                                                    "elapsedMs", "nextSafeAction", "ready", "requestDispatched",
                                                    "reusableHostStartSupported", "schemaVersion", "sessionId"}));
  EXPECT_EQ(*doc.find("code")->as_string(), "DESKTOP_WORKER_READY");
  EXPECT_EQ(*doc.find("nextSafeAction")->as_string(),
            "The finite helper authenticated and exited without dispatch. Observe the chosen session; desktop lock, "
            "capture and application outcome are not verified by this probe.");
  EXPECT_EQ(*doc.find("schemaVersion")->as_string(), "vor.desktop-cli/v1");
  EXPECT_TRUE(*doc.find("ready")->as_bool());
  EXPECT_FALSE(*doc.find("requestDispatched")->as_bool());
  EXPECT_EQ(*doc.find("sessionId")->as_unsigned(), 1u);
  // Wine runs every process as one administrator (not SYSTEM) in session 1,
  // outside any job.
  EXPECT_EQ(*doc.find("callerSessionId")->as_unsigned(), 1u);
  EXPECT_FALSE(*doc.find("callerIsSystem")->as_bool());
  EXPECT_FALSE(*doc.find("callerInJob")->as_bool());
  EXPECT_TRUE(*doc.find("reusableHostStartSupported")->as_bool());
  ASSERT_NE(doc.find("elapsedMs")->as_unsigned(), nullptr);
  EXPECT_LT(*doc.find("elapsedMs")->as_unsigned(), 30000u);
}

TEST(Marionet, ProbeOfAnotherSessionIsRefusedToAUserCaller) {
  auto r = run(kExe, {"probe", "--session-id", "2"});
  EXPECT_EQ(r.exit_code, 1);
  const json::Value doc = parsed_line(r.out);
  EXPECT_EQ(json::to_sorted_string(doc) + "\n", r.out);
  ASSERT_EQ(keys_of(doc), (std::vector<std::string>{"callerInJob", "callerIsSystem", "callerSessionId", "code",
                                                    "elapsedMs", "nextSafeAction", "operationId", "ready",
                                                    "requestDispatched", "retryable", "reusableHostStartSupported",
                                                    "schemaVersion", "sessionId", "startup"}));
  EXPECT_EQ(*doc.find("code")->as_string(), "DESKTOP_PEER_NOT_AUTHORIZED");
  EXPECT_EQ(*doc.find("nextSafeAction")->as_string(),
            "Run in your own interactive Windows session, or through an authorized LocalSystem command runner to "
            "select another user session.");
  EXPECT_TRUE(doc.find("operationId")->is_null());
  EXPECT_FALSE(*doc.find("ready")->as_bool());
  EXPECT_FALSE(*doc.find("retryable")->as_bool());
  EXPECT_FALSE(*doc.find("requestDispatched")->as_bool());
  EXPECT_EQ(*doc.find("sessionId")->as_unsigned(), 2u);
  EXPECT_EQ(*doc.find("callerSessionId")->as_unsigned(), 1u);
  EXPECT_FALSE(*doc.find("reusableHostStartSupported")->as_bool());
  EXPECT_EQ(json::to_sorted_string(*doc.find("startup")), R"({"phase":"callerIdentity","requestDispatched":false})");
}

TEST(Marionet, SessionsListsTheCallersSessionUnderTheStandIn) {
  auto r = run(kExe, {"sessions"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out,
            "{\"code\":\"DESKTOP_SESSIONS\",\"schemaVersion\":\"vor.desktop-cli/v1\",\"sessions\":[{\"sessionId\":1,"
            "\"state\":\"active\"}]}\n");
}

TEST(Marionet, WorkerMisuseExits64Silently) {
  const std::string pipe = "\\\\.\\pipe\\Vor.Desktop.e2e-misuse";
  const std::vector<std::vector<std::string>> cases = {
      {"worker"},
      {"worker", "--broker-pid", "1", "--pipe", pipe, "--session", "1"},
      {"worker", "--pipe", pipe, "--broker-pid", "1", "--session", "1", "--extra"},
      {"worker", "--pipe", "\\\\.\\pipe\\Elsewhere.x", "--broker-pid", "1", "--session", "1"},
      {"worker", "--pipe", "\\\\.\\pipe\\Vor.Desktop." + std::string(80, 'x'), "--broker-pid", "1", "--session", "1"},
      {"worker", "--pipe", pipe, "--broker-pid", "1", "--session", "0"},
      {"worker", "--pipe", pipe, "--broker-pid", "1", "--session", "4"},
      // Nobody serves this pipe: the connection fails at once.
      {"worker", "--pipe", pipe, "--broker-pid", "1", "--session", "1"},
  };
  for (const auto& args : cases) {
    auto r = run(kExe, args);
    EXPECT_EQ(r.exit_code, 64) << args.size();
    EXPECT_EQ(r.out, "") << args.size();
    EXPECT_EQ(r.err, "") << args.size();
  }
}

TEST(Marionet, WorkerWaitingOnABusyPipeIsEndedByItsLifetimeDeadline) {
  // The host occupies the only instance of a pipe and starts the worker on
  // it; the worker waits for an instance until its 15-second lifetime ends.
  auto r = run("busy_pipe_host.exe", {"\\\\.\\pipe\\Vor.Desktop.e2e-busy", windows_path(program_path(kExe))});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  // The host prints the worker's exit code, what it printed, and how long it lived.
  unsigned code = 0, elapsed_ms = 0, printed = 0;
  ASSERT_EQ(std::sscanf(r.out.c_str(), "exit=%u printed=%u elapsed_ms=%u", &code, &printed, &elapsed_ms), 3) << r.out;
  EXPECT_EQ(code, 124u);
  EXPECT_EQ(printed, 0u);
  EXPECT_GE(elapsed_ms, 14500u);
}

TEST(Marionet, StateVerbsOfAnUnknownOperationCreateTheRootAndFail) {
  const PrefixDir dir = fresh_prefix_dir("state-unknown-op");
  struct Case {
    std::vector<std::string> args;
    const char* reported_id;  // the operation id the error document names
  } cases[] = {
      {{"status", "--operation-id", "op-none", "--state-dir", dir.windows_path}, "op-none"},
      {{"image-export", "--operation-id", "op-none", "--state-dir", dir.windows_path}, nullptr},
      {{"reconcile", "--operation-id", "op-none", "--observation-id", "op-look", "--state-dir", dir.windows_path},
       "op-none"},
  };
  for (const Case& c : cases) {
    auto r = run(kExe, c.args);
    EXPECT_EQ(r.exit_code, 1) << c.args[0] << ": " << r.err;
    EXPECT_EQ(r.out, error_document("DESKTOP_FILE_UNAVAILABLE", kDefault, c.reported_id)) << c.args[0];
    EXPECT_TRUE(std::filesystem::is_directory(dir.linux_path + "/VorDesktop-v1")) << c.args[0];
  }
}

TEST(Marionet, StatusOfAMissingStateDirectoryNamesTheOperation) {
  const PrefixDir dir = fresh_prefix_dir("state-missing");
  auto r = run(kExe, {"status", "--operation-id", "op-1", "--state-dir", dir.windows_path + "\\absent"});
  EXPECT_EQ(r.exit_code, 1);
  auto doc = json::parse(r.out);
  ASSERT_TRUE(doc) << r.out;
  ASSERT_NE(doc->find("code"), nullptr);
  EXPECT_EQ(*doc->find("code")->as_string(), "DESKTOP_STATE_DIR_REQUIRED");
  EXPECT_EQ(*doc->find("operationId")->as_string(), "op-1");
  EXPECT_FALSE(std::filesystem::exists(dir.linux_path + "/absent"));
}

}  // namespace
}  // namespace vor::e2e

namespace vor::e2e {
namespace {

TEST(Marionet, ASessionHostForAnotherSessionEndsAtOnceAndWritesNothing) {
  for (Build build : {Build::kStandins, Build::kRelease}) {
    const PrefixDir dir = fresh_prefix_dir(build == Build::kStandins ? "host-mismatch-s" : "host-mismatch-r");
    auto r = run(kExe, {"session-host", "--session-id", "2", "--state-dir", dir.windows_path}, build);
    EXPECT_EQ(r.exit_code, 1);
    auto doc = json::parse(r.out);
    ASSERT_TRUE(doc) << r.out;
    EXPECT_EQ(*doc->find("code")->as_string(), "DESKTOP_SESSION_MISMATCH");
    EXPECT_TRUE(doc->find("operationId")->is_null());
    EXPECT_FALSE(std::filesystem::exists(dir.linux_path + "/VorDesktop-v1"));
  }
}

}  // namespace
}  // namespace vor::e2e
