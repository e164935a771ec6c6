#include <windows.h>

#include "broker/probe.h"
#include "native/process_identity.h"
#include "standalone/cli/probe.h"

namespace vor::desktop {
namespace {

class Win32ProbeSys final : public ProbeSys {
 public:
  Win32ProbeSys(ProcSys& processes, WorkerLauncher launcher) : processes_(processes), launcher_(std::move(launcher)) {}

  CallerFacts caller_facts() override {
    CallerFacts facts;
    const std::uint32_t self = processes_.current_process_id();
    if (auto session = processes_.process_session_id(self)) facts.session_id = *session;
    if (auto sid = process_user_sid(processes_, self)) facts.is_system = *sid == kLocalSystemSid;
    BOOL in_job = FALSE;
    if (::IsProcessInJob(::GetCurrentProcess(), nullptr, &in_job)) facts.in_job = in_job != FALSE;
    return facts;
  }

  Status probe_worker(std::uint32_t session) override {
    asio::io_context io;
    return probe_session(launcher_(io), processes_, session, system_clock());
  }

  Clock& clock() override { return system_clock(); }

 private:
  ProcSys& processes_;
  WorkerLauncher launcher_;
};

}  // namespace

std::unique_ptr<ProbeSys> make_win32_probe_sys(ProcSys& processes, WorkerLauncher launcher) {
  return std::make_unique<Win32ProbeSys>(processes, std::move(launcher));
}

}  // namespace vor::desktop
