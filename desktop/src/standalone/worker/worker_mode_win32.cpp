#include <windows.h>

#include "common/handle_win32.h"
#include "common/text.h"
#include "native/process_identity.h"
#include "protocol/worker_args.h"
#include "standalone/worker/worker_mode.h"

namespace vor::desktop {
namespace {

// Opens the broker's pipe as a client that lets the server identify, but not
// impersonate, it. While every instance is busy it waits for one; the
// lifetime watchdog bounds that wait.
Result<UniqueFile> connect_to_broker(const std::wstring& pipe) {
  for (;;) {
    UniqueFile file(::CreateFileW(pipe.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION, nullptr));
    if (file) return file;
    const DWORD err = ::GetLastError();
    if (err != ERROR_PIPE_BUSY) return fail(coded_os(kPeerUnavailable, err));
    if (!::WaitNamedPipeW(pipe.c_str(), NMPWAIT_WAIT_FOREVER)) {
      const DWORD wait_err = ::GetLastError();
      if (wait_err != ERROR_SEM_TIMEOUT && wait_err != ERROR_PIPE_BUSY) {
        return fail(coded_os(kPeerUnavailable, wait_err));
      }
    }
  }
}

}  // namespace

Status run_worker_mode(std::span<const std::optional<std::string>> args, WorkerPorts ports,
                       const DesktopExecutor& execute, const ReadinessSnapshot& readiness) {
  VOR_ASSIGN_OR_RETURN(const WorkerArgs parsed, parse_worker_args(args));
  auto own_session = ports.processes.process_session_id(ports.processes.current_process_id());
  if (!own_session) return fail(coded_os(kSessionMismatch, own_session.error()));
  if (*own_session != parsed.session_id) return fail(coded(kSessionMismatch));

  VOR_ASSIGN_OR_RETURN(UniqueFile pipe, connect_to_broker(*to_wide(parsed.pipe)));
  ULONG server_pid = 0;
  if (!::GetNamedPipeServerProcessId(pipe.get(), &server_pid)) return fail(coded_os(kPeerUnavailable, ::GetLastError()));
  if (server_pid != parsed.broker_pid) return fail(coded(kPeerNotAuthorized));

  asio::io_context io;
  std::error_code ec;
  asio::windows::stream_handle stream(io);
  stream.assign(pipe.get(), ec);
  if (ec) return fail(coded_os(kPeerUnavailable, static_cast<std::uint32_t>(ec.value())));
  pipe.release();
  AsioFramePipe<asio::windows::stream_handle> frames(io, std::move(stream));
  return run_worker_exchange(frames, ports, parsed, execute, readiness);
}

}  // namespace vor::desktop
