#include "standalone/worker_mode.h"

#include "executor/executor.h"
#include "native/execution_evidence.h"
#include "standalone/error_codes.h"

namespace vor::desktop {
namespace {

constexpr std::string_view kVerbatimPrefix = "\\\\?\\";
constexpr std::string_view kPeerNotAuthorized = "DESKTOP_PEER_NOT_AUTHORIZED";

bool carries_input_diagnostic(ActionKind kind, bool has_policy) {
  switch (kind) {
    case ActionKind::kElementAction:
    case ActionKind::kClick:
    case ActionKind::kType:
    case ActionKind::kKey:
      return true;
    case ActionKind::kFocus:
      return has_policy;
    default:
      return false;
  }
}

}  // namespace

std::string_view strip_verbatim_prefix(std::string_view path) {
  if (path.starts_with(kVerbatimPrefix)) path.remove_prefix(kVerbatimPrefix.size());
  return path;
}

Status authorize_peer_by_sid(Result<std::string> user_sid) {
  if (!user_sid) return fail(std::move(user_sid.error()).context("DESKTOP_PEER_UNAVAILABLE"));
  if (*user_sid != kLocalSystemSid) return fail(std::string(kPeerNotAuthorized));
  return {};
}

Status check_broker_identity(BrokerIdentitySys& sys, std::uint32_t server_pid, std::uint32_t session) {
  auto server = sys.open_process(server_pid);
  if (!server) return fail(std::move(server.error()));
  auto own_path = sys.own_image_path();
  if (!own_path) return fail(std::move(own_path.error()));
  const std::string own_lower = sys.lower_case(strip_verbatim_prefix(*own_path));

  auto server_session = sys.process_session_id(server_pid);
  if (!server_session) return fail(std::move(server_session.error()));

  bool same_user = false;
  if (*server_session == session) {
    auto server_sid = sys.process_user_sid(server_pid);
    if (!server_sid) return fail(std::move(server_sid.error()).context("DESKTOP_TOKEN_UNAVAILABLE"));
    auto own_sid = sys.process_user_sid(sys.current_process_id());
    if (!own_sid) return fail(std::move(own_sid.error()).context("DESKTOP_TOKEN_UNAVAILABLE"));
    same_user = *server_sid == *own_sid;
  }
  const bool system_broker = *server_session == 0;
  if (system_broker) {
    if (auto s = authorize_peer_by_sid(sys.process_user_sid(server_pid)); !s) return s;
  }

  auto server_path = (*server)->image_path();
  if (!server_path) return fail(std::move(server_path.error()));
  if (sys.lower_case(strip_verbatim_prefix(*server_path)) != own_lower) return fail(std::string(kPeerNotAuthorized));

  if (!system_broker && !(*server_session == session && same_user)) return fail(std::string(kPeerNotAuthorized));
  return {};
}

Response executor_failure_response(const Request& request, const Error& error) {
  // The whole outermost message, not its part before a colon.
  const std::string& outer = error.outermost();
  const bool usable = outer.size() >= 8 && outer.size() <= 99 && outer.starts_with("DESKTOP_");
  const std::string code = usable ? outer : std::string(kExecutorFailureCode);
  Response response = build_response(request, code, guidance_text(code));
  copy_failure_diagnostics(error, response);
  return response;
}

void complete_worker_response(Response& response, const Request& request,
                              const std::optional<ArmedInputPolicy>& policy, const InputFlags& flags) {
  const ActionKind kind = action_kind(request.action);
  response.execution = build_execution_evidence(kind, response, flags.dispatched);
  if (!carries_input_diagnostic(kind, policy.has_value())) return;
  InputDiagnostic input;
  if (policy) {
    input.mode = std::string(input_policy_scope_name(policy->scope));
    input.arm_id = policy->arm_id;
  } else {
    input.mode = kind == ActionKind::kElementAction ? "visible_semantic_uia" : "visible_per_action";
  }
  input.input_dispatched = flags.dispatched;
  input.entry_issued = flags.entry_issued;
  response.input_diagnostic = std::move(input);
}

Status run_worker_exchange(FramePipe& pipe, BrokerIdentitySys& sys, const WorkerArgs& args,
                           const DesktopExecutor& execute, const ReadinessSnapshot& readiness) {
  // An identity failure is reported to the broker first and ends the worker
  // only after the broker's acknowledgement.
  const Status identity = check_broker_identity(sys, args.broker_pid, args.session_id);
  WorkerReady ready;
  ready.process_id = sys.current_process_id();
  ready.session_id = args.session_id;
  ready.code = identity ? std::string(kWorkerReadyCode) : error_code_of(identity.error());
  if (!identity) ready.win32_error = os_error_code_of(identity.error());
  if (auto s = pipe.write_frame(encode_worker_ready(ready), kWorkerReadyMaxBytes, kWorkerPipeLimit); !s) return s;

  auto ack_body = pipe.read_frame(kReadyAckMaxBytes, kWorkerPipeLimit);
  if (!ack_body) return fail(std::move(ack_body.error()));
  auto ack = decode_ready_ack(*ack_body);
  if (!ack) return fail(std::move(ack.error()));
  if (!identity) return identity;
  if (ack->protocol != kProtocolVersion) return fail("DESKTOP_PROTOCOL_INCOMPATIBLE");
  if (!ack->execute) return {};

  auto request_body = pipe.read_frame(kRequestMaxBytes, kWorkerPipeLimit);
  if (!request_body) return fail(std::move(request_body.error()));
  auto request = decode_request(*request_body);
  if (!request) return fail(std::move(request.error()));
  if (request->session_id != args.session_id) return fail("DESKTOP_SESSION_MISMATCH");

  InputFlags flags;
  auto executed = execute(*request, ack->input_policy, flags);
  Response response = executed ? std::move(*executed) : executor_failure_response(*request, executed.error());
  if (!response.notice_context) response.notice_context = readiness(args.session_id);
  complete_worker_response(response, *request, ack->input_policy, flags);
  return pipe.write_frame(encode_response(response), kResponseMaxBytes, kWorkerPipeLimit);
}

}  // namespace vor::desktop
