#include "session/client_fakes.h"

#include <cstdio>

namespace vor::desktop::testing {
namespace {

Error time_limit() { return Error::io(std::string(kPipeTimeLimitPassed)); }

class Frames final : public FramePipe {
 public:
  explicit Frames(FakeClientSys& sys) : sys_(sys) {}

  Status write_frame(std::string_view body, std::uint32_t max_bytes, std::chrono::milliseconds limit) override {
    sys_.limits.push_back(limit);
    if (body.empty() || body.size() > max_bytes) return fail("DESKTOP_FRAME_SIZE_INVALID");
    if (writes_++ == 0) {
      if (sys_.rpc_write_times_out) {
        sys_.clock().advance(limit);
        return fail(time_limit());
      }
      if (sys_.rpc_write_error) return fail(*sys_.rpc_write_error);
      sys_.rpc_bodies.emplace_back(body);
      auto rpc = decode_rpc(body);
      if (!rpc) return fail(std::move(rpc.error()));
      sys_.rpcs.push_back(*rpc);
      return {};
    }
    auto ack = decode_ack(body);
    if (!ack) return fail(std::move(ack.error()));
    sys_.acks.push_back(*ack);
    return {};
  }

  Result<std::string> read_frame(std::uint32_t max_bytes, std::chrono::milliseconds limit) override {
    sys_.limits.push_back(limit);
    ++sys_.replies_read;
    if (sys_.reply_delay > limit) {
      sys_.clock().advance(limit);
      return fail(time_limit());
    }
    sys_.clock().advance(sys_.reply_delay);
    const Rpc& rpc = sys_.rpcs.back();
    Result<std::string> body = sys_.answer ? sys_.answer(rpc)
                                           : encode_reply(Reply{1, rpc.request_id,
                                                                json::Object{{"code", "DESKTOP_SESSION_READY"},
                                                                             {"pid", std::uint64_t{sys_.server_pid}}}});
    if (body && (body->empty() || body->size() > max_bytes)) return fail("DESKTOP_FRAME_SIZE_INVALID");
    return body;
  }

 private:
  FakeClientSys& sys_;
  int writes_ = 0;
};

class FakePipe final : public SessionClientSys::Pipe {
 public:
  explicit FakePipe(FakeClientSys& sys) : sys_(sys), frames_(sys) { ++sys_.pipes_open; }
  ~FakePipe() override { --sys_.pipes_open; }
  Win32<std::uint32_t> server_process_id() override {
    if (sys_.server_pid_error) return win32_error(*sys_.server_pid_error);
    return sys_.server_pid;
  }
  FramePipe& frames() override { return frames_; }

 private:
  FakeClientSys& sys_;
  Frames frames_;
};

class FakeGrantTarget final : public SessionClientSys::GrantTarget {
 public:
  explicit FakeGrantTarget(FakeClientSys& sys) : sys_(sys) { ++sys_.grant_targets_open; }
  ~FakeGrantTarget() override { --sys_.grant_targets_open; }
  Win32<std::uint64_t> creation_time() override {
    if (sys_.grant_creation_error) return win32_error(*sys_.grant_creation_error);
    return sys_.grant_created;
  }
  Win32<std::u16string> image_path() override {
    if (sys_.grant_image_error) return win32_error(*sys_.grant_image_error);
    return sys_.grant_image;
  }
  Win32<std::uint64_t> duplicate_own_process_into() override {
    if (sys_.grant_duplicate_error) return win32_error(*sys_.grant_duplicate_error);
    ++sys_.granted;
    return sys_.granted_value;
  }
  Win32<void> close_remote(std::uint64_t value) override {
    sys_.closed_remote.push_back(value);
    sys_.replies_read_when_closed = sys_.replies_read;
    return {};
  }

 private:
  FakeClientSys& sys_;
};

class FakeChild final : public SessionClientSys::Child {
 public:
  FakeChild(FakeClientSys& sys, std::chrono::nanoseconds started) : sys_(sys), started_(started) {
    ++sys_.child_handles_open;
  }
  ~FakeChild() override { --sys_.child_handles_open; }
  std::uint32_t process_id() override { return sys_.child_pid; }
  bool running() override {
    if (sys_.child_terminated_with) return false;
    return !sys_.child_lives_for || sys_.clock().elapsed() - started_ < *sys_.child_lives_for;
  }
  void terminate_and_wait(std::uint32_t exit_code, std::chrono::milliseconds wait) override {
    sys_.child_terminated_with = exit_code;
    sys_.child_wait = wait;
  }

 private:
  FakeClientSys& sys_;
  std::chrono::nanoseconds started_;
};

}  // namespace

Win32<std::unique_ptr<SessionClientSys::Pipe>> FakeClientSys::open_pipe(const std::string&) {
  ++opens;
  if (open_error) return win32_error(*open_error);
  if (clock_.elapsed() < busy_for) return win32_error(busy_error);
  return std::unique_ptr<Pipe>(new FakePipe(*this));
}

Win32<std::unique_ptr<SessionClientSys::GrantTarget>> FakeClientSys::open_grant_target(std::uint32_t) {
  if (grant_open_error) return win32_error(*grant_open_error);
  return std::unique_ptr<GrantTarget>(new FakeGrantTarget(*this));
}

Win32<std::unique_ptr<SessionClientSys::Child>> FakeClientSys::create_host_process(const std::string& application,
                                                                                   const std::string& command_line) {
  applications.push_back(application);
  command_lines.push_back(command_line);
  if (create_error) return win32_error(*create_error);
  if (on_start) on_start();
  return std::unique_ptr<Child>(new FakeChild(*this, clock_.elapsed()));
}

Result<std::string> FakeClientSys::new_request_id() {
  char id[33];
  std::snprintf(id, sizeof id, "%032x", ++next_request_);
  return std::string(id);
}

}  // namespace vor::desktop::testing
