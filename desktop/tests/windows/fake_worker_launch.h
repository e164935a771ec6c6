// A scripted fake of one worker launch (with its fake frame pipe), for the
// launch, readiness and probe rules. Each case sets the facts it needs and, for a
// failing step, the Win32 number that step returns; `calls` records the
// order of the calls.
#pragma once

#include <deque>
#include <memory>
#include <map>
#include <string>
#include <vector>

#include "support/fake_frame_pipe.h"
#include "windows/worker_launch.h"

namespace vor::desktop::testing {

// Also the broker's process port: its own id, sessions and user SIDs.
class FakeWorkerLaunch final : public WorkerLaunchSys, public ProcSys {
 public:
  // Facts.
  std::uint32_t broker_pid = 500;
  std::map<std::uint32_t, std::uint32_t> sessions_of{{500, 1}, {700, 1}};  // process -> session
  std::map<std::uint32_t, std::string> sids{{500, "S-1-5-21-1"}};
  std::vector<WindowsSession> sessions{{0, true}, {1, true}};
  bool in_job = false;
  std::vector<std::uint32_t> group_attributes{0x7, 0xC0000007};
  std::string logon_sid = "S-1-5-5-0-9";
  std::size_t list_size = 48;
  std::uint32_t worker_pid = 700;
  // How the pipe's connection completes (nullopt: it never does) and how many
  // polls see it still pending first.
  std::optional<ConnectResult> connect = ConnectResult{ConnectOutcome::kConnected};
  int pending_polls = 0;
  int polls = 0;
  bool running = true;
  // When set: the worker is seen running this many times, then ended.
  std::optional<int> running_checks;
  std::uint32_t client_pid = 700;
  FakeFramePipe frames;

  // A step (by its call name) that fails with this Win32 number.
  std::string failing;
  std::uint32_t failing_error = 5;

  // Observations, kept beyond the fake's life (start_worker drops it on failure).
  struct Seen {
    std::vector<std::string> calls;
    std::string sddl, pipe_name, application, command_line, desktop;
    std::uint32_t creation_flags = 0;
    bool created_as_user = false;
    JobLimits limits{};
    bool destroyed = false;
  };
  std::shared_ptr<Seen> seen = std::make_shared<Seen>();
  std::vector<std::string>& calls = seen->calls;

  ~FakeWorkerLaunch() override { seen->destroyed = true; }

  // ProcSys
  std::uint32_t current_process_id() override { return broker_pid; }
  Win32<std::uint32_t> process_session_id(std::uint32_t pid) override {
    calls.push_back("process_session_id");
    if (failing == "process_session_id") return win32_error(failing_error);
    return sessions_of.at(pid);
  }
  class Proc final : public Process {
   public:
    Proc(FakeWorkerLaunch& owner, std::uint32_t pid) : owner_(owner), pid_(pid) {}
    Win32<std::uint64_t> creation_time() override { return 1u; }
    Win32<bool> has_exited() override { return false; }
    Win32<std::u16string> image_path() override { return u"C:\\Vor\\Vor.Marionet.exe"; }
    Result<std::string> user_sid() override {
      owner_.calls.push_back("process_user_sid");
      if (owner_.failing == "process_user_sid") return fail(coded_os("DESKTOP_TOKEN_UNAVAILABLE", owner_.failing_error));
      return owner_.sids.at(pid_);
    }

   private:
    FakeWorkerLaunch& owner_;
    std::uint32_t pid_;
  };
  Win32<std::unique_ptr<Process>> open(std::uint32_t pid, Access) override {
    return std::unique_ptr<Process>(new Proc(*this, pid));
  }

  // WorkerLaunchSys
  Result<std::vector<WindowsSession>> enumerate_sessions() override {
    calls.push_back("enumerate_sessions");
    if (failing == "enumerate_sessions") return fail(coded_os("DESKTOP_SESSIONS_UNAVAILABLE", failing_error));
    return sessions;
  }
  Win32<bool> is_process_in_job() override { return step("is_process_in_job", in_job); }
  Result<std::string> module_path() override {
    calls.push_back("module_path");
    if (failing == "module_path") return fail(Error::os(failing_error, "GetModuleFileNameW failed"));
    return std::string("C:\\Vor\\Vor.Marionet.exe");
  }
  Win32<void> open_module_file(const std::string&) override { return step("open_module_file"); }
  Win32<void> open_own_token() override { return step("open_own_token"); }
  Win32<void> query_session_token(std::uint32_t) override { return step("query_session_token"); }
  Win32<void> create_environment_block() override { return step("create_environment_block"); }
  Win32<std::vector<std::uint32_t>> token_group_attributes() override {
    return step("token_group_attributes", group_attributes);
  }
  Result<std::string> token_group_sid(std::size_t) override {
    calls.push_back("token_group_sid");
    return logon_sid;
  }
  Win32<void> create_security_descriptor(const std::string& text) override {
    seen->sddl = text;
    return step("create_security_descriptor");
  }
  Win32<void> create_pipe(const std::string& name) override {
    seen->pipe_name = name;
    return step("create_pipe");
  }
  Win32<void> register_pipe() override { return step("register_pipe"); }
  Win32<void> create_job() override { return step("create_job"); }
  Win32<void> set_job_limits(const JobLimits& l) override {
    seen->limits = l;
    return step("set_job_limits");
  }
  std::size_t attribute_list_size() override {
    calls.push_back("attribute_list_size");
    return list_size;
  }
  Win32<void> initialize_attribute_list(std::size_t) override { return step("initialize_attribute_list"); }
  Win32<void> set_job_list_attribute() override { return step("set_job_list_attribute"); }
  Win32<std::uint32_t> create_process(const std::string& app, const std::string& cmd, std::uint32_t flags,
                                      std::string_view desk, bool as_user) override {
    seen->application = app;
    seen->command_line = cmd;
    seen->creation_flags = flags;
    seen->desktop = std::string(desk);
    seen->created_as_user = as_user;
    return step("create_process", worker_pid);
  }
  Win32<void> resume_thread() override { return step("resume_thread"); }
  void release_startup() override { calls.push_back("release_startup"); }
  void kill_worker() override { calls.push_back("kill_worker"); }

  void begin_connect() override { calls.push_back("begin_connect"); }
  std::optional<ConnectResult> poll_connect() override {
    if (++polls <= pending_polls) return std::nullopt;
    return connect;
  }
  void cancel_connect() override { calls.push_back("cancel_connect"); }
  Win32<bool> worker_running() override {
    if (running_checks) running = (*running_checks)-- > 0;
    return step("worker_running", running);
  }
  Win32<std::uint32_t> client_process_id() override { return step("client_process_id", client_pid); }
  FramePipe& pipe() override { return frames; }

 private:
  Win32<void> step(const char* name) {
    calls.push_back(name);
    if (failing == name) return win32_error(failing_error);
    return {};
  }
  template <class T>
  Win32<T> step(const char* name, T value) {
    calls.push_back(name);
    if (failing == name) return win32_error(failing_error);
    return value;
  }
};

}  // namespace vor::desktop::testing
