#include "session/client.h"

#include <algorithm>
#include <utility>

#include "native/execution_evidence.h"
#include "native/process_identity.h"
#include "session/authentication.h"
#include "standalone/state/receipt.h"
#include "standalone/state/state_store.h"
#include "windows/worker_launch.h"

namespace vor::desktop {
namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

Error not_authorized(std::string detail) { return coded(kPeerNotAuthorized, std::move(detail)); }

// What is left of the exchange's outer bound, if it has one.
class Budget {
 public:
  Budget(Clock& clock, std::optional<Clock::Monotonic> until) : clock_(clock), until_(until) {}

  // `limit`, clipped to what is left of the outer bound (zero once passed).
  milliseconds clip(milliseconds limit) const {
    if (!until_) return limit;
    const auto now = clock_.monotonic_now();
    if (now >= *until_) return milliseconds(0);
    return std::min(limit, duration_cast<milliseconds>(*until_ - now));
  }
  Clock::Monotonic deadline_in(milliseconds limit) const { return clock_.monotonic_now() + clip(limit); }

 private:
  Clock& clock_;
  std::optional<Clock::Monotonic> until_;
};

bool retry_open(std::uint32_t error) {
  return error == kErrorFileNotFound || error == kErrorPipeBusy || error == kErrorPipeNotConnected;
}

// Opens the pipe, trying again every 20 ms while the host is busy, between
// instances or not serving yet, until `deadline`.
Result<std::unique_ptr<SessionClientSys::Pipe>> connect_pipe(SessionClientPorts& ports, const std::string& name,
                                                             Clock::Monotonic deadline) {
  for (;;) {
    auto pipe = ports.sys.open_pipe(name);
    if (pipe) return std::move(*pipe);
    if (!retry_open(pipe.error())) return fail(win32_failure(pipe.error(), kSessionUnavailable));
    const auto now = ports.clock.monotonic_now();
    if (now >= deadline) return fail(coded(kSessionBusy, "the session pipe stayed unavailable"));
    ports.clock.sleep(std::min<std::chrono::nanoseconds>(kSessionConnectRetry, deadline - now));
  }
}

// The own process is LocalSystem in session 0: it proves itself to the host
// with a handle of its own.
Result<bool> caller_is_system_in_session_zero(SessionClientPorts& ports) {
  VOR_ASSIGN_OR_RETURN(const std::string sid, ports.identity.current_user_sid());
  if (sid != kLocalSystemSid) return false;
  VOR_ASSIGN_OR_RETURN(const std::uint32_t session,
                       process_session_id(ports.processes, ports.processes.current_process_id()));
  return session == 0;
}

Result<RemoteHandleGuard> grant_if_system(SessionClientPorts& ports, const Owner& owner) {
  VOR_ASSIGN_OR_RETURN(const bool system, caller_is_system_in_session_zero(ports));
  if (!system) return RemoteHandleGuard();
  VOR_ASSIGN_OR_RETURN(auto host, open_process(ports.processes, owner.pid));
  auto image = host->image_path();
  if (!image) return fail(win32_failure(image.error(), kPeerImageUnavailable));
  return grant_peer_query_handle(ports.sys, owner.pid, owner.created, strip_verbatim_prefix(*image));
}

// The exchange once the pipe is open and checked: every failure from here on
// may come after the host acted on the request.
Result<json::Value> exchange(FramePipe& frames, const Rpc& rpc, const Budget& budget) {
  if (auto sent = frames.write_frame(encode_rpc(rpc), kRpcMaxBytes, budget.clip(kRpcWriteLimit)); !sent) {
    if (is_pipe_time_limit(sent.error())) return fail(coded(kRequestDeliveryTimedOut));
    return fail(coded_over(kRequestDeliveryFailed, std::move(sent.error())));
  }
  auto body = frames.read_frame(kReplyMaxBytes, budget.clip(kReplyReadLimit));
  if (!body) {
    if (is_pipe_time_limit(body.error())) return fail(coded(kResponseTimedOut));
    return fail(coded_over(kResponseMissing, std::move(body.error())));
  }
  auto reply = decode_reply(*body);
  if (!reply) return fail(coded_over(kResponseMissing, std::move(reply.error())));
  if (reply->protocol != 1 || reply->request_id != rpc.request_id) {
    return fail(coded(kOutcomeUnknown, "the reply answers another exchange"));
  }
  // The host has answered; its result stands whatever happens to the Ack.
  (void)frames.write_frame(encode_ack(Ack{1, rpc.request_id}), kAckMaxBytes, budget.clip(kAckWriteLimit));
  return std::move(reply->result);
}

}  // namespace

RemoteHandleGuard& RemoteHandleGuard::operator=(RemoteHandleGuard&& other) noexcept {
  if (this != &other) {
    release();
    host_ = std::move(other.host_);
    value_ = std::exchange(other.value_, 0);
  }
  return *this;
}

void RemoteHandleGuard::release() {
  if (!host_) return;
  (void)host_->close_remote(value_);
  host_.reset();
  value_ = 0;
}

ChildProcessGuard::~ChildProcessGuard() {
  if (child_ && armed_) child_->terminate_and_wait(kAbandonedHostExitCode, kAbandonedHostWait);
}

Result<RemoteHandleGuard> grant_peer_query_handle(SessionClientSys& sys, std::uint32_t host_pid,
                                                  std::uint64_t created, std::u16string_view image_path) {
  auto host = sys.open_grant_target(host_pid);
  if (!host) return fail(win32_failure(host.error(), kPeerQueryGrantFailed));
  auto creation = (*host)->creation_time();
  if (!creation) return fail(win32_failure(creation.error(), kProcessUnavailable));
  if (*creation != created) return fail(not_authorized("the host process was created at another time"));
  auto image = (*host)->image_path();
  if (!image) return fail(win32_failure(image.error(), kPeerImageUnavailable));
  if (strip_verbatim_prefix(*image) != image_path) return fail(not_authorized("the host runs another executable"));
  auto value = (*host)->duplicate_own_process_into();
  if (!value) return fail(win32_failure(value.error(), kPeerQueryGrantFailed));
  return RemoteHandleGuard(std::move(*host), *value);
}

Status check_session_server(SessionClientPorts& ports, SessionClientSys::Pipe& pipe, const Owner& owner) {
  auto server = pipe.server_process_id();
  if (!server) return fail(win32_failure(server.error(), kPeerUnavailable));
  if (*server != owner.pid) return fail(not_authorized("another process serves the session pipe"));
  VOR_ASSIGN_OR_RETURN(const std::uint64_t created, process_creation_time(ports.processes, *server));
  if (created != owner.created) return fail(not_authorized("the pipe server was created at another time"));
  VOR_ASSIGN_OR_RETURN(const std::uint32_t session, process_session_id(ports.processes, *server));
  if (session != owner.session_id) return fail(not_authorized("the pipe server runs in another session"));
  VOR_ASSIGN_OR_RETURN(const std::string sid, process_user_sid(ports.processes, *server));
  if (sid != owner.user_sid) return fail(not_authorized("the pipe server runs as another user"));
  return check_peer_same_image(ports.processes, *server);
}

Result<json::Value> call_session_host(SessionClientPorts& ports, const Owner& owner, const SessionAction& action,
                                      std::optional<Clock::Monotonic> until) {
  VOR_ASSIGN_OR_RETURN(const bool alive, operation_process_runs(ports.processes, owner.pid, owner.created));
  if (!alive) return fail(coded(kSessionNotRunning, "the host process has ended"));
  VOR_ASSIGN_OR_RETURN(const std::string name, session_pipe_name(owner));

  const Budget budget(ports.clock, until);
  VOR_ASSIGN_OR_RETURN(auto pipe, connect_pipe(ports, name, budget.deadline_in(kSessionConnectLimit)));
  VOR_RETURN_IF_ERROR(check_session_server(ports, *pipe, owner));
  // Declared after the pipe, so released before it on every path.
  VOR_ASSIGN_OR_RETURN(RemoteHandleGuard grant, grant_if_system(ports, owner));

  VOR_ASSIGN_OR_RETURN(std::string request_id, ports.sys.new_request_id());
  Rpc rpc{1, std::move(request_id), std::nullopt, action};
  if (grant.present()) rpc.peer_query_handle = grant.value();
  return exchange(pipe->frames(), rpc, budget);
}

std::string session_host_command_line(std::string_view executable, std::uint32_t session_id,
                                      std::string_view state_dir) {
  return quote_windows_argument(executable) + " session-host --session-id " + std::to_string(session_id) +
         " --state-dir " + quote_windows_argument(state_dir);
}

Result<std::unique_ptr<SessionClientSys::Child>> start_session_host(SessionClientPorts& ports,
                                                                   std::string_view state_dir,
                                                                   std::uint32_t session_id) {
  VOR_ASSIGN_OR_RETURN(const std::string executable, ports.sys.module_path());
  VOR_RETURN_IF_ERROR(check_state_path(ports.files, executable));
  auto child =
      ports.sys.create_host_process(executable, session_host_command_line(executable, session_id, state_dir));
  if (!child) return fail(win32_failure(child.error(), kSessionStartFailed));
  return std::move(*child);
}

}  // namespace vor::desktop
