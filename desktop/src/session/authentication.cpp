#include "session/authentication.h"

#include <utility>


namespace vor::desktop {
namespace {

constexpr std::uint64_t kInvalidHandleValue = ~std::uint64_t{0};
constexpr std::u16string_view kVerbatimPrefix = u"\\\\?\\";

Error not_authorized(std::string detail) { return Error(std::move(detail)).context(std::string(kPeerNotAuthorized)); }

// The image path of an open process of either port, as its query returned it.
template <class Process>
Result<std::u16string> image_of(Process& process) {
  auto path = process.image_path();
  if (!path) return fail(win32_failure(path.error(), kPeerImageUnavailable));
  return std::move(*path);
}

Result<std::u16string> image_of_process(PeerAuthSys& sys, std::uint32_t pid) {
  auto process = sys.open_process(pid);
  if (!process) return fail(win32_failure(process.error(), kProcessUnavailable));
  return image_of(**process);  // the handle closes when `process` goes
}

Result<std::u16string> image_of_process(ProcSys& processes, std::uint32_t pid) {
  auto process = processes.open(pid, ProcSys::Access::kQuery);
  if (!process) return fail(win32_failure(process.error(), kProcessUnavailable));
  return image_of(**process);
}

template <class Sys>
Status same_image_as_own(Sys& sys, std::uint32_t pid) {
  VOR_ASSIGN_OR_RETURN(const auto peer, image_of_process(sys, pid));
  VOR_ASSIGN_OR_RETURN(const auto own, image_of_process(sys, sys.current_process_id()));
  return require_same_image(peer, own);
}

}  // namespace

Result<ScopedImpersonation> ScopedImpersonation::begin(PeerAuthSys& sys, ImpersonationAbort abort) {
  if (auto started = sys.impersonate_client(); !started) {
    return fail(win32_failure(started.error(), kPeerNotAuthorized));
  }
  return ScopedImpersonation(sys, std::move(abort));
}

ScopedImpersonation::ScopedImpersonation(ScopedImpersonation&& other) noexcept
    : sys_(other.sys_), abort_(std::move(other.abort_)), active_(std::exchange(other.active_, false)) {}

ScopedImpersonation::~ScopedImpersonation() { (void)revert(); }

bool ScopedImpersonation::revert() {
  if (!active_) return true;
  active_ = false;
  if (sys_->revert_to_self()) return true;
  abort_();
  return false;
}

PeerRoute decide_peer_route(const Owner& owner, std::string_view client_sid, std::uint32_t client_session,
                            std::optional<std::uint64_t> handle) {
  if (client_sid == owner.user_sid && client_session == owner.session_id && !handle) {
    return PeerRoute::kSameUserImage;
  }
  // Everything else, the host's own user sending a handle included, must be
  // LocalSystem in session 0.
  if (client_sid != kLocalSystemSid || client_session != 0) return PeerRoute::kRefused;
  return handle ? PeerRoute::kSystemHandle : PeerRoute::kSystemImage;
}

std::u16string_view strip_verbatim_prefix(std::u16string_view path) {
  if (path.starts_with(kVerbatimPrefix)) path.remove_prefix(kVerbatimPrefix.size());
  return path;
}

Result<std::u16string> own_image_path(PeerAuthSys& sys) {
  VOR_ASSIGN_OR_RETURN(const auto own, image_of_process(sys, sys.current_process_id()));
  return std::u16string(strip_verbatim_prefix(own));
}

Status require_same_image(std::u16string_view peer, std::u16string_view own) {
  if (strip_verbatim_prefix(peer) != strip_verbatim_prefix(own)) {
    return fail(not_authorized("the peer runs another executable"));
  }
  return {};
}

Status check_peer_same_image(PeerAuthSys& sys, std::uint32_t pid) { return same_image_as_own(sys, pid); }

Status check_peer_same_image(ProcSys& processes, std::uint32_t pid) { return same_image_as_own(processes, pid); }

Status check_granted_handle(PeerAuthSys& sys, std::uint64_t handle, std::uint32_t client_pid) {
  if (handle == 0 || handle == kInvalidHandleValue) return fail(not_authorized("the granted handle is not a handle"));
  auto granted = sys.duplicate_granted(handle);
  if (!granted) return fail(win32_failure(granted.error(), kPeerQueryGrantInvalid));
  PeerAuthSys::Process& process = **granted;
  auto exit_code = process.exit_code();
  if (!exit_code) return fail(win32_failure(exit_code.error(), kPeerQueryGrantInvalid));
  if (process.process_id() != client_pid) return fail(not_authorized("the granted handle names another process"));
  if (*exit_code != kStillActive) return fail(not_authorized("the granted process has exited"));
  VOR_ASSIGN_OR_RETURN(const auto peer, image_of(process));
  VOR_ASSIGN_OR_RETURN(const auto own, image_of_process(sys, sys.current_process_id()));
  return require_same_image(peer, own);  // the duplicate closes here; the granted handle stays for its owner
}

Status authenticate_pipe_client(PeerAuthSys& sys, const Owner& owner, std::optional<std::uint64_t> peer_query_handle,
                                const ImpersonationAbort& abort) {
  auto pid = sys.client_process_id();
  if (!pid) return fail(win32_failure(pid.error(), kPeerUnavailable));
  auto session = sys.client_session_id();
  if (!session) return fail(win32_failure(session.error(), kPeerSessionUnavailable));

  Result<std::string> sid = fail(std::string(kPeerNotAuthorized));
  {
    auto impersonation = ScopedImpersonation::begin(sys, abort);
    if (!impersonation) return fail(std::move(impersonation.error()));
    auto token = sys.open_thread_token();
    if (!token) {
      if (!impersonation->revert()) return fail(not_authorized("impersonation could not be reverted"));
      return fail(win32_failure(token.error(), kPeerNotAuthorized));
    }
    sid = (*token)->user_sid();
    token->reset();
    if (!impersonation->revert()) return fail(not_authorized("impersonation could not be reverted"));
  }
  if (!sid) return fail(std::move(sid.error()));

  switch (decide_peer_route(owner, *sid, *session, peer_query_handle)) {
    case PeerRoute::kSameUserImage:
    case PeerRoute::kSystemImage:
      return check_peer_same_image(sys, *pid);
    case PeerRoute::kSystemHandle:
      return check_granted_handle(sys, *peer_query_handle, *pid);
    case PeerRoute::kRefused:
      break;
  }
  return fail(not_authorized("the client is neither the host's user in its session nor LocalSystem in session 0"));
}

}  // namespace vor::desktop
