// Thin Win32 adapter of the `Scm` port: one service-manager call per method.
#include <windows.h>

#include <utility>

#include "common/handle_win32.h"
#include "common/text.h"
#include "installer/scm.h"

namespace vor::setup {
namespace {

// The service-manager numbers the rules use must be the SDK's.
static_assert(kErrorServiceDoesNotExist == ERROR_SERVICE_DOES_NOT_EXIST);
static_assert(kErrorServiceSpecificError == ERROR_SERVICE_SPECIFIC_ERROR);
static_assert(kServiceQueryConfig == SERVICE_QUERY_CONFIG && kServiceChangeConfig == SERVICE_CHANGE_CONFIG);
static_assert(kServiceQueryStatus == SERVICE_QUERY_STATUS && kServiceStart == SERVICE_START);
static_assert(kServiceStop == SERVICE_STOP && kAccessDelete == DELETE);
static_assert(kServiceNoChange == SERVICE_NO_CHANGE && kServiceDisabled == SERVICE_DISABLED && kInfinite == INFINITE);
static_assert(kStateStopped == SERVICE_STOPPED && kStateStartPending == SERVICE_START_PENDING);
static_assert(kStateStopPending == SERVICE_STOP_PENDING && kStateRunning == SERVICE_RUNNING);
static_assert(kStateContinuePending == SERVICE_CONTINUE_PENDING && kStatePausePending == SERVICE_PAUSE_PENDING);
static_assert(kStatePaused == SERVICE_PAUSED);

Error last_os_error() { return Error::os(::GetLastError()); }

Status result_of(BOOL ok) {
  if (!ok) return fail(last_os_error());
  return {};
}

wchar_t* units_or_null(std::optional<std::vector<std::uint16_t>>& units) {
  return units ? reinterpret_cast<wchar_t*>(units->data()) : nullptr;
}

ServiceStatus status_of(const SERVICE_STATUS_PROCESS& s) {
  return ServiceStatus{s.dwServiceType,     s.dwCurrentState,          s.dwControlsAccepted, s.dwWin32ExitCode,
                       s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint};
}

class Win32Service final : public ServiceHandle {
 public:
  explicit Win32Service(UniqueServiceHandle handle) : handle_(std::move(handle)) {}

  Result<ServiceStatus> query_status() override {
    SERVICE_STATUS_PROCESS s{};
    DWORD needed = 0;
    if (!::QueryServiceStatusEx(handle_.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&s), sizeof s, &needed)) {
      return fail(last_os_error());
    }
    return status_of(s);
  }

  Result<ServiceStatus> control_stop() override {
    SERVICE_STATUS s{};
    if (!::ControlService(handle_.get(), SERVICE_CONTROL_STOP, &s)) return fail(last_os_error());
    SERVICE_STATUS_PROCESS p{};
    p.dwServiceType = s.dwServiceType;
    p.dwCurrentState = s.dwCurrentState;
    p.dwControlsAccepted = s.dwControlsAccepted;
    p.dwWin32ExitCode = s.dwWin32ExitCode;
    p.dwServiceSpecificExitCode = s.dwServiceSpecificExitCode;
    p.dwCheckPoint = s.dwCheckPoint;
    p.dwWaitHint = s.dwWaitHint;
    return status_of(p);
  }

  Status change_config(const ServiceConfigChange& change) override {
    ServiceConfigChange c = change;
    return result_of(::ChangeServiceConfigW(handle_.get(), c.service_type, c.start_type, c.error_control,
                                            units_or_null(c.binary_path), nullptr, nullptr,
                                            units_or_null(c.dependencies), nullptr, nullptr,
                                            units_or_null(c.display_name)));
  }

  Status set_description(std::span<const std::uint16_t> description) override {
    std::vector<std::uint16_t> units(description.begin(), description.end());
    SERVICE_DESCRIPTIONW info{reinterpret_cast<wchar_t*>(units.data())};
    return result_of(::ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_DESCRIPTION, &info));
  }

  Status set_failure_actions(const FailureActionsChange& change) override {
    FailureActionsChange c = change;
    std::vector<SC_ACTION> actions;
    if (c.actions) {
      for (const FailureAction& a : *c.actions) actions.push_back(SC_ACTION{static_cast<SC_ACTION_TYPE>(a.type), a.delay_ms});
    }
    SERVICE_FAILURE_ACTIONSW info{};
    info.dwResetPeriod = c.reset_period;
    info.lpRebootMsg = units_or_null(c.reboot_message);
    info.lpCommand = units_or_null(c.command);
    info.cActions = static_cast<DWORD>(actions.size());
    // An empty list clears the actions: a non-null array of zero entries.
    static SC_ACTION none{};
    info.lpsaActions = c.actions ? (actions.empty() ? &none : actions.data()) : nullptr;
    return result_of(::ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &info));
  }

  Status set_delayed_auto_start(bool delayed) override {
    SERVICE_DELAYED_AUTO_START_INFO info{delayed ? TRUE : FALSE};
    return result_of(::ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &info));
  }

  Status set_failure_actions_flag(bool on_non_crash_failures) override {
    SERVICE_FAILURE_ACTIONS_FLAG info{on_non_crash_failures ? TRUE : FALSE};
    return result_of(::ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &info));
  }

  Status set_sid_type(std::uint32_t sid_type) override {
    SERVICE_SID_INFO info{sid_type};
    return result_of(::ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_SERVICE_SID_INFO, &info));
  }

  Status start() override { return result_of(::StartServiceW(handle_.get(), 0, nullptr)); }
  Status remove() override { return result_of(::DeleteService(handle_.get())); }

 private:
  UniqueServiceHandle handle_;
};

class Win32ScmConnection final : public ScmConnection {
 public:
  explicit Win32ScmConnection(UniqueServiceHandle handle) : handle_(std::move(handle)) {}

  Result<std::unique_ptr<ServiceHandle>> open_service(const std::string& name, std::uint32_t access) override {
    auto w = to_wide(name);
    if (!w) return fail(Error::os(ERROR_INVALID_NAME));
    UniqueServiceHandle service(::OpenServiceW(handle_.get(), w->c_str(), access));
    if (!service) return fail(last_os_error());
    return std::unique_ptr<ServiceHandle>(std::make_unique<Win32Service>(std::move(service)));
  }

 private:
  UniqueServiceHandle handle_;
};

class Win32Scm final : public Scm {
 public:
  Result<std::unique_ptr<ScmConnection>> connect() override {
    UniqueServiceHandle manager(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager) return fail(last_os_error());
    return std::unique_ptr<ScmConnection>(std::make_unique<Win32ScmConnection>(std::move(manager)));
  }
};

}  // namespace

std::unique_ptr<Scm> make_win32_scm() { return std::make_unique<Win32Scm>(); }

}  // namespace vor::setup
