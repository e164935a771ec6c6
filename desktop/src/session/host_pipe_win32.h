// The session host's pipe instances on Win32: overlapped named pipe server
// instances registered with the host's single asio I/O context, the connect
// raced against a timer, frames with their time limits, and the client as
// the authentication sees it.
//
//   asio::io_context io;
//   Win32HostPipes pipes(io);
//   auto first = pipes.create(owner, /*first=*/true);
#pragma once

#include <asio.hpp>

#include "session/host.h"

namespace vor::desktop {

class Win32HostPipes final : public HostPipeFactory {
 public:
  explicit Win32HostPipes(asio::io_context& io) : io_(io) {}
  Result<std::unique_ptr<HostPipe>> create(const Owner& owner, bool first) override;

 private:
  asio::io_context& io_;
};

}  // namespace vor::desktop
