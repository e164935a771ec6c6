// A scripted session host as the session client meets it: the pipe (busy
// for a while, then served), the server's answer and its timing on the fake
// clock, the host process opened for a query grant, and the host process
// that `session-start` creates. Every frame the client writes is recorded.
//
//   FakeDesktop desk;  FakeClientSys sys(desk.clock);
//   sys.busy_for = 3s;                       // every open fails with ERROR_PIPE_BUSY meanwhile
//   sys.reply_delay = 26s;                   // the Reply comes after the client's limit
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "protocol/messages.h"
#include "session/client.h"
#include "support/fake_clock.h"

namespace vor::desktop::testing {

inline constexpr std::uint32_t kHostPid = 100;

class FakeClientSys final : public SessionClientSys {
 public:
  explicit FakeClientSys(FakeClock& clock) : clock_(clock) {}

  // --- the pipe ---
  std::chrono::milliseconds busy_for{0};  // opens fail with `busy_error` until then
  std::uint32_t busy_error = kErrorPipeBusy;
  std::optional<std::uint32_t> open_error;  // every open fails with this
  std::uint32_t server_pid = kHostPid;
  std::optional<std::uint32_t> server_pid_error;
  // The host's answer to an Rpc: by default a Reply with the Rpc's id and
  // result {"code":"DESKTOP_SESSION_READY","pid":<server pid>}.
  std::function<Result<std::string>(const Rpc&)> answer;
  std::chrono::milliseconds reply_delay{0};
  bool rpc_write_times_out = false;
  std::optional<Error> rpc_write_error;
  int opens = 0;
  int pipes_open = 0;
  std::vector<std::string> rpc_bodies;  // as written
  std::vector<Rpc> rpcs;
  std::vector<Ack> acks;
  std::vector<std::chrono::milliseconds> limits;  // of every write and read, in order

  // --- the grant ---
  std::optional<std::uint32_t> grant_open_error, grant_creation_error, grant_image_error, grant_duplicate_error;
  std::uint64_t grant_created = 0;
  std::u16string grant_image;
  std::uint64_t granted_value = 0x7A4;
  int grant_targets_open = 0;
  int granted = 0;
  std::vector<std::uint64_t> closed_remote;
  // Set when the grant was closed: how many Reply reads had happened then.
  std::optional<int> replies_read_when_closed;

  // --- the started host ---
  std::string module = "C:\\Program Files\\Vor\\Vor.Marionet.exe";
  std::optional<std::uint32_t> create_error;
  std::uint32_t child_pid = 300;
  std::optional<std::chrono::milliseconds> child_lives_for;  // for ever when absent
  std::function<void()> on_start;  // runs when the host process is created
  std::vector<std::string> applications, command_lines;
  std::optional<std::uint32_t> child_terminated_with;
  std::chrono::milliseconds child_wait{0};
  int child_handles_open = 0;

  int replies_read = 0;

  Win32<std::unique_ptr<Pipe>> open_pipe(const std::string& name) override;
  Win32<std::unique_ptr<GrantTarget>> open_grant_target(std::uint32_t process_id) override;
  Result<std::string> module_path() override { return module; }
  Win32<std::unique_ptr<Child>> create_host_process(const std::string& application,
                                                    const std::string& command_line) override;
  Result<std::string> new_request_id() override;

  FakeClock& clock() { return clock_; }

 private:
  FakeClock& clock_;
  int next_request_ = 0;
};

}  // namespace vor::desktop::testing
