#include <windows.h>

#include "common/handle_win32.h"
#include "common/text.h"
#include "executor/executor_win32.h"
#include "readiness/readiness.h"
#include "standalone/worker_args.h"
#include "standalone/worker_mode.h"
#include "standalone/worker_mode_peer_win32.h"

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
    if (err != ERROR_PIPE_BUSY) return fail(Error::os(err).context("DESKTOP_PEER_UNAVAILABLE"));
    if (!::WaitNamedPipeW(pipe.c_str(), NMPWAIT_WAIT_FOREVER)) {
      const DWORD wait_err = ::GetLastError();
      if (wait_err != ERROR_SEM_TIMEOUT && wait_err != ERROR_PIPE_BUSY) {
        return fail(Error::os(wait_err).context("DESKTOP_PEER_UNAVAILABLE"));
      }
    }
  }
}

}  // namespace

Status run_worker_mode(std::span<const std::optional<std::string>> args) {
  auto parsed = parse_worker_args(args);
  if (!parsed) return fail(std::move(parsed.error()));
  DWORD own_session = 0;
  if (!::ProcessIdToSessionId(::GetCurrentProcessId(), &own_session)) {
    return fail(Error::os(::GetLastError()).context("DESKTOP_SESSION_MISMATCH"));
  }
  if (own_session != parsed->session_id) return fail("DESKTOP_SESSION_MISMATCH");

  auto pipe = connect_to_broker(*to_wide(parsed->pipe));
  if (!pipe) return fail(std::move(pipe.error()));
  ULONG server_pid = 0;
  if (!::GetNamedPipeServerProcessId(pipe->get(), &server_pid)) {
    return fail(Error::os(::GetLastError()).context("DESKTOP_PEER_UNAVAILABLE"));
  }
  if (server_pid != parsed->broker_pid) return fail("DESKTOP_PEER_NOT_AUTHORIZED");

  asio::io_context io;
  std::error_code ec;
  asio::windows::stream_handle stream(io);
  stream.assign(pipe->get(), ec);
  if (ec) return fail(Error::os(static_cast<std::uint32_t>(ec.value())).context("DESKTOP_PEER_UNAVAILABLE"));
  pipe->release();
  AsioFramePipe<asio::windows::stream_handle> frames(io, std::move(stream));
  auto identity = make_win32_broker_identity_sys();
  Win32ExecutorAdapters adapters;
  const ReadinessSnapshot readiness = [&](std::uint32_t session) {
    return query_readiness(adapters.desktop(), adapters.readiness(), session);
  };
  const DesktopExecutor execute = [&](const Request& request, const std::optional<ArmedInputPolicy>& policy,
                                      InputFlags& flags) {
    return execute_desktop_operation(adapters.ports(), request, policy, flags.dispatched);
  };
  return run_worker_exchange(frames, *identity, *parsed, execute, readiness);
}

}  // namespace vor::desktop
