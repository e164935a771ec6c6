#include "session/host.h"

#include <algorithm>
#include <utility>

#include "common/text.h"
#include "native/process_identity.h"
#include "native/validation.h"
#include "protocol/frame.h"
#include "protocol/messages.h"
#include "protocol/worker_args.h"
#include "session/documents.h"
#include "session/owner_files.h"
#include "standalone/state/fullscreen_ledger.h"
#include "standalone/state/image_store.h"
#include "standalone/state/receipt.h"
#include "standalone/state/state_maintenance.h"

namespace vor::desktop {
namespace {

constexpr std::uint32_t kOwnerProtocol = 1;
constexpr std::uint32_t kRpcProtocol = 1;

// What the host holds for its whole life. The members are released in the
// order the ending needs: pipe, own image, lock, lease (its watchdog is
// stopped and joined); the state root goes last, after the final pass.
struct HostState {
  std::optional<SessionLease> lease;
  std::optional<StateRoot> root;
  std::unique_ptr<OpenFile> session_lock;
  std::unique_ptr<OpenFile> own_image;
  Owner owner;
  FullscreenLedger ledger;
  std::unique_ptr<HostPipe> pipe;

  void release() {
    pipe.reset();
    own_image.reset();
    session_lock.reset();
    lease.reset();
  }
};

// How one client's exchange ended for the host.
enum class ClientEnd {
  kServed,      // answered (or refused without a Reply): go on
  kLeaseGone,   // the lease had no time left when its Rpc arrived
};

// The image file of the own process, opened for reading with read sharing
// only, after the path's safety check.
Result<std::unique_ptr<OpenFile>> open_own_image(HostPorts& ports) {
  VOR_ASSIGN_OR_RETURN(auto process, open_process(ports.processes, ports.processes.current_process_id()));
  auto wide = process->image_path();
  if (!wide) return fail(win32_failure(wide.error(), kPeerImageUnavailable));
  auto path = utf16_to_utf8(strip_verbatim_prefix(*wide));
  if (!path) return fail(coded(kPeerImageUnavailable, "the image path is not valid UTF-16"));
  VOR_RETURN_IF_ERROR(check_state_path(ports.state.fs, *path));
  FileOpenOptions options;
  options.access = FileAccess::kRead;
  options.share = kShareRead;
  options.creation = FileCreation::kOpenExisting;
  options.open_reparse_point = true;
  auto file = ports.state.fs.open(*path, options);
  if (!file) return fail(coded_over(kPeerImageUnavailable, std::move(file.error())));
  return std::move(*file);
}

// `.session.lock` of the root, created when missing, without any sharing:
// a second host on the same directory fails here.
Result<std::unique_ptr<OpenFile>> open_session_lock(HostPorts& ports, const StateRoot& root) {
  FileOpenOptions options;
  options.access = FileAccess::kReadWrite;
  options.share = 0;
  options.creation = FileCreation::kOpenAlways;
  options.open_reparse_point = true;
  auto file = ports.state.fs.open(root.join(kSessionLockName), options);
  if (!file) return fail(coded_over(kOwnerConflict, std::move(file.error())));
  return std::move(*file);
}

// The earliest end of an image lease among the root's receipts, read under
// the gate. nullopt when a one-shot command holds the gate: the scan is
// skipped for this round. An inner nullopt: no receipt has an image.
Result<std::optional<std::optional<std::chrono::nanoseconds>>> scan_image_expiry(HostPorts& ports,
                                                                                   const StateRoot& root) {
  auto gate = open_gate(ports.state.fs, root);
  if (!gate) return std::nullopt;
  VOR_ASSIGN_OR_RETURN(auto receipts, load_receipts(ports.state, root));
  const Time now = ports.state.clock.utc_now();
  std::optional<std::chrono::nanoseconds> earliest;
  for (const Receipt& receipt : receipts) {
    VOR_ASSIGN_OR_RETURN(auto left, image_expiry_time(ports.state.fs, root, now, receipt));
    if (left && (!earliest || *left < *earliest)) earliest = left;
  }
  return std::optional(earliest);
}

class SessionHost {
 public:
  SessionHost(HostPorts& ports, const cmd::SessionHost& command) : ports_(ports), command_(command) {}

  Result<CliDocument> run() {
    auto lease = start_lease_thread(ports_.lease_clock, ports_.end_process);
    if (!lease) return fail(std::move(lease.error()));
    held_.lease.emplace(std::move(*lease));

    if (auto opened = open_store(); !opened) {
      held_.release();
      return fail(std::move(opened.error()));
    }
    if (auto started = announce(); !started) return end_by_error(std::move(started.error()));
    return serve();
  }

 private:
  // Start-up up to the first maintenance pass: nothing to undo but releases.
  Status open_store() {
    ProcSys& processes = ports_.processes;
    VOR_ASSIGN_OR_RETURN(auto session, process_session_id(processes, processes.current_process_id()));
    if (session != command_.session_id) {
      return fail(coded(kSessionMismatch, "the host runs in session " + std::to_string(session)));
    }
    VOR_ASSIGN_OR_RETURN(user_sid_, ports_.identity.current_user_sid());
    if (user_sid_ == kLocalSystemSid) return fail(coded(kSessionStartRequiresUserSession));
    VOR_ASSIGN_OR_RETURN(auto root, ensure_state_directory(ports_.state.fs, ports_.identity, command_.state_dir));
    held_.root.emplace(std::move(root));
    VOR_ASSIGN_OR_RETURN(held_.session_lock, open_session_lock(ports_, *held_.root));
    VOR_ASSIGN_OR_RETURN(held_.own_image, open_own_image(ports_));
    return open_state_store(ports_.state, processes, *held_.root, false);
  }

  // The rest of start-up: the owner, the first pipe instance, the ledger,
  // the record, and the end of the start-up allowance.
  Status announce() {
    ProcSys& processes = ports_.processes;
    VOR_ASSIGN_OR_RETURN(auto instance, ports_.state.new_uuid());
    const std::uint32_t pid = processes.current_process_id();
    VOR_ASSIGN_OR_RETURN(auto created, process_creation_time(processes, pid));
    held_.owner = Owner{kOwnerProtocol, std::move(instance), pid, created, command_.session_id, user_sid_};
    VOR_ASSIGN_OR_RETURN(held_.pipe, ports_.pipes.create(held_.owner, true));
    VOR_ASSIGN_OR_RETURN(held_.ledger, read_fullscreen_ledger(ports_.state.fs, *held_.root));
    StateOwnerFiles files(ports_.state.fs);
    VOR_RETURN_IF_ERROR(write_session_owner(files, held_.root->path(), held_.owner));
    if (!lease_end_operation(*held_.lease)) {
      // A host that did not finish starting must not announce itself.
      (void)delete_session_owner(files, held_.root->path());
      return fail(coded(kSessionExpired, "start-up outlasted its allowance"));
    }
    return {};
  }

  bool lease_has_time() const { return idle_remaining_seconds(*held_.lease) > std::chrono::nanoseconds::zero(); }

  Result<CliDocument> serve() {
    bool retry_floor = false;  // the last pass failed
    bool maintained = false;   // the last round ran the maintenance pass
    for (;;) {
      auto scan = scan_image_expiry(ports_, *held_.root);
      if (!scan) return end_by_error(std::move(scan.error()));
      std::optional<std::chrono::nanoseconds> earliest;
      bool floor = retry_floor;
      if (!*scan) {
        // The gate is held: look again soon rather than sleep past an image.
        earliest = kHostMaintenanceRetryDelay;
      } else {
        earliest = **scan;
        // An image still reported due right after a pass that succeeded
        // could not be removed by it: wait as after a failure.
        if (maintained && earliest && *earliest == std::chrono::nanoseconds::zero()) floor = true;
      }
      maintained = false;
      const auto wait = host_wait_time(idle_remaining_seconds(*held_.lease), earliest, floor);

      auto connected = held_.pipe->wait_for_client(wait);
      if (!connected) {
        if (connected.error() == kErrorNoData) {
          // The client closed its end before the connect: it is gone.
          held_.pipe->disconnect();
          continue;
        }
        if (connected.error() != kErrorPipeConnected) {
          return end_by_error(coded_os(kPipeUnavailable, connected.error()));
        }
      } else if (!*connected) {
        if (!lease_has_time()) return end_normally();
        retry_floor = !open_state_store(ports_.state, ports_.processes, *held_.root, false);
        maintained = true;
        continue;
      }

      HostSession session{command_.session_id, command_.state_dir, *held_.lease, held_.ledger, ports_.broker};
      if (serve_client(session) == ClientEnd::kLeaseGone) return end_normally();

      std::unique_ptr<HostPipe> next;
      if (!session.end_after_client) {
        auto created = ports_.pipes.create(held_.owner, false);
        if (!created) return end_by_error(std::move(created.error()));
        next = std::move(*created);
      }
      held_.pipe->disconnect();
      held_.pipe = std::move(next);
      if (!held_.pipe) return end_normally();
    }
  }

  // One exchange: Rpc, Reply, Ack. A client that sends no valid Rpc gets no
  // Reply; nothing a client does ends the host, but a result that reports a
  // state write or protection failure ends it after the Reply.
  ClientEnd serve_client(HostSession& session) {
    HostPipe& pipe = *held_.pipe;
    auto body = pipe.read_frame(kRpcMaxBytes, kHostExchangeStepLimit);
    if (!body) return ClientEnd::kServed;
    auto rpc = decode_rpc(*body);
    if (!rpc || rpc->protocol != kRpcProtocol || !is_operation_identifier(rpc->request_id)) return ClientEnd::kServed;
    if (!lease_has_time()) return ClientEnd::kLeaseGone;

    CliDocument result;
    if (auto allowed = authenticate_pipe_client(pipe.peer(), held_.owner, rpc->peer_query_handle,
                                                ports_.abort_impersonation);
        !allowed) {
      result = authentication_failure_document(allowed.error());
    } else {
      result = dispatch_session_action(session, rpc->action);
    }
    if (result_ends_host(result)) session.end_after_client = true;

    const std::string reply = encode_reply(Reply{kRpcProtocol, rpc->request_id, std::move(result)});
    // A client that does not take its Reply gets no wait for its Ack either.
    if (!pipe.write_frame(reply, kReplyMaxBytes, kHostExchangeStepLimit)) return ClientEnd::kServed;
    if (auto ack = pipe.read_frame(kAckMaxBytes, kHostExchangeStepLimit)) (void)decode_ack(*ack);
    return ClientEnd::kServed;
  }

  // After `close`, a state failure in a result, or the lease running out:
  // every image goes, then the record; the first failure is returned, and
  // a failed pass does not keep the record from being deleted.
  Result<CliDocument> end_normally() {
    held_.ledger.clear();
    Status first = open_state_store(ports_.state, ports_.processes, *held_.root, true);
    StateOwnerFiles files(ports_.state.fs);
    Status deleted = delete_session_owner(files, held_.root->path());
    if (first && !deleted) first = std::move(deleted);
    CliDocument closed = session_closed_document(command_.session_id);
    held_.release();
    if (!first) return fail(std::move(first.error()));
    return closed;
  }

  // After start-up's first pass: release, remove every image (a failure of
  // that pass is not reported), return the error. The record stays; clients
  // see that its process has ended.
  Result<CliDocument> end_by_error(Error error) {
    held_.release();
    (void)open_state_store(ports_.state, ports_.processes, *held_.root, true);
    return fail(std::move(error));
  }

  HostPorts& ports_;
  const cmd::SessionHost& command_;
  HostState held_;
  std::string user_sid_;
};

}  // namespace

std::chrono::nanoseconds host_wait_time(std::chrono::nanoseconds lease_remaining,
                                        std::optional<std::chrono::nanoseconds> earliest_image_expiry,
                                        bool maintenance_failed) {
  std::chrono::nanoseconds wait = lease_remaining;
  if (earliest_image_expiry) wait = std::min(wait, *earliest_image_expiry);
  if (maintenance_failed) {
    wait = std::min<std::chrono::nanoseconds>(lease_remaining, std::max<std::chrono::nanoseconds>(wait, kHostMaintenanceRetryDelay));
  }
  return std::max(wait, std::chrono::nanoseconds::zero());
}

Result<CliDocument> run_session_host(HostPorts& ports, const cmd::SessionHost& command) {
  return SessionHost(ports, command).run();
}

}  // namespace vor::desktop
