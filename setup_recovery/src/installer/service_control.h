// Control of the product's two services during a rollback: stop and wait,
// disable, restore a recorded configuration (or delete a service the update
// created), and start and wait with a progress rule. Every call goes through
// the `Scm` port; the stop wait sleeps on the event loop, the start wait
// blocks the thread. The first error ends a sequence; nothing is undone.
//
//   ServiceControl services{scm, ticker};
//   co_await stop_and_disable_services(services);   ... files ...
//   restore_service_configurations(services, journal);  start_services(services, journal);
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <asio/awaitable.hpp>

#include "installer/journal.h"
#include "installer/scm.h"
#include "installer/ticker.h"

namespace vor::setup {

inline constexpr std::string_view kAgentService = "VorKernoAgent";
inline constexpr std::string_view kGuardianService = "VorKernoGuardian";

inline constexpr std::chrono::seconds kStopTimeout{30};
inline constexpr std::chrono::milliseconds kStopPoll{250};
inline constexpr std::chrono::seconds kStartTimeout{45};
inline constexpr std::size_t kMaxServiceTextUnits = 32'768;

struct ServiceControl {
  Scm& scm;
  Ticker& ticker;
};

// The open service, nullptr when the manager answers 1060, or
// "SETUP_SERVICE_QUERY_FAILED" over the Win32 error.
Result<std::unique_ptr<ServiceHandle>> open_service_if_present(Scm& scm, const std::string& name,
                                                                std::uint32_t access);

// "Stopped", "StartPending", ... for states 1 to 7.
std::string_view service_state_name(std::uint32_t state);

asio::awaitable<Status> stop_service_and_wait(ServiceControl& control, const std::string& name);
Status disable_stopped_service(ServiceControl& control, const std::string& name);
// Stop the guardian, stop the agent, disable the guardian, disable the agent.
asio::awaitable<Status> stop_and_disable_services(ServiceControl& control);

// A copy of a stored dependency list that the service manager can read to its
// end: the manager walks NUL-terminated names until an empty one, so the copy
// always ends in two NULs ({0} and {'A', 0} gain one, {'A', 0, 0} stays as it is).
std::vector<std::uint16_t> double_nul_terminated(std::span<const std::uint16_t> list);

Result<FailureAction> parse_recovery_action(const ServiceRecoveryActionSnapshot& saved);
Status restore_service_configuration(ServiceControl& control, const std::string& name,
                                     const std::optional<Snapshot>& snapshot);
// The agent, then the guardian.
Status restore_service_configurations(ServiceControl& control, const Journal& journal);

Status start_service_and_wait(ServiceControl& control, const std::string& name);
// The agent, then the guardian, each only when its snapshot says it was running.
Status start_services(ServiceControl& control, const Journal& journal);

}  // namespace vor::setup
