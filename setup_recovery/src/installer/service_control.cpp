#include "installer/service_control.h"

#include <algorithm>
#include <limits>

#include "common/text.h"
#include "installer/errors.h"

namespace vor::setup {
namespace {

using std::chrono::milliseconds;

constexpr std::string_view kConnectContext = "connect to Windows Service Control Manager";

std::string with_name(std::string_view pattern, const std::string& name) {
  std::string out(pattern);
  out.replace(out.find("{}"), 2, name);
  return out;
}

Result<ServiceStatus> checked(Result<ServiceStatus> status) {
  if (!status) return status;
  if (status->current_state < kStateStopped || status->current_state > kStatePaused) {
    return fail("invalid service status state " + std::to_string(status->current_state));
  }
  return status;
}

Result<std::unique_ptr<ServiceHandle>> open_on(ScmConnection& manager, const std::string& name,
                                               std::uint32_t access) {
  auto service = manager.open_service(name, access);
  if (service) return service;
  if (service.error().os_error() == kErrorServiceDoesNotExist) return std::unique_ptr<ServiceHandle>();
  return fail(failure_over(kSetupServiceQueryFailed, std::move(service.error())));
}

Status check_units(const std::vector<std::uint16_t>& units) {
  if (units.empty() || units.back() != 0 || units.size() > kMaxServiceTextUnits) {
    return fail(failure(kSetupRecoveryStateInvalid));
  }
  return {};
}

Result<std::vector<std::uint16_t>> nul_terminated(const std::string& text) {
  if (text.find('\0') != std::string::npos) return fail("saved service text holds a NUL");
  auto wide = utf8_to_utf16(text);
  if (!wide) return fail("saved service text is not valid UTF-8");
  std::vector<std::uint16_t> units(wide->begin(), wide->end());
  units.push_back(0);
  return units;
}

Result<FailureActionsChange> failure_actions_of(const ServiceRecoverySnapshot& saved) {
  FailureActionsChange change;
  if (saved.reset_period_seconds) {
    if (*saved.reset_period_seconds > std::numeric_limits<std::uint32_t>::max()) {
      return fail(failure(kSetupRecoveryStateInvalid));
    }
    change.reset_period = static_cast<std::uint32_t>(*saved.reset_period_seconds);
  }
  if (saved.reboot_message) {
    VOR_ASSIGN_OR_RETURN(auto units, nul_terminated(*saved.reboot_message));
    change.reboot_message = std::move(units);
  }
  if (saved.command) {
    VOR_ASSIGN_OR_RETURN(auto units, nul_terminated(*saved.command));
    change.command = std::move(units);
  }
  if (saved.actions) {
    change.actions.emplace();
    for (const auto& action : *saved.actions) {
      VOR_ASSIGN_OR_RETURN(auto parsed, parse_recovery_action(action));
      change.actions->push_back(parsed);
    }
  }
  return change;
}

std::string exit_code_text(const ServiceStatus& s) {
  if (s.win32_exit_code == kErrorServiceSpecificError) {
    return "ServiceSpecific(" + std::to_string(s.service_specific_exit_code) + ")";
  }
  return "Win32(" + std::to_string(s.win32_exit_code) + ")";
}

// "; state=Stopped, exitCode=Win32(0), checkpoint=0, waitHintMs=0"
std::string status_detail(const ServiceStatus& s) {
  return "; state=" + std::string(service_state_name(s.current_state)) + ", exitCode=" + exit_code_text(s) +
         ", checkpoint=" + std::to_string(s.check_point) + ", waitHintMs=" + std::to_string(s.wait_hint);
}

// The wait after the start request: polls until Running, 45 seconds, or a
// pending state whose checkpoint stops moving.
Status wait_until_running(ServiceControl& control, const std::string& name) {
  auto manager = control.scm.connect();
  if (!manager) return fail(std::move(manager.error()).context(std::string(kConnectContext)));
  auto opened = (*manager)->open_service(name, kServiceAccessStatus);
  if (!opened) return fail(std::move(opened.error()).context(with_name("open service {} for status tracking", name)));
  ServiceHandle& service = **opened;
  const Ticker::Duration t0 = control.ticker.now();
  std::optional<std::uint32_t> reference_checkpoint;
  Ticker::Duration reference_time = t0;
  for (;;) {
    auto status = checked(service.query_status());
    if (!status) return fail(std::move(status.error()).context(with_name("query service {} status", name)));
    if (status->current_state == kStateRunning) return {};
    const Ticker::Duration now = control.ticker.now();
    if (!reference_checkpoint) reference_checkpoint = status->check_point;
    if (now - t0 >= kStartTimeout) return fail("service " + name + " did not reach Running within " + std::to_string(kStartTimeout.count()) +
                  " seconds" + status_detail(*status));
    const bool pending =
        status->current_state == kStateStartPending || status->current_state == kStateStopPending;
    if (pending) {
      if (status->check_point != *reference_checkpoint) {
        reference_checkpoint = status->check_point;
        reference_time = now;
      } else {
        const milliseconds limit = std::clamp<milliseconds>(milliseconds(status->wait_hint), std::chrono::seconds(10),
                                                            std::chrono::seconds(45));
        if (now - reference_time >= limit) {
          return fail("service " + name + " stopped making progress while waiting for Running" +
                      status_detail(*status));
        }
      }
    }
    control.ticker.sleep(std::clamp<milliseconds>(milliseconds(status->wait_hint / 10), milliseconds(100),
                                                  milliseconds(1000)));
  }
}

}  // namespace

std::vector<std::uint16_t> double_nul_terminated(std::span<const std::uint16_t> list) {
  std::vector<std::uint16_t> out(list.begin(), list.end());
  while (out.size() < 2 || out[out.size() - 1] != 0 || out[out.size() - 2] != 0) out.push_back(0);
  return out;
}

std::string_view service_state_name(std::uint32_t state) {
  switch (state) {
    case kStateStopped: return "Stopped";
    case kStateStartPending: return "StartPending";
    case kStateStopPending: return "StopPending";
    case kStateRunning: return "Running";
    case kStateContinuePending: return "ContinuePending";
    case kStatePausePending: return "PausePending";
    case kStatePaused: return "Paused";
    default: return "Unknown";
  }
}

Result<std::unique_ptr<ServiceHandle>> open_service_if_present(Scm& scm, const std::string& name,
                                                                std::uint32_t access) {
  auto manager = scm.connect();
  if (!manager) return fail(failure_over(kSetupServiceQueryFailed, std::move(manager.error())));
  return open_on(**manager, name, access);
}

asio::awaitable<Status> stop_service_and_wait(ServiceControl& control, const std::string& name) {
  auto opened = open_service_if_present(control.scm, name, kServiceAccessStop);
  if (!opened) co_return fail(std::move(opened.error()));
  if (!*opened) co_return Status();
  ServiceHandle& service = **opened;
  auto status = checked(service.query_status());
  if (!status) co_return fail(std::move(status.error()));
  if (status->current_state != kStateStopped && status->current_state != kStateStopPending) {
    auto stopped = checked(service.control_stop());
    if (!stopped) co_return fail(failure_over(kSetupServiceStopFailed, std::move(stopped.error())));
  }
  const Ticker::Duration deadline = control.ticker.now() + kStopTimeout;
  for (;;) {
    status = checked(service.query_status());
    if (!status) co_return fail(std::move(status.error()));
    if (status->current_state == kStateStopped) co_return Status();
    if (control.ticker.now() >= deadline) co_return fail(failure(kSetupServiceStopTimeout));
    co_await control.ticker.sleep_async(kStopPoll);
  }
}

Status disable_stopped_service(ServiceControl& control, const std::string& name) {
  VOR_ASSIGN_OR_RETURN(auto opened, open_service_if_present(control.scm, name, kServiceAccessReconfigure));
  if (!opened) return {};
  VOR_ASSIGN_OR_RETURN(auto status, checked(opened->query_status()));
  if (status.current_state != kStateStopped) return fail(failure(kSetupServiceStopFailed));
  ServiceConfigChange change;
  change.start_type = kServiceDisabled;
  if (auto changed = opened->change_config(change); !changed) {
    return fail(failure_over(kSetupServiceConfigFailed, std::move(changed.error())));
  }
  return {};
}

asio::awaitable<Status> stop_and_disable_services(ServiceControl& control) {
  const std::string guardian(kGuardianService), agent(kAgentService);
  if (auto s = co_await stop_service_and_wait(control, guardian); !s) co_return s;
  if (auto s = co_await stop_service_and_wait(control, agent); !s) co_return s;
  if (auto s = disable_stopped_service(control, guardian); !s) co_return s;
  co_return disable_stopped_service(control, agent);
}

Result<FailureAction> parse_recovery_action(const ServiceRecoveryActionSnapshot& saved) {
  FailureAction action;
  if (saved.action == "none") {
    action.type = 0;
  } else if (saved.action == "restart") {
    action.type = 1;
  } else if (saved.action == "reboot") {
    action.type = 2;
  } else if (saved.action == "runCommand") {
    action.type = 3;
  } else {
    return fail("unsupported saved service recovery action `" + saved.action + "`");
  }
  if (saved.delay_milliseconds > std::numeric_limits<std::uint32_t>::max()) {
    return fail(failure(kSetupRecoveryStateInvalid));
  }
  action.delay_ms = static_cast<std::uint32_t>(saved.delay_milliseconds);
  return action;
}

Status restore_service_configuration(ServiceControl& control, const std::string& name,
                                     const std::optional<Snapshot>& snapshot) {
  if (!snapshot) {
    // The update created the service: it goes away again.
    VOR_ASSIGN_OR_RETURN(auto opened, open_service_if_present(control.scm, name, kServiceAccessDelete));
    if (!opened) return {};
    VOR_ASSIGN_OR_RETURN(auto status, checked(opened->query_status()));
    if (status.current_state != kStateStopped) return fail(failure(kSetupServiceStopFailed));
    return opened->remove();
  }
  const Snapshot& s = *snapshot;
  for (const auto* units : {&s.binary_command, &s.display, &s.dependencies, &s.description}) {
    if (auto ok = check_units(*units); !ok) return ok;
  }
  {
    VOR_ASSIGN_OR_RETURN(auto manager, control.scm.connect());
    VOR_ASSIGN_OR_RETURN(auto opened, open_on(*manager, name, kServiceAccessReconfigure));
    if (!opened) return fail(failure(kSetupRecoveryServiceMissing));
    manager.reset();
    ServiceHandle& service = *opened;
    VOR_ASSIGN_OR_RETURN(auto status, checked(service.query_status()));
    if (status.current_state != kStateStopped) return fail(failure(kSetupRecoveryStateInvalid));
    ServiceConfigChange change{s.service_type, s.start_type, s.error_control, s.binary_command,
                               double_nul_terminated(s.dependencies), s.display};
    if (auto r = service.change_config(change); !r) return r;
    if (auto r = service.set_description(s.description); !r) return r;
    if (auto r = service.set_delayed_auto_start(s.delayed); !r) return r;
    if (s.sid_type != 0 && s.sid_type != 1 && s.sid_type != 3) return fail(failure(kSetupRecoveryStateInvalid));
    if (auto r = service.set_sid_type(s.sid_type); !r) return r;
  }
  auto manager = control.scm.connect();
  if (!manager) return fail(std::move(manager.error()).context(std::string(kConnectContext)));
  auto opened = (*manager)->open_service(name, kServiceAccessFailureActions);
  if (!opened) return fail(std::move(opened.error()).context(with_name("open service {} to restore recovery", name)));
  manager->reset();
  auto actions = failure_actions_of(s.recovery);
  if (!actions) return fail(std::move(actions.error()).context(with_name("restore service {} recovery actions", name)));
  if (auto r = (*opened)->set_failure_actions(*actions); !r) {
    return fail(std::move(r.error()).context(with_name("restore service {} recovery actions", name)));
  }
  if (auto r = (*opened)->set_failure_actions_flag(s.recovery.failure_actions_on_non_crash_failures); !r) {
    return fail(std::move(r.error()).context(with_name("restore service {} failure action flag", name)));
  }
  return {};
}

Status restore_service_configurations(ServiceControl& control, const Journal& journal) {
  if (auto r = restore_service_configuration(control, std::string(kAgentService), journal.agent); !r) return r;
  return restore_service_configuration(control, std::string(kGuardianService), journal.guardian);
}

Status start_service_and_wait(ServiceControl& control, const std::string& name) {
  Status start_request;
  {
    auto manager = control.scm.connect();
    if (!manager) return fail(std::move(manager.error()).context(std::string(kConnectContext)));
    auto opened = (*manager)->open_service(name, kServiceAccessStart);
    if (!opened) return fail(std::move(opened.error()).context(with_name("open service {} for start", name)));
    auto status = checked((*opened)->query_status());
    if (!status) return fail(std::move(status.error()).context(with_name("query service {} before start", name)));
    if (status->current_state == kStateRunning) return {};
    start_request = (*opened)->start();
  }
  auto waited = wait_until_running(control, name);
  if (waited || start_request) return waited;
  return fail(std::move(waited.error())
                  .context("service " + name + " start request failed before final state: " +
                           start_request.error().display_chain()));
}

Status start_services(ServiceControl& control, const Journal& journal) {
  if (journal.agent && journal.agent->running) {
    if (auto r = start_service_and_wait(control, std::string(kAgentService)); !r) return r;
  }
  if (journal.guardian && journal.guardian->running) {
    return start_service_and_wait(control, std::string(kGuardianService));
  }
  return {};
}

}  // namespace vor::setup
