#include "session/owner_pipe_win32.h"

#include <sddl.h>

#include "common/text.h"
#include "native/win32_result.h"

namespace vor::desktop {

Result<UniqueFile> create_session_pipe_handle(const Owner& owner, bool first) {
  auto sddl = to_wide(session_pipe_sddl(owner.user_sid));
  if (!sddl) return fail(win32_failure(ERROR_INVALID_PARAMETER, kPipeAclFailed));
  PSECURITY_DESCRIPTOR raw = nullptr;
  if (!::ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl->c_str(), SDDL_REVISION_1, &raw, nullptr)) {
    return fail(win32_failure(::GetLastError(), kPipeAclFailed));
  }
  const UniqueLocal descriptor(raw);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor.get(), FALSE};

  auto name = session_pipe_name(owner);
  if (!name) return fail(std::move(name.error()));
  auto wide_name = to_wide(*name);
  if (!wide_name) return fail(win32_failure(ERROR_INVALID_NAME, kPipeUnavailable));

  DWORD open_mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
  if (first) open_mode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
  constexpr DWORD kPipeMode = PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;
  UniqueFile pipe(::CreateNamedPipeW(wide_name->c_str(), open_mode, kPipeMode, kSessionPipeMaxInstances,
                                     kSessionPipeBufferBytes, kSessionPipeBufferBytes, 0, &attributes));
  if (!pipe) return fail(win32_failure(::GetLastError(), kPipeUnavailable));
  return pipe;
}

Result<asio::windows::stream_handle> create_session_pipe(asio::io_context& io, const Owner& owner, bool first) {
  auto pipe = create_session_pipe_handle(owner, first);
  if (!pipe) return fail(std::move(pipe.error()));
  asio::windows::stream_handle stream(io);
  std::error_code ec;
  stream.assign(pipe->get(), ec);
  if (ec) return fail(win32_failure(static_cast<std::uint32_t>(ec.value()), kPipeUnavailable));
  pipe->release();
  return stream;
}

}  // namespace vor::desktop
