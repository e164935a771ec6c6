#include "native/process_identity.h"

namespace vor::desktop {

Result<std::uint32_t> process_session_id(ProcSys& processes, std::uint32_t process_id) {
  auto session = processes.process_session_id(process_id);
  if (!session) return fail(coded_os(kProcessSessionUnavailable, session.error()));
  return *session;
}

Result<std::unique_ptr<ProcSys::Query>> open_process_query(ProcSys& processes, std::uint32_t process_id) {
  auto query = processes.open_query(process_id);
  if (!query) return fail(coded_os(kProcessUnavailable, query.error()));
  return std::move(*query);
}

Result<std::uint64_t> query_process_creation_time(ProcSys::Query& process) {
  auto created = process.creation_time();
  if (!created) return fail(coded_os(kProcessUnavailable, created.error()));
  return *created;
}

Result<std::uint64_t> process_creation_time(ProcSys& processes, std::uint32_t process_id) {
  VOR_ASSIGN_OR_RETURN(auto query, open_process_query(processes, process_id));
  return query_process_creation_time(*query);
}

Result<ProcessIdentity> process_identity(ProcSys& processes, std::uint32_t process_id) {
  VOR_ASSIGN_OR_RETURN(auto created, process_creation_time(processes, process_id));
  return ProcessIdentity{process_id, created};
}

}  // namespace vor::desktop
