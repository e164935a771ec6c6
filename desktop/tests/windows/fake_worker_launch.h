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
  std::uint32_t application_pid = 900;
  // How the pipe's connection completes (nullopt: it never does) and how many
  // polls see it still pending first.
  std::optional<ConnectResult> connect = ConnectResult{ConnectOutcome::kConnected};
  int pending_polls = 0;
  int polls = 0;
  bool running = true;
  // When set: the worker is seen running this many times, then ended.
  std::optional<int> running_checks;
  // When set: the worker runs until this many frames were read from it.
  std::optional<int> ends_after_reads;
  std::uint32_t client_pid = 700;
  FakeFramePipe frames;

  // A step (by its call name) that fails with this Win32 number.
  std::string failing;
  std::uint32_t failing_error = 5;

  // Observations, kept beyond the fake's life (start_worker drops it on failure).
  struct Seen {
    std::vector<std::string> calls;
    std::string sddl, pipe_name, application, command_line, desktop;
    std::string started_application, started_command_line;  // the application started for `launch`
    bool started_as_user = false;
    std::uint32_t creation_flags = 0;
    bool created_as_user = false;
    JobLimits limits{};
    bool destroyed = false;
    int live_owners = 0;  // owners handed out and not yet released
    std::vector<std::string> written;  // the frames written to the worker, once the launch is released
  };
  std::shared_ptr<Seen> seen = std::make_shared<Seen>();
  std::vector<std::string>& calls = seen->calls;

  ~FakeWorkerLaunch() override {
    seen->destroyed = true;
    seen->written = frames.written;
  }

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

  // The owners the launch hands out; each records its calls here and counts
  // itself in `seen->live_owners` while it exists.
  class Owner {
   public:
    explicit Owner(FakeWorkerLaunch& launch) : launch_(launch), seen_(launch.seen) { ++seen_->live_owners; }
    virtual ~Owner() { --seen_->live_owners; }

   protected:
    FakeWorkerLaunch& launch_;
    std::shared_ptr<Seen> seen_;
  };
  class Token final : public LaunchToken, Owner {
   public:
    using Owner::Owner;
    Win32<void> create_environment_block() override { return launch_.step("create_environment_block"); }
    Win32<std::vector<TokenGroup>> groups() override {
      auto attributes = launch_.step("token_group_attributes", launch_.group_attributes);
      if (!attributes) return win32_error(attributes.error());
      std::vector<TokenGroup> out;
      for (std::uint32_t a : *attributes) out.push_back({a, launch_.logon_sid});
      return out;
    }
    Win32<std::uint32_t> start_application(const std::string& app, const std::string& cmd, bool as_user) override {
      launch_.seen->started_application = app;
      launch_.seen->started_command_line = cmd;
      launch_.seen->started_as_user = as_user;
      return launch_.step("start_application", launch_.application_pid);
    }
  };
  class Security final : public PipeSecurity, Owner {
   public:
    using Owner::Owner;
  };
  class Server final : public PipeServer, Owner {
   public:
    using Owner::Owner;
    Win32<void> register_io() override { return launch_.step("register_pipe"); }
    void begin_connect() override { launch_.calls.push_back("begin_connect"); }
    std::optional<ConnectResult> poll_connect() override {
      if (++launch_.polls <= launch_.pending_polls) return std::nullopt;
      return launch_.connect;
    }
    void cancel_connect() override { launch_.calls.push_back("cancel_connect"); }
    Win32<std::uint32_t> client_process_id() override { return launch_.step("client_process_id", launch_.client_pid); }
    FramePipe& frames() override { return launch_.frames; }
  };
  class Job final : public WorkerJob, Owner {
   public:
    using Owner::Owner;
    Win32<void> set_limits(const JobLimits& l) override {
      seen_->limits = l;
      return launch_.step("set_job_limits");
    }
    void terminate() override { launch_.calls.push_back("terminate_job"); }
  };
  class Attributes final : public StartupAttributes, Owner {
   public:
    using Owner::Owner;
    ~Attributes() override { seen_->calls.push_back("release_startup"); }
    Win32<void> set_job(WorkerJob&) override { return launch_.step("set_job_list_attribute"); }
  };
  class Worker final : public WorkerProcess, Owner {
   public:
    using Owner::Owner;
    std::uint32_t process_id() override { return launch_.worker_pid; }
    Win32<void> resume() override { return launch_.step("resume_thread"); }
    Win32<bool> running() override {
      if (launch_.running_checks) launch_.running = (*launch_.running_checks)-- > 0;
      if (launch_.ends_after_reads) launch_.running = launch_.frames.reads_done < *launch_.ends_after_reads;
      return launch_.step("worker_running", launch_.running);
    }
    void terminate_and_wait() override { launch_.calls.push_back("terminate_process"); }
  };

  Win32<std::unique_ptr<LaunchToken>> open_own_token() override { return made<LaunchToken, Token>("open_own_token"); }
  Win32<std::unique_ptr<LaunchToken>> query_session_token(std::uint32_t) override {
    return made<LaunchToken, Token>("query_session_token");
  }
  Win32<std::unique_ptr<PipeSecurity>> create_security_descriptor(const std::string& text) override {
    seen->sddl = text;
    return made<PipeSecurity, Security>("create_security_descriptor");
  }
  Win32<std::unique_ptr<PipeServer>> create_pipe(const std::string& name, PipeSecurity&) override {
    seen->pipe_name = name;
    return made<PipeServer, Server>("create_pipe");
  }
  Win32<std::unique_ptr<WorkerJob>> create_job() override { return made<WorkerJob, Job>("create_job"); }
  std::size_t attribute_list_size() override {
    calls.push_back("attribute_list_size");
    return list_size;
  }
  Win32<std::unique_ptr<StartupAttributes>> initialize_attribute_list(std::size_t) override {
    return made<StartupAttributes, Attributes>("initialize_attribute_list");
  }
  Win32<std::unique_ptr<WorkerProcess>> create_process(const std::string& app, const std::string& cmd, std::uint32_t flags,
                                                       std::string_view desk, LaunchToken&, bool as_user,
                                                       StartupAttributes&) override {
    seen->application = app;
    seen->command_line = cmd;
    seen->creation_flags = flags;
    seen->desktop = std::string(desk);
    seen->created_as_user = as_user;
    return made<WorkerProcess, Worker>("create_process");
  }

  // A worker that start_worker would have returned (pid 700), over this fake.
  static WorkerHandle started(std::unique_ptr<FakeWorkerLaunch> fake, bool same_session = true) {
    FakeWorkerLaunch& f = *fake;
    return WorkerHandle{std::move(fake),
                        std::make_unique<Token>(f),
                        std::make_unique<Job>(f),
                        std::make_unique<Server>(f),
                        std::make_unique<Worker>(f),
                        f.worker_pid,
                        same_session};
  }

 private:
  template <class Port, class Fake>
  Win32<std::unique_ptr<Port>> made(const char* name) {
    if (auto ok = step(name); !ok) return win32_error(ok.error());
    return std::unique_ptr<Port>(std::make_unique<Fake>(*this));
  }
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
