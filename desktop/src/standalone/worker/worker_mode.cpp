#include "standalone/worker/worker_mode.h"

#include "common/text.h"
#include "executor/executor.h"
#include "native/execution_evidence.h"
#include "native/process_identity.h"
#include "native/validation.h"
#include "standalone/cli/error_codes.h"

namespace vor::desktop {
namespace {

constexpr std::string_view kVerbatimPrefix = "\\\\?\\";

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

namespace {

// The pipe server's image path in Win32 form without "\\?\".
Result<std::string> peer_image_path(ProcSys::Process& process) {
  auto wide = process.image_path();
  if (!wide) return fail(coded_os(kPeerImageUnavailable, wide.error()));
  auto path = utf16_to_utf8(*wide);
  if (!path) return fail(coded(kPeerImageUnavailable, "image path is not valid UTF-16"));
  return std::string(strip_verbatim_prefix(*path));
}

}  // namespace

Status check_broker_identity(WorkerPorts ports, std::uint32_t server_pid, std::uint32_t session) {
  VOR_ASSIGN_OR_RETURN(auto server, open_process(ports.processes, server_pid));
  VOR_ASSIGN_OR_RETURN(const std::string own_path, ports.identity.own_image_path());
  const std::string own_lower = ports.identity.lower_case(strip_verbatim_prefix(own_path));

  VOR_ASSIGN_OR_RETURN(const std::uint32_t server_session, process_session_id(ports.processes, server_pid));

  bool same_user = false;
  if (server_session == session) {
    auto server_sid = server->user_sid();
    if (!server_sid) return fail(coded_over(kTokenUnavailable, std::move(server_sid.error())));
    auto own_sid = process_user_sid(ports.processes, ports.processes.current_process_id());
    if (!own_sid) return fail(coded_over(kTokenUnavailable, std::move(own_sid.error())));
    same_user = *server_sid == *own_sid;
  }
  const bool system_broker = server_session == 0;
  if (system_broker) VOR_RETURN_IF_ERROR(authorize_peer_by_sid(server->user_sid()));

  VOR_ASSIGN_OR_RETURN(const std::string server_path, peer_image_path(*server));
  if (ports.identity.lower_case(strip_verbatim_prefix(server_path)) != own_lower) return fail(coded(kPeerNotAuthorized));

  if (!system_broker && !(server_session == session && same_user)) return fail(coded(kPeerNotAuthorized));
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

Status run_worker_exchange(FramePipe& pipe, WorkerPorts ports, const WorkerArgs& args,
                           const DesktopExecutor& execute, const ReadinessSnapshot& readiness) {
  // An identity failure is reported to the broker first and ends the worker
  // only after the broker's acknowledgement.
  const Status identity = check_broker_identity(ports, args.broker_pid, args.session_id);
  WorkerReady ready;
  ready.process_id = ports.processes.current_process_id();
  ready.session_id = args.session_id;
  ready.code = identity ? std::string(kWorkerReadyCode) : error_code_of(identity.error());
  if (!identity) ready.win32_error = os_error_code_of(identity.error());
  VOR_RETURN_IF_ERROR(pipe.write_frame(encode_worker_ready(ready), kWorkerReadyMaxBytes, kWorkerPipeLimit));

  VOR_ASSIGN_OR_RETURN(auto ack_body, pipe.read_frame(kReadyAckMaxBytes, kWorkerPipeLimit));
  VOR_ASSIGN_OR_RETURN(auto ack, decode_ready_ack(ack_body));
  if (!identity) return identity;
  if (ack.protocol != kProtocolVersion) return fail(coded(kProtocolIncompatible));
  if (!ack.execute) return {};

  VOR_ASSIGN_OR_RETURN(auto request_body, pipe.read_frame(kRequestMaxBytes, kWorkerPipeLimit));
  VOR_ASSIGN_OR_RETURN(auto request, decode_request(request_body));
  if (request.session_id != args.session_id) return fail(coded(kSessionMismatch));

  InputFlags flags;
  auto executed = execute(request, ack.input_policy, flags);
  Response response = executed ? std::move(*executed) : executor_failure_response(request, executed.error());
  if (!response.notice_context) response.notice_context = readiness(args.session_id);
  complete_worker_response(response, request, ack.input_policy, flags);
  return pipe.write_frame(encode_response(response), kResponseMaxBytes, kWorkerPipeLimit);
}

}  // namespace vor::desktop
