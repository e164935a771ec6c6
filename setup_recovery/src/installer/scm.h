// The Service Control Manager port: connect, open a service, and the calls
// made on an open service, each returning the raw fact (a status, or the
// Win32 error of the failed call as `Error::os`). The Win32 adapter
// (scm_win32.cpp) is one call per method; the rules are in service_control.h.
//
//   auto manager = scm.connect();                      // OpenSCManagerW(SC_MANAGER_CONNECT)
//   auto service = (*manager)->open_service(name, kServiceAccessStop);
//   auto status = (*service)->query_status();          // QueryServiceStatusEx
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/error.h"

namespace vor::setup {

inline constexpr std::uint32_t kErrorServiceDoesNotExist = 1060;
inline constexpr std::uint32_t kErrorServiceSpecificError = 1066;

// Access rights.
inline constexpr std::uint32_t kServiceQueryConfig = 0x1;
inline constexpr std::uint32_t kServiceChangeConfig = 0x2;
inline constexpr std::uint32_t kServiceQueryStatus = 0x4;
inline constexpr std::uint32_t kServiceStart = 0x10;
inline constexpr std::uint32_t kServiceStop = 0x20;
inline constexpr std::uint32_t kAccessDelete = 0x10000;
inline constexpr std::uint32_t kServiceAccessStop = kServiceStop | kServiceQueryStatus;                 // 0x24
inline constexpr std::uint32_t kServiceAccessReconfigure = kServiceChangeConfig | kServiceQueryStatus;  // 0x6
inline constexpr std::uint32_t kServiceAccessDelete = kAccessDelete | kServiceQueryStatus;              // 0x10004
inline constexpr std::uint32_t kServiceAccessFailureActions =
    kServiceQueryConfig | kServiceChangeConfig | kServiceStart;                                       // 0x13
inline constexpr std::uint32_t kServiceAccessStart = kServiceQueryStatus | kServiceStart;               // 0x14
inline constexpr std::uint32_t kServiceAccessStatus = kServiceQueryStatus;                              // 0x4

inline constexpr std::uint32_t kServiceNoChange = 0xFFFFFFFF;
inline constexpr std::uint32_t kServiceDisabled = 4;
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

// SERVICE_STATUS_PROCESS.dwCurrentState values.
enum ServiceState : std::uint32_t {
  kStateStopped = 1,
  kStateStartPending = 2,
  kStateStopPending = 3,
  kStateRunning = 4,
  kStateContinuePending = 5,
  kStatePausePending = 6,
  kStatePaused = 7,
};

struct ServiceStatus {
  std::uint32_t service_type = 0;
  std::uint32_t current_state = 0;
  std::uint32_t controls_accepted = 0;
  std::uint32_t win32_exit_code = 0;
  std::uint32_t service_specific_exit_code = 0;
  std::uint32_t check_point = 0;
  std::uint32_t wait_hint = 0;  // milliseconds
  bool operator==(const ServiceStatus&) const = default;
};

// ChangeServiceConfigW: numbers as given (kServiceNoChange keeps one); a
// string argument that is nullopt is passed as null. Load-order group, tag,
// account and password are always null.
struct ServiceConfigChange {
  std::uint32_t service_type = kServiceNoChange;
  std::uint32_t start_type = kServiceNoChange;
  std::uint32_t error_control = kServiceNoChange;
  std::optional<std::vector<std::uint16_t>> binary_path;   // NUL-terminated units
  std::optional<std::vector<std::uint16_t>> dependencies;  // double-NUL list
  std::optional<std::vector<std::uint16_t>> display_name;  // NUL-terminated units
  bool operator==(const ServiceConfigChange&) const = default;
};

struct FailureAction {
  std::uint32_t type = 0;  // SC_ACTION_*
  std::uint32_t delay_ms = 0;
  bool operator==(const FailureAction&) const = default;
};

// SERVICE_FAILURE_ACTIONSW. Texts are NUL-terminated units or null; a null
// `actions` passes a null array with count 0 (the service keeps its actions).
struct FailureActionsChange {
  std::uint32_t reset_period = kInfinite;
  std::optional<std::vector<std::uint16_t>> reboot_message;
  std::optional<std::vector<std::uint16_t>> command;
  std::optional<std::vector<FailureAction>> actions;
  bool operator==(const FailureActionsChange&) const = default;
};

class ServiceHandle {
 public:
  virtual ~ServiceHandle() = default;  // CloseServiceHandle
  virtual Result<ServiceStatus> query_status() = 0;  // QueryServiceStatusEx(SC_STATUS_PROCESS_INFO)
  virtual Result<ServiceStatus> control_stop() = 0;  // ControlService(SERVICE_CONTROL_STOP)
  virtual Status change_config(const ServiceConfigChange& change) = 0;
  // ChangeServiceConfig2W with SERVICE_CONFIG_DESCRIPTION (1), _FAILURE_ACTIONS (2),
  // _DELAYED_AUTO_START_INFO (3), _FAILURE_ACTIONS_FLAG (4), _SERVICE_SID_INFO (5).
  virtual Status set_description(std::span<const std::uint16_t> description) = 0;
  virtual Status set_failure_actions(const FailureActionsChange& actions) = 0;
  virtual Status set_delayed_auto_start(bool delayed) = 0;
  virtual Status set_failure_actions_flag(bool on_non_crash_failures) = 0;
  virtual Status set_sid_type(std::uint32_t sid_type) = 0;
  virtual Status start() = 0;   // StartServiceW without arguments
  virtual Status remove() = 0;  // DeleteService
};

class ScmConnection {
 public:
  virtual ~ScmConnection() = default;  // CloseServiceHandle
  virtual Result<std::unique_ptr<ServiceHandle>> open_service(const std::string& name, std::uint32_t access) = 0;
};

class Scm {
 public:
  virtual ~Scm() = default;
  // OpenSCManagerW(local machine, active database, SC_MANAGER_CONNECT).
  virtual Result<std::unique_ptr<ScmConnection>> connect() = 0;
};

#ifdef _WIN32
std::unique_ptr<Scm> make_win32_scm();
#endif

}  // namespace vor::setup
