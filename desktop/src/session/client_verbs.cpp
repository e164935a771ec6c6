#include "session/client_verbs.h"

#include <utility>
#include <variant>

#include "native/process_identity.h"
#include "native/validation.h"
#include "protocol/request.h"
#include "protocol/worker_args.h"
#include "session/documents.h"
#include "session/host.h"
#include "session/host_dispatch.h"
#include "session/owner_files.h"
#include "standalone/cli/cli_documents.h"
#include "standalone/cli/error_codes.h"
#include "standalone/state/receipt.h"
#include "standalone/state/state_store.h"

namespace vor::desktop {
namespace {

// The owner record of the state directory, as its host left it.
Result<Owner> read_owner(SessionClientPorts& ports, std::string_view state_dir) {
  StateOwnerFiles files(ports.files);
  return read_session_owner(files, join_path(state_dir, kStateRootName));
}

bool is_not_running(const Error& error) { return error.outermost() == kSessionNotRunning; }

Result<bool> host_runs(SessionClientPorts& ports, const Owner& owner) {
  return operation_process_runs(ports.processes, owner.pid, owner.created);
}

// The caller may start a host of `session_id` only from inside that session
// and not as LocalSystem.
Status check_caller_may_start(SessionClientPorts& ports, std::uint32_t session_id) {
  VOR_ASSIGN_OR_RETURN(const std::uint32_t own_session,
                       process_session_id(ports.processes, ports.processes.current_process_id()));
  VOR_ASSIGN_OR_RETURN(const std::string own_sid, ports.identity.current_user_sid());
  if (own_session != session_id) {
    return fail(coded(kSessionStartRequiresUserSession, "the caller runs in another Windows session"));
  }
  if (own_sid == kLocalSystemSid) return fail(coded(kSessionStartRequiresUserSession, "the caller is LocalSystem"));
  return {};
}

// Reads the owner record and sends `action` to its host.
Result<json::Value> call_state_dir_host(SessionClientPorts& ports, std::string_view state_dir,
                                        const SessionAction& action) {
  VOR_ASSIGN_OR_RETURN(const Owner owner, read_owner(ports, state_dir));
  return call_session_host(ports, owner, action);
}

// The work of `session-execute` once its request is decoded.
Result<json::Value> execute_on_host(SessionClientPorts& ports, std::string_view state_dir, Request request) {
  VOR_ASSIGN_OR_RETURN(const Owner owner, read_owner(ports, state_dir));
  if (request.session_id != owner.session_id) {
    return fail(coded(kSessionMismatch, "the request names another Windows session than the host's"));
  }
  return call_session_host(ports, owner, SessionExecute{std::move(request)});
}

}  // namespace

Result<json::Value> run_session_start(SessionClientPorts& ports, const cmd::SessionStart& command) {
  // A live host of this state directory is answered, never replaced.
  if (auto owner = read_owner(ports, command.state_dir)) {
    VOR_ASSIGN_OR_RETURN(const bool alive, host_runs(ports, *owner));
    if (alive) {
      if (owner->session_id != command.session_id) {
        return fail(coded(kSessionMismatch, "the running host serves another Windows session"));
      }
      return call_session_host(ports, *owner, SessionStatus{});
    }
  } else if (!is_not_running(owner.error())) {
    return fail(std::move(owner.error()));
  }

  VOR_RETURN_IF_ERROR(check_caller_may_start(ports, command.session_id));
  // Created or verified here, so that the host's own check finds it; the
  // root is not held while the host runs.
  VOR_RETURN_IF_ERROR(ensure_state_directory(ports.files, ports.identity, command.state_dir));
  VOR_ASSIGN_OR_RETURN(auto child, start_session_host(ports, command.state_dir, command.session_id));
  ChildProcessGuard guard(std::move(child));

  // Confirmed once a live host of the session answers `status`; every wait
  // of an attempt ends with the loop's own deadline, so the caller's
  // lifetime limit never cuts the loop short with the child left running.
  const Clock::Monotonic deadline = ports.clock.monotonic_now() + kStartConfirmLimit;
  for (;;) {
    if (auto owner = read_owner(ports, command.state_dir)) {
      VOR_ASSIGN_OR_RETURN(const bool alive, host_runs(ports, *owner));
      if (alive && owner->session_id == command.session_id) {
        if (auto status = call_session_host(ports, *owner, SessionStatus{}, deadline)) {
          // Another host may have won a concurrent start: then this child
          // is ended by the guard and that host's status stands.
          if (owner->pid == guard.child().process_id()) guard.disarm();
          return status;
        }
      }
    }
    if (!guard.child().running()) {
      return fail(coded(kSessionStartUnconfirmed, "the started host exited before it answered"));
    }
    const Clock::Monotonic now = ports.clock.monotonic_now();
    if (now >= deadline) return fail(coded(kSessionStartUnconfirmed, "the started host did not answer in time"));
    ports.clock.sleep(std::min<std::chrono::nanoseconds>(kStartConfirmInterval, deadline - now));
  }
}

Result<json::Value> run_session_status(SessionClientPorts& ports, const cmd::SessionStatus& command) {
  auto owner = read_owner(ports, command.state_dir);
  if (!owner) {
    if (is_not_running(owner.error())) return session_closed_document(0);
    return fail(std::move(owner.error()));
  }
  VOR_ASSIGN_OR_RETURN(const bool alive, host_runs(ports, *owner));
  if (!alive) return session_closed_document(owner->session_id);
  return call_session_host(ports, *owner, SessionStatus{});
}

Result<json::Value> run_session_close(SessionClientPorts& ports, const cmd::SessionClose& command) {
  VOR_ASSIGN_OR_RETURN(const Owner owner, read_owner(ports, command.state_dir));
  VOR_ASSIGN_OR_RETURN(const bool alive, host_runs(ports, owner));
  if (!alive) return session_closed_document(owner.session_id);
  VOR_ASSIGN_OR_RETURN(json::Value closed, call_session_host(ports, owner, SessionClose{}));
  // The host answers before it ends: its answer stands once it is gone.
  const Clock::Monotonic deadline = ports.clock.monotonic_now() + kCloseConfirmLimit;
  for (;;) {
    VOR_ASSIGN_OR_RETURN(const bool still, host_runs(ports, owner));
    if (!still) return closed;
    const Clock::Monotonic now = ports.clock.monotonic_now();
    if (now >= deadline) return fail(coded(kSessionCloseUnconfirmed, "the host still runs after answering close"));
    ports.clock.sleep(std::min<std::chrono::nanoseconds>(kCloseConfirmInterval, deadline - now));
  }
}

Result<json::Value> run_session_execute(SessionClientPorts& ports, const cmd::SessionExecute& command) {
  VOR_ASSIGN_OR_RETURN(const Bytes bytes, read_bounded_file(ports.files, command.request, kRequestFileLimit));
  auto request = decode_request(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
  if (!request) return fail(coded_over(kRequestInvalid, std::move(request.error())));
  // From here the caller gets a document naming the operation it sent.
  std::optional<std::string> operation_id;
  if (is_operation_identifier(request->operation_id)) operation_id = request->operation_id;
  auto result = execute_on_host(ports, command.state_dir, std::move(*request));
  if (!result) return error_guidance(error_code_of(result.error()), operation_id);
  return result;
}

Result<json::Value> run_session_operation_status(SessionClientPorts& ports,
                                                 const cmd::SessionOperationStatus& command) {
  return call_state_dir_host(ports, command.state_dir, SessionOperationStatus{command.operation_id});
}

Result<json::Value> run_session_image_export(SessionClientPorts& ports, const cmd::SessionImageExport& command) {
  return call_state_dir_host(ports, command.state_dir, SessionExportImage{command.operation_id});
}

Result<json::Value> run_session_reconcile(SessionClientPorts& ports, const cmd::SessionReconcile& command) {
  return call_state_dir_host(ports, command.state_dir,
                             SessionReconcile{command.operation_id, command.observation_id});
}

Result<json::Value> run_session_client_command(SessionClientPorts& ports, const SessionCommand& command) {
  struct Dispatch {
    SessionClientPorts& ports;
    Result<json::Value> operator()(const cmd::SessionHost&) const {
      return fail(coded(kOperationFailed, "session-host is the host's own role, not a client verb"));
    }
    Result<json::Value> operator()(const cmd::SessionStart& c) const { return run_session_start(ports, c); }
    Result<json::Value> operator()(const cmd::SessionStatus& c) const { return run_session_status(ports, c); }
    Result<json::Value> operator()(const cmd::SessionClose& c) const { return run_session_close(ports, c); }
    Result<json::Value> operator()(const cmd::SessionExecute& c) const { return run_session_execute(ports, c); }
    Result<json::Value> operator()(const cmd::SessionOperationStatus& c) const {
      return run_session_operation_status(ports, c);
    }
    Result<json::Value> operator()(const cmd::SessionImageExport& c) const {
      return run_session_image_export(ports, c);
    }
    Result<json::Value> operator()(const cmd::SessionReconcile& c) const { return run_session_reconcile(ports, c); }
  };
  return std::visit(Dispatch{ports}, command);
}

}  // namespace vor::desktop
