// Worker mode: the copy of the program that a broker starts in the user's
// session. It checks its arguments and session, connects to the broker's
// pipe, checks that the pipe server is the broker it was told about,
// announces itself (`WorkerReady`), reads `ReadyAck` and, when told to
// execute, answers one `Request` with one `Response`. It prints nothing; the
// entry maps success to exit 0 and failure to 64.
//
// `run_worker_mode` connects over Win32 with the ports the composition root
// hands it; the rules after the connection (`check_broker_identity`,
// `run_worker_exchange`) are portable and run over `WorkerPorts`, a
// `FramePipe` and an executor.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/error.h"
#include "native/ports.h"
#include "protocol/messages.h"
#include "protocol/request.h"
#include "protocol/response.h"
#include "protocol/worker_args.h"
#include "protocol/worker_mode_pipe.h"

namespace vor::desktop {

// Each read and write of the worker pipe has its own limit.
inline constexpr std::chrono::milliseconds kWorkerPipeLimit{3000};
inline constexpr std::string_view kExecutorFailureCode = "DESKTOP_OPERATION_FAILED";

// What the worker knows of its own executable; the pipe server's process
// facts come from the `ProcSys` port.
class BrokerIdentitySys {
 public:
  virtual ~BrokerIdentitySys() = default;
  // This process's executable path, "\\?\" kept as given.
  virtual Result<std::string> own_image_path() = 0;
  // Full Unicode lower-casing of a path.
  virtual std::string lower_case(std::string_view text) = 0;
};

// The ports of worker mode, owned by the composition root.
struct WorkerPorts {
  ProcSys& processes;
  BrokerIdentitySys& identity;
};

// The desktop readiness snapshot of a Windows session.
using ReadinessSnapshot = std::function<NoticeContext(std::uint32_t session)>;

// The path without a leading "\\?\".
std::string_view strip_verbatim_prefix(std::string_view path);

// The broker is accepted when it runs the worker's own executable and is
// either the worker's user in session `session` or SYSTEM in session 0.
// The first failing check is returned; later checks are skipped.
Status check_broker_identity(WorkerPorts ports, std::uint32_t server_pid, std::uint32_t session);

// Set by the executor as soon as input may have reached the desktop.
struct InputFlags {
  bool dispatched = false;
  bool entry_issued = false;
};

using DesktopExecutor =
    std::function<Result<Response>(const Request&, const std::optional<ArmedInputPolicy>&, InputFlags&)>;

// Connects to the broker named by `args` and runs the exchange; each request
// goes to `execute` (the desktop operation executor over the composition
// root's adapters).
Status run_worker_mode(std::span<const std::optional<std::string>> args, WorkerPorts ports,
                       const DesktopExecutor& execute, const ReadinessSnapshot& readiness);

// The response for an executor failure: the code is the outermost message
// as a whole when it is 8 to 99 bytes and begins with "DESKTOP_", else
// "DESKTOP_OPERATION_FAILED"; the guidance is that code's sentence. The
// typed diagnostics the failure carries (changed target, captures, element
// action, notice proof, readiness snapshot) are copied into their members.
Response executor_failure_response(const Request& request, const Error& error);

// Members every response gets after the executor, success or failure: the
// execution evidence (every kind but launch) and the input diagnostic.
void complete_worker_response(Response& response, const Request& request,
                              const std::optional<ArmedInputPolicy>& policy, const InputFlags& flags);

// Steps after the connection: identity check, `WorkerReady`, `ReadyAck`,
// and, when asked to execute, one `Request` answered by one `Response`,
// which gets the readiness snapshot of the worker's session as its
// `noticeContext` when it has none.
Status run_worker_exchange(FramePipe& pipe, WorkerPorts ports, const WorkerArgs& args,
                           const DesktopExecutor& execute, const ReadinessSnapshot& readiness);

}  // namespace vor::desktop
