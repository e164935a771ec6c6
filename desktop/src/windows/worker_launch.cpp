#include "windows/worker_launch.h"

#include <algorithm>

#include "common/crypto.h"
#include "native/process_identity.h"
#include "native/validation.h"
#include "protocol/diagnostics.h"
#include "protocol/worker_args.h"

namespace vor::desktop {
namespace {

constexpr std::size_t kMaxActiveSessions = 16;

// Each launch failure carries the phase it happened in.
std::unexpected<Error> at(StartupPhase phase, Error error) { return fail(not_sent(std::move(error), phase)); }
std::unexpected<Error> at(StartupPhase phase, std::uint32_t win32, std::string_view code) {
  return at(phase, coded_os(code, win32));
}

}  // namespace

std::string worker_pipe_sddl(std::string_view logon_sid) {
  return "D:P(A;;GA;;;SY)(A;;GRGW;;;" + std::string(logon_sid) + ")";
}

std::string worker_pipe_name(std::string_view uuid_hex) { return std::string(kWorkerPipePrefix) + std::string(uuid_hex); }

std::string worker_command_line(std::string_view exe, std::string_view pipe, std::uint32_t broker_pid,
                                std::uint32_t session) {
  return "\"" + std::string(exe) + "\" worker --pipe " + std::string(pipe) + " --broker-pid " +
         std::to_string(broker_pid) + " --session " + std::to_string(session);
}

std::string quote_windows_argument(std::string_view text) {
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : text) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(2 * backslashes + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out.push_back(c);
  }
  out.append(2 * backslashes, '\\');
  out.push_back('"');
  return out;
}

ConnectResult wait_for_worker_connection(WorkerHandle& worker, Clock& clock, std::chrono::milliseconds limit,
                                         std::chrono::milliseconds poll) {
  PipeServer& pipe = *worker.pipe;
  const Clock::Monotonic deadline = clock.monotonic_now() + limit;
  pipe.begin_connect();
  for (;;) {
    if (auto done = pipe.poll_connect()) return *done;
    // Only an exit that was seen counts; an unreadable state waits on.
    if (auto running = worker.process->running(); running && !*running) {
      pipe.cancel_connect();
      return {ConnectOutcome::kWorkerExited};
    }
    if (clock.monotonic_now() >= deadline) {
      pipe.cancel_connect();
      return {ConnectOutcome::kTimedOut};
    }
    clock.sleep(poll);
  }
}

Result<WorkerHandle> start_worker(std::unique_ptr<WorkerLaunchSys> sys, ProcSys& processes, std::uint32_t target_session) {
  using P = StartupPhase;
  WorkerLaunchSys& s = *sys;

  // Only a LocalSystem broker may start a worker in another session.
  const std::uint32_t broker_pid = processes.current_process_id();
  auto own_session = process_session_id(processes, broker_pid);
  if (!own_session) return at(P::kCallerIdentity, std::move(own_session.error()));
  const bool same_session = *own_session == target_session;
  if (!same_session) {
    if (auto ok = authorize_peer_by_sid(process_user_sid(processes, broker_pid)); !ok) {
      return at(P::kCallerIdentity, std::move(ok.error()));
    }
  }

  auto sessions = s.enumerate_sessions();
  if (!sessions) return at(P::kTargetSession, std::move(sessions.error()));
  std::vector<std::uint32_t> active = active_user_sessions(*sessions);
  if (active.size() > kMaxActiveSessions) active.resize(kMaxActiveSessions);
  if (std::find(active.begin(), active.end(), target_session) == active.end()) {
    return at(P::kTargetSession, coded("DESKTOP_SESSION_NOT_ACTIVE"));
  }

  auto in_job = s.is_process_in_job();
  if (!in_job) return at(P::kLaunchContext, in_job.error(), "DESKTOP_LAUNCH_CONTEXT_UNAVAILABLE");
  if (!same_session && *in_job) return at(P::kLaunchContext, coded("DESKTOP_CROSS_SESSION_JOB_UNSUPPORTED"));

  // The image stays open while the worker lives, so nobody can replace it.
  auto exe = s.module_path();
  if (!exe) return at(P::kModuleImage, std::move(exe.error()));
  if (auto ok = s.open_module_file(*exe); !ok) return at(P::kModuleImage, ok.error(), "DESKTOP_MODULE_UNAVAILABLE");

  auto token = same_session ? s.open_own_token() : s.query_session_token(target_session);
  if (!token) return at(P::kUserToken, token.error(), "DESKTOP_SESSION_TOKEN_UNAVAILABLE");
  if (auto ok = (*token)->create_environment_block(); !ok) {
    return at(P::kEnvironment, ok.error(), "DESKTOP_ENVIRONMENT_UNAVAILABLE");
  }

  constexpr std::string_view kLogonUnavailable = "DESKTOP_LOGON_UNAVAILABLE";
  auto groups = (*token)->groups();
  if (!groups) return at(P::kUserToken, groups.error(), kLogonUnavailable);
  const auto logon = std::find_if(groups->begin(), groups->end(), [](const TokenGroup& g) {
    return (g.attributes & kLogonIdAttributes) == kLogonIdAttributes;
  });
  if (logon == groups->end()) return at(P::kUserToken, coded(kLogonUnavailable));
  if (!logon->sid) return at(P::kUserToken, logon->sid.error());

  auto security = s.create_security_descriptor(worker_pipe_sddl(*logon->sid));
  if (!security) return at(P::kPipeSecurity, security.error(), "DESKTOP_PIPE_ACL_FAILED");

  constexpr std::string_view kPipeUnavailable = "DESKTOP_PIPE_UNAVAILABLE";
  auto uuid = uuid_v4_hex();
  if (!uuid) return at(P::kPipeCreate, coded_over(kPipeUnavailable, std::move(uuid.error())));
  const std::string pipe_name = worker_pipe_name(*uuid);
  auto pipe = s.create_pipe(pipe_name, **security);
  if (!pipe) return at(P::kPipeCreate, pipe.error(), kPipeUnavailable);
  if (auto ok = (*pipe)->register_io(); !ok) return at(P::kPipeCreate, ok.error(), kPipeUnavailable);

  const std::string command_line = worker_command_line(*exe, pipe_name, broker_pid, target_session);

  constexpr std::string_view kSupervisorFailed = "DESKTOP_SUPERVISOR_FAILED";
  auto job = s.create_job();
  if (!job) return at(P::kSupervision, job.error(), kSupervisorFailed);
  if (auto ok = (*job)->set_limits(kWorkerJobLimits); !ok) return at(P::kSupervision, ok.error(), kSupervisorFailed);
  const std::size_t list_size = s.attribute_list_size();
  if (list_size < 1 || list_size > kMaxAttributeListBytes) {
    return at(P::kSupervision, coded(kSupervisorFailed, "attribute list size out of range"));
  }
  auto attributes = s.initialize_attribute_list(list_size);
  if (!attributes) return at(P::kSupervision, attributes.error(), kSupervisorFailed);
  // The worker is inside the job from its first instruction.
  if (auto ok = (*attributes)->set_job(**job); !ok) {
    return at(P::kSupervision, ok.error(), "DESKTOP_SUPERVISOR_UNSUPPORTED");
  }
  auto process =
      s.create_process(*exe, command_line, kWorkerCreationFlags, kWorkerDesktop, **token, !same_session, **attributes);
  // The list is needed only by the creation.
  attributes->reset();
  if (!process) return at(P::kProcessCreate, process.error(), "DESKTOP_WORKER_START_FAILED");
  if (auto ok = (*process)->resume(); !ok) {
    (*job)->terminate();
    (*process)->terminate_and_wait();
    return at(P::kProcessResume, ok.error(), "DESKTOP_WORKER_START_FAILED");
  }
  const std::uint32_t worker_pid = (*process)->process_id();
  return WorkerHandle{std::move(sys),          std::move(*token),   std::move(*job), std::move(*pipe),
                      std::move(*process),     worker_pid,          same_session};
}

Result<WorkerHandle> start_worker(std::unique_ptr<WorkerLaunchSys> sys, ProcSys& processes, const Request& request,
                                  Time now) {
  if (auto valid = validate_action_request(request, now); !valid) {
    return at(StartupPhase::kValidate, std::move(valid.error()));
  }
  return start_worker(std::move(sys), processes, request.session_id);
}

}  // namespace vor::desktop
