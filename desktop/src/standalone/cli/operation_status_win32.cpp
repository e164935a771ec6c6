#include <windows.h>

#include "common/handle_win32.h"
#include "standalone/cli/operation_status.h"
#include "standalone/cli/operation_status_win32.h"

namespace vor::desktop {
namespace {

class Win32Process final : public ProcessLiveness::Process {
 public:
  explicit Win32Process(UniqueHandle handle) : handle_(std::move(handle)) {}

  Result<std::uint64_t> creation_time() override {
    FILETIME created{}, exited{}, kernel{}, user{};
    if (!::GetProcessTimes(handle_.get(), &created, &exited, &kernel, &user)) return fail(Error::os(::GetLastError()));
    return (std::uint64_t{created.dwHighDateTime} << 32) | created.dwLowDateTime;
  }

  Result<bool> has_exited() override {
    const DWORD waited = ::WaitForSingleObject(handle_.get(), 0);
    if (waited == WAIT_OBJECT_0) return true;
    if (waited == WAIT_TIMEOUT) return false;
    return fail(Error::os(::GetLastError()));
  }

 private:
  UniqueHandle handle_;
};

class Win32ProcessLiveness final : public ProcessLiveness {
 public:
  Result<std::unique_ptr<Process>> open(std::uint32_t process_id) override {
    HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, process_id);
    if (process == nullptr) return fail(Error::os(::GetLastError()));
    return std::unique_ptr<Process>(std::make_unique<Win32Process>(UniqueHandle(process)));
  }
};

}  // namespace

std::unique_ptr<ProcessLiveness> make_win32_process_liveness() { return std::make_unique<Win32ProcessLiveness>(); }

}  // namespace vor::desktop

namespace vor::desktop {

Result<CliDocument> with_win32_state_ports(const std::function<Result<CliDocument>(StatePorts&)>& work) {
  auto fs = make_win32_file_system();
  auto dpapi = make_win32_data_protection();
  auto identity = make_win32_caller_identity();
  auto processes = make_win32_process_liveness();
  StatePorts ports{make_state_context(*fs, *dpapi, system_clock()), *identity, *processes};
  return work(ports);
}

}  // namespace vor::desktop
