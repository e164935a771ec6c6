#include "native/process_identity.h"

#include "protocol/messages.h"

namespace vor::desktop {

Result<std::uint32_t> process_session_id(ProcSys& processes, std::uint32_t process_id) {
  auto session = processes.process_session_id(process_id);
  if (!session) return fail(coded_os(kProcessSessionUnavailable, session.error()));
  return *session;
}

Result<std::unique_ptr<ProcSys::Process>> open_process(ProcSys& processes, std::uint32_t process_id,
                                                       ProcSys::Access access) {
  auto process = processes.open(process_id, access);
  if (!process) return fail(coded_os(kProcessUnavailable, process.error()));
  return std::move(*process);
}

Result<std::uint64_t> query_process_creation_time(ProcSys::Process& process) {
  auto created = process.creation_time();
  if (!created) return fail(coded_os(kProcessUnavailable, created.error()));
  return *created;
}

Result<std::uint64_t> process_creation_time(ProcSys& processes, std::uint32_t process_id) {
  VOR_ASSIGN_OR_RETURN(auto process, open_process(processes, process_id));
  return query_process_creation_time(*process);
}

Result<ProcessIdentity> process_identity(ProcSys& processes, std::uint32_t process_id) {
  VOR_ASSIGN_OR_RETURN(const std::uint64_t created, process_creation_time(processes, process_id));
  return ProcessIdentity{process_id, created};
}

Result<std::string> process_user_sid(ProcSys& processes, std::uint32_t process_id) {
  VOR_ASSIGN_OR_RETURN(auto process, open_process(processes, process_id));
  return process->user_sid();
}

Status authorize_peer_by_sid(Result<std::string> user_sid) {
  if (!user_sid) return fail(coded_over(kPeerUnavailable, std::move(user_sid.error())));
  if (*user_sid != kLocalSystemSid) return fail(coded(kPeerNotAuthorized));
  return {};
}

}  // namespace vor::desktop
