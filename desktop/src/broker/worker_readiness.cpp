#include "broker/worker_readiness.h"

#include "native/process_identity.h"
#include "protocol/diagnostics.h"
#include "protocol/frame.h"
#include "protocol/response.h"
#include "standalone/cli/error_codes.h"

namespace vor::desktop {
namespace {

constexpr std::string_view kExitedBeforeReady = "DESKTOP_WORKER_EXITED_BEFORE_READY";
constexpr std::string_view kReadyUnconfirmed = "DESKTOP_WORKER_READY_UNCONFIRMED";
constexpr std::string_view kReadyInvalid = "DESKTOP_WORKER_READY_INVALID";

std::unexpected<Error> at(StartupPhase phase, Error error) { return fail(not_sent(std::move(error), phase)); }
Error code(std::string_view text) { return Error(std::string(text)); }

bool valid_ready(const WorkerReady& ready, std::uint32_t process_id, std::uint32_t session) {
  return ready.protocol == kProtocolVersion && ready.process_id == process_id && ready.session_id == session &&
         is_desktop_code(ready.code);
}

}  // namespace

Result<FramePipe*> await_worker_ready(WorkerHandle& worker, ProcSys& processes, Clock& clock,
                                      std::uint32_t expected_session, bool execute,
                                      const std::optional<ArmedInputPolicy>& policy, const ReadinessLimits& limits) {
  using P = StartupPhase;

  const ConnectResult connected = wait_for_worker_connection(worker, clock, limits.connect, limits.exit_poll);
  switch (connected.outcome) {
    case ConnectOutcome::kConnected:
      break;
    case ConnectOutcome::kWorkerExited:
      return at(P::kWorkerReadiness, code(kExitedBeforeReady));
    case ConnectOutcome::kFailed:
      return at(P::kWorkerReadiness, coded_os(kReadyUnconfirmed, connected.win32_error));
    case ConnectOutcome::kTimedOut:
      return at(P::kWorkerReadiness, code(kReadyUnconfirmed));
  }

  // The client must be the worker itself, in the expected session.
  auto running = worker.process->running();
  if (!running || !*running) return at(P::kPeerAuthentication, code(kExitedBeforeReady));
  auto client = worker.pipe->client_process_id();
  if (!client) return at(P::kPeerAuthentication, coded_os(kPeerUnavailable, client.error()));
  if (*client != worker.process_id) return at(P::kPeerAuthentication, code(kPeerNotAuthorized));
  auto client_session = process_session_id(processes, *client);
  if (!client_session) {
    return at(P::kPeerAuthentication, std::move(client_session.error()).context(std::string(kPeerNotAuthorized)));
  }
  if (*client_session != expected_session) return at(P::kPeerAuthentication, code(kPeerNotAuthorized));

  // One budget for reading `WorkerReady` and writing `ReadyAck`.
  const Clock::Monotonic start = clock.monotonic_now();
  FramePipe& frames = worker.pipe->frames();
  auto body = frames.read_frame(kWorkerReadyMaxBytes, limits.exchange);
  if (!body) {
    if (error_code_of(body.error()) == kFrameSizeInvalid) return at(P::kWorkerReadiness, std::move(body.error()));
    return at(P::kWorkerReadiness, std::move(body.error()).context(std::string(kReadyUnconfirmed)));
  }
  auto ready = decode_worker_ready(*body);
  if (!ready) return at(P::kWorkerReadiness, std::move(ready.error()).context(std::string(kReadyUnconfirmed)));
  if (!valid_ready(*ready, worker.process_id, expected_session)) return at(P::kWorkerReadiness, code(kReadyInvalid));
  const bool is_ready = ready->code == kWorkerReadyCode;

  ReadyAck ack;
  ack.execute = execute && is_ready;
  if (ack.execute) ack.input_policy = policy;
  const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(clock.monotonic_now() - start);
  if (spent >= limits.exchange) return at(P::kWorkerReadiness, code(kReadyUnconfirmed));
  if (auto s = frames.write_frame(encode_ready_ack(ack), kReadyAckMaxBytes, limits.exchange - spent); !s) {
    return at(P::kWorkerReadiness, std::move(s.error()).context(std::string(kReadyUnconfirmed)));
  }

  if (!is_ready) {
    Error refused = ready->win32_error ? coded_os(ready->code, static_cast<std::uint32_t>(*ready->win32_error))
                                       : Error(ready->code);
    return at(P::kWorkerReadiness, std::move(refused));
  }
  return &frames;
}

}  // namespace vor::desktop
