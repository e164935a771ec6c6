#include "native/process_identity.h"

namespace vor::desktop {

Result<std::uint32_t> process_session_id(ProcSys& processes, std::uint32_t process_id) {
  auto session = processes.process_session_id(process_id);
  if (!session) return fail(win32_failure(session.error(), kProcessSessionUnavailable));
  return *session;
}

Result<std::unique_ptr<ProcSys::Query>> open_process_query(ProcSys& processes, std::uint32_t process_id) {
  auto query = processes.open_query(process_id);
  if (!query) return fail(win32_failure(query.error(), kProcessUnavailable));
  return std::move(*query);
}

Result<std::uint64_t> query_process_creation_time(ProcSys::Query& process) {
  auto created = process.creation_time();
  if (!created) return fail(win32_failure(created.error(), kProcessUnavailable));
  return *created;
}

Result<std::uint64_t> process_creation_time(ProcSys& processes, std::uint32_t process_id) {
  auto query = open_process_query(processes, process_id);
  if (!query) return fail(std::move(query.error()));
  return query_process_creation_time(**query);
}

Result<ProcessIdentity> process_identity(ProcSys& processes, std::uint32_t process_id) {
  auto created = process_creation_time(processes, process_id);
  if (!created) return fail(std::move(created.error()));
  return ProcessIdentity{process_id, *created};
}

}  // namespace vor::desktop
