#include <windows.h>

#include "broker/probe.h"
#include "native/process_identity.h"
#include "native/process_sys_win32.h"
#include "standalone/cli/probe.h"
#include "windows/worker_launch_win32.h"

namespace vor::desktop {
namespace {

class Win32ProbeSys final : public ProbeSys {
 public:
  CallerFacts caller_facts() override {
    CallerFacts facts;
    DWORD session = 0;
    if (::ProcessIdToSessionId(::GetCurrentProcessId(), &session)) facts.session_id = session;
    if (auto sid = query_process_user_sid(::GetCurrentProcessId())) facts.is_system = *sid == kLocalSystemSid;
    BOOL in_job = FALSE;
    if (::IsProcessInJob(::GetCurrentProcess(), nullptr, &in_job)) facts.in_job = in_job != FALSE;
    return facts;
  }

  Status probe_worker(std::uint32_t session) override {
    asio::io_context io;
    return probe_session(make_win32_worker_launch(io), session, system_clock());
  }

  Clock& clock() override { return system_clock(); }
};

}  // namespace

std::unique_ptr<ProbeSys> make_win32_probe_sys() { return std::make_unique<Win32ProbeSys>(); }

}  // namespace vor::desktop
