#include "session/host_pipe_win32.h"

#include <windows.h>

#include <optional>

#include "session/authentication_win32.h"
#include "session/owner_pipe_win32.h"

namespace vor::desktop {
namespace {

class Win32HostPipe final : public HostPipe {
 public:
  Win32HostPipe(asio::io_context& io, asio::windows::stream_handle stream)
      : io_(io), frames_(io, std::move(stream)), peer_(make_win32_peer_auth_sys(frames_.stream().native_handle())) {}

  Win32<bool> wait_for_client(std::chrono::nanoseconds limit) override {
    auto& stream = frames_.stream();
    std::optional<std::error_code> connect_result;
    bool timer_fired = false;
    asio::steady_timer timer(io_, limit);
    timer.async_wait([&](const std::error_code& ec) {
      if (ec || connect_result) return;
      timer_fired = true;
      std::error_code ignored;
      stream.cancel(ignored);
    });
    asio::windows::overlapped_ptr overlapped(io_, [&](const std::error_code& ec, std::size_t) {
      connect_result = ec;
      timer.cancel();
    });
    const BOOL ok = ::ConnectNamedPipe(stream.native_handle(), overlapped.get());
    const DWORD error = ::GetLastError();
    if (!ok && error != ERROR_IO_PENDING) {
      // Completed at once (ERROR_PIPE_CONNECTED, ERROR_NO_DATA, a failure):
      // no completion packet comes, so the handler runs through the context.
      overlapped.complete(std::error_code(static_cast<int>(error), asio::error::get_system_category()), 0);
    } else {
      overlapped.release();
    }
    io_.restart();
    io_.run();
    // The connect's own outcome wins over the timer unless the timer's
    // cancel is what ended it (a client already connected, or gone, is
    // reported even when the timer fired in the same turn).
    if (connect_result) {
      if (!*connect_result) return true;
      if (!timer_fired || *connect_result != asio::error::operation_aborted) {
        return win32_error(static_cast<std::uint32_t>(connect_result->value()));
      }
    }
    if (timer_fired) return false;
    return win32_error(ERROR_GEN_FAILURE);
  }

  Result<std::string> read_frame(std::uint32_t max_bytes, std::chrono::milliseconds limit) override {
    return frames_.read_frame(max_bytes, limit);
  }
  Status write_frame(std::string_view body, std::uint32_t max_bytes, std::chrono::milliseconds limit) override {
    return frames_.write_frame(body, max_bytes, limit);
  }
  PeerAuthSys& peer() override { return *peer_; }
  void disconnect() override { ::DisconnectNamedPipe(frames_.stream().native_handle()); }

 private:
  asio::io_context& io_;
  AsioFramePipe<asio::windows::stream_handle> frames_;
  std::unique_ptr<PeerAuthSys> peer_;
};

}  // namespace

Result<std::unique_ptr<HostPipe>> Win32HostPipes::create(const Owner& owner, bool first) {
  auto stream = create_session_pipe(io_, owner, first);
  if (!stream) return fail(std::move(stream.error()));
  return std::unique_ptr<HostPipe>(std::make_unique<Win32HostPipe>(io_, std::move(*stream)));
}

}  // namespace vor::desktop
