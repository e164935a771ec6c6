// Scripted fakes of the service manager, the ticker, the child runner and
// the child launcher. The fake SCM records every call with the Win32 error it
// answered ("open VorKernoAgent 0x24 -> 0"); services change state only as
// each case scripts them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <optional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "installer/child_process.h"
#include "installer/scm.h"
#include "installer/ticker.h"

namespace vor::setup::testing {

inline std::string hex32(std::uint32_t v) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  do {
    out.insert(out.begin(), kDigits[v & 0xF]);
    v >>= 4;
  } while (v != 0);
  return "0x" + out;
}

struct FakeService {
  ServiceStatus status{0x10, kStateStopped, 0, 0, 0, 0, 0};
  // A stop or start request moves to its pending state, which settles after
  // this many further status queries (never when negative).
  int stop_queries = 1;
  int start_queries = 1;
  bool checkpoint_moves = false;  // every query while pending raises the checkpoint
  std::optional<std::uint32_t> start_error;
  // What was written to it.
  ServiceConfigChange config{0x10, 2, 1, std::nullopt, std::nullopt, std::nullopt};
  std::optional<std::vector<std::uint16_t>> description;
  std::optional<bool> delayed;
  std::optional<std::uint32_t> sid_type;
  std::optional<FailureActionsChange> failure_actions;
  std::optional<bool> failure_actions_flag;
  int stop_controls = 0;

  // internal
  int pending_left = 0;
  std::uint32_t pending_target = 0;
};

class FakeScm final : public Scm {
 public:
  std::map<std::string, FakeService> services;
  std::map<std::string, std::uint32_t> failures;  // "query VorKernoAgent" -> Win32 error, "connect" too
  std::vector<std::string> calls;                 // "op name -> error"
  std::function<void(FakeScm&, const std::string&)> on_call;  // ("op name") before it acts

  // The calls without their results, and only those whose text contains `filter`.
  std::vector<std::string> ops(const std::string& filter = "") const {
    std::vector<std::string> out;
    for (const auto& c : calls) {
      if (c.find(filter) != std::string::npos) out.push_back(c.substr(0, c.find(" -> ")));
    }
    return out;
  }

  Result<std::unique_ptr<ScmConnection>> connect() override {
    if (auto e = answer("connect")) return fail(Error::os(*e));
    return std::unique_ptr<ScmConnection>(std::make_unique<Connection>(*this));
  }

 private:
  std::optional<std::uint32_t> answer(const std::string& op, std::optional<std::uint32_t> natural = std::nullopt) {
    if (on_call) on_call(*this, op);
    std::optional<std::uint32_t> e = natural;
    if (auto it = failures.find(op); it != failures.end()) e = it->second;
    calls.push_back(op + " -> " + std::to_string(e.value_or(0)));
    return e;
  }

  class Service final : public ServiceHandle {
   public:
    Service(FakeScm& scm, std::string name) : scm_(scm), name_(std::move(name)) {}
    Result<ServiceStatus> query_status() override {
      if (auto e = scm_.answer("query " + name_, gone())) return fail(Error::os(*e));
      FakeService& s = svc();
      if (s.pending_left > 0 && --s.pending_left == 0) {
        s.status.current_state = s.pending_target;
      } else if (s.checkpoint_moves && is_pending(s.status.current_state)) {
        ++s.status.check_point;
      }
      return s.status;
    }
    Result<ServiceStatus> control_stop() override {
      if (auto e = scm_.answer("stop " + name_, gone())) return fail(Error::os(*e));
      FakeService& s = svc();
      ++s.stop_controls;
      s.status.current_state = kStateStopPending;
      settle(s, s.stop_queries, kStateStopped);
      return s.status;
    }
    Status change_config(const ServiceConfigChange& change) override {
      return record("config", [&](FakeService& s) {
        // Numbers other than "no change" and the texts that are given replace the current ones.
        if (change.service_type != kServiceNoChange) s.config.service_type = change.service_type;
        if (change.start_type != kServiceNoChange) s.config.start_type = change.start_type;
        if (change.error_control != kServiceNoChange) s.config.error_control = change.error_control;
        if (change.binary_path) s.config.binary_path = change.binary_path;
        if (change.dependencies) s.config.dependencies = change.dependencies;
        if (change.display_name) s.config.display_name = change.display_name;
      });
    }
    Status set_description(std::span<const std::uint16_t> d) override {
      return record("description", [&](FakeService& s) { s.description.emplace(d.begin(), d.end()); });
    }
    Status set_failure_actions(const FailureActionsChange& a) override {
      return record("failure_actions", [&](FakeService& s) { s.failure_actions = a; });
    }
    Status set_delayed_auto_start(bool d) override {
      return record("delayed", [&](FakeService& s) { s.delayed = d; });
    }
    Status set_failure_actions_flag(bool f) override {
      return record("failure_flag", [&](FakeService& s) { s.failure_actions_flag = f; });
    }
    Status set_sid_type(std::uint32_t t) override {
      return record("sid", [&](FakeService& s) { s.sid_type = t; });
    }
    Status start() override {
      std::optional<std::uint32_t> natural = gone();
      if (!natural && svc().start_error) natural = svc().start_error;
      if (!natural && svc().status.current_state != kStateStopped) natural = 1056;  // already running
      if (auto e = scm_.answer("start " + name_, natural)) return fail(Error::os(*e));
      FakeService& s = svc();
      s.status.current_state = kStateStartPending;
      settle(s, s.start_queries, kStateRunning);
      return {};
    }
    Status remove() override {
      if (auto e = scm_.answer("delete " + name_, gone())) return fail(Error::os(*e));
      scm_.services.erase(name_);
      return {};
    }

   private:
    static bool is_pending(std::uint32_t state) { return state == kStateStartPending || state == kStateStopPending; }
    static void settle(FakeService& s, int queries, std::uint32_t target) {
      s.pending_target = target;
      s.pending_left = queries < 0 ? -1 : queries + 1;
      if (queries == 0) s.status.current_state = target;
    }
    std::optional<std::uint32_t> gone() const {
      return scm_.services.count(name_) ? std::nullopt : std::optional<std::uint32_t>(1072);  // marked for delete
    }
    FakeService& svc() { return scm_.services.at(name_); }
    template <class F>
    Status record(const std::string& op, F apply) {
      if (auto e = scm_.answer(op + " " + name_, gone())) return fail(Error::os(*e));
      apply(svc());
      return {};
    }
    FakeScm& scm_;
    std::string name_;
  };

  class Connection final : public ScmConnection {
   public:
    explicit Connection(FakeScm& scm) : scm_(scm) {}
    Result<std::unique_ptr<ServiceHandle>> open_service(const std::string& name, std::uint32_t access) override {
      const auto natural = scm_.services.count(name) ? std::nullopt : std::optional<std::uint32_t>(kErrorServiceDoesNotExist);
      if (auto e = scm_.answer("open " + name + " " + hex32(access), natural)) return fail(Error::os(*e));
      return std::unique_ptr<ServiceHandle>(std::make_unique<Service>(scm_, name));
    }

   private:
    FakeScm& scm_;
  };
};

// A service text as the manager takes it: UTF-16 units with the terminating zero.
inline std::vector<std::uint16_t> units(std::u16string_view text) {
  std::vector<std::uint16_t> out(text.begin(), text.end());
  out.push_back(0);
  return out;
}

// Runs a coroutine on a fresh single-threaded loop to its end.
template <class T>
T run_to_end(asio::awaitable<T> task) {
  asio::io_context loop(1);
  std::optional<T> out;
  asio::co_spawn(loop, std::move(task), [&](std::exception_ptr thrown, T value) {
    if (thrown) std::rethrow_exception(thrown);
    out = std::move(value);
  });
  loop.run();
  return std::move(*out);
}

// Time moves only when something sleeps; every sleep is logged.
class FakeTicker final : public Ticker {
 public:
  Duration time{std::chrono::hours(1)};
  std::vector<std::string> sleeps;  // "block 100ms", "async 250ms"
  Duration now() override { return time; }
  void sleep(std::chrono::milliseconds d) override {
    sleeps.push_back("block " + std::to_string(d.count()) + "ms");
    time += d;
  }
  asio::awaitable<void> sleep_async(std::chrono::milliseconds d) override {
    sleeps.push_back("async " + std::to_string(d.count()) + "ms");
    time += d;
    co_return;
  }
  Duration slept() const { return time - Duration(std::chrono::hours(1)); }
};

// Answers each run with the next scripted result; records program and arguments.
class FakeChildRunner final : public ChildRunner {
 public:
  std::deque<Result<std::string>> results;
  std::vector<std::string> runs;  // "program arg arg ..."
  std::vector<std::chrono::nanoseconds> timeouts;
  std::function<void(const ChildRunRequest&)> on_run;
  asio::awaitable<Result<std::string>> run(const ChildRunRequest& request) override {
    if (on_run) on_run(request);
    std::string line = request.program;
    for (const auto& a : request.arguments) line += " " + a;
    runs.push_back(line);
    timeouts.push_back(request.timeout);
    if (results.empty()) co_return fail("no scripted child result");
    auto r = std::move(results.front());
    results.pop_front();
    co_return r;
  }
};

// A child whose pipes, exit and job are scripted. Reads happen on the
// runner's blocking threads, so the shared state is guarded.
class FakeLauncher final : public ChildLauncher {
 public:
  struct Shared {
    std::mutex mutex;
    std::condition_variable changed;
    bool terminated = false;     // by the process or the job
    std::uint32_t terminate_code = 0;
    int exits = 0;               // wait_exit calls answered
    int cancels = 0;             // cancel() calls on the pipes
    bool read_cancelled = false; // a blocked read was ended by cancel()
    bool waits_cancelled = false;
  };

  // Script.
  std::optional<std::uint32_t> start_error;
  bool no_stdout = false;
  std::optional<std::uint32_t> create_job_error, limits_error, assign_error, job_terminate_error, query_error,
      close_error, process_terminate_error, resume_error;
  std::deque<Bytes> stdout_chunks, stderr_chunks;
  std::optional<std::uint32_t> stdout_read_error;
  bool stdout_open_until_killed = false;  // a grandchild keeps the pipe open
  // A process outside the job keeps the pipe open: the read ends only when it
  // is cancelled (or, so that a runner that never cancels cannot hang a test,
  // after `outsider_holds` of real time, as an end of stream).
  std::optional<std::chrono::milliseconds> outsider_holds;
  std::optional<std::uint32_t> exit_code = 0;  // nullopt: runs until terminated
  std::vector<std::uint32_t> active_answers = {0};  // per job query; the last repeats
  bool refuse_input = false;  // the child's standard input pipe cannot be written (error 232)

  // Observed.
  std::shared_ptr<Shared> shared = std::make_shared<Shared>();
  std::optional<ChildCommand> command;
  std::vector<std::string> job_calls;
  std::uint32_t limit_flags = 0, priority_class = 0;
  int blocking_waits = 0;
  int job_queries = 0;
  Bytes input_written;  // what reached the child's standard input
  bool input_closed = false;

  Result<StartedChild> start(const ChildCommand& c) override {
    command = c;
    if (start_error) return fail(Error::os(*start_error));
    StartedChild child;
    child.process = std::make_shared<Process>(*this);
    if (!no_stdout) {
      child.stdout_pipe = std::make_shared<Source>(shared, std::move(stdout_chunks), stdout_read_error,
                                                   stdout_open_until_killed, outsider_holds);
    }
    child.stderr_pipe = std::make_shared<Source>(shared, std::move(stderr_chunks), std::nullopt, false, std::nullopt);
    if (c.stdin_pipe) child.stdin_pipe = std::make_shared<Sink>(*this);
    return child;
  }
  Result<std::unique_ptr<JobObject>> create_job() override {
    job_calls.push_back("create");
    if (create_job_error) return fail(Error::os(*create_job_error));
    return std::unique_ptr<JobObject>(std::make_unique<Job>(*this));
  }

  bool terminated() {
    std::lock_guard lock(shared->mutex);
    return shared->terminated;
  }
  void kill(std::uint32_t code) {
    std::lock_guard lock(shared->mutex);
    if (!shared->terminated) shared->terminate_code = code;
    shared->terminated = true;
    shared->changed.notify_all();
  }

 private:
  class Source final : public ByteSource {
   public:
    Source(std::shared_ptr<Shared> s, std::deque<Bytes> chunks, std::optional<std::uint32_t> error, bool hold,
           std::optional<std::chrono::milliseconds> outsider)
        : s_(std::move(s)), chunks_(std::move(chunks)), error_(error), hold_(hold), outsider_(outsider) {}
    void cancel() override {
      std::lock_guard lock(s_->mutex);
      cancelled_ = true;
      ++s_->cancels;
      s_->changed.notify_all();
    }
    Result<std::size_t> read(std::span<std::uint8_t> into) override {
      {
        std::lock_guard lock(s_->mutex);
        if (cancelled_) return fail(Error::os(kErrorOperationAborted));
      }
      if (!chunks_.empty()) {
        Bytes& c = chunks_.front();
        const std::size_t n = std::min(into.size(), c.size());
        std::copy_n(c.begin(), n, into.begin());
        c.erase(c.begin(), c.begin() + static_cast<std::ptrdiff_t>(n));
        if (c.empty()) chunks_.pop_front();
        return n;
      }
      if (error_) return fail(Error::os(*error_));
      std::unique_lock lock(s_->mutex);
      if (outsider_) {
        if (s_->changed.wait_for(lock, *outsider_, [&] { return cancelled_; })) {
          s_->read_cancelled = true;
          return fail(Error::os(kErrorOperationAborted));
        }
      } else if (hold_) {
        s_->changed.wait(lock, [&] { return s_->terminated || cancelled_; });
      }
      return std::size_t{0};
    }

   private:
    std::shared_ptr<Shared> s_;
    std::deque<Bytes> chunks_;
    std::optional<std::uint32_t> error_;
    bool hold_;
    std::optional<std::chrono::milliseconds> outsider_;
    bool cancelled_ = false;  // guarded by s_->mutex
  };

  class Sink final : public ByteSink {
   public:
    explicit Sink(FakeLauncher& l) : l_(l) {}
    Status write_all(std::span<const std::uint8_t> bytes) override {
      std::lock_guard lock(l_.shared->mutex);
      if (l_.refuse_input) return fail(Error::os(232));
      l_.input_written.insert(l_.input_written.end(), bytes.begin(), bytes.end());
      return {};
    }
    void close() override {
      std::lock_guard lock(l_.shared->mutex);
      l_.input_closed = true;
    }
    void cancel() override {}

   private:
    FakeLauncher& l_;
  };

  class Process final : public ChildProcess {
   public:
    explicit Process(FakeLauncher& l) : l_(l), s_(l.shared) {}
    Status terminate(std::uint32_t code) override {
      l_.job_calls.push_back("terminate process " + std::to_string(code));
      if (l_.process_terminate_error) return fail(Error::os(*l_.process_terminate_error));
      l_.kill(code);
      return {};
    }
    Status resume() override {
      l_.job_calls.push_back("resume");
      if (l_.resume_error) return fail(Error::os(*l_.resume_error));
      return {};
    }
    void cancel_waits() override {
      std::lock_guard lock(s_->mutex);
      s_->waits_cancelled = true;
      ++waits_cancelled_;
    }
    asio::awaitable<Result<std::uint32_t>> wait_exit() override {
      const std::optional<std::uint32_t> natural = l_.exit_code;
      auto shared = s_;
      const int generation = waits_cancelled_;
      if (!natural) {
        asio::steady_timer poll(co_await asio::this_coro::executor);
        for (;;) {
          {
            std::lock_guard lock(shared->mutex);
            if (shared->terminated) break;
          }
          if (waits_cancelled_ != generation) co_return fail(Error::os(kErrorOperationAborted));
          poll.expires_after(std::chrono::milliseconds(1));
          co_await poll.async_wait(asio::use_awaitable);
        }
      }
      std::lock_guard lock(shared->mutex);
      ++shared->exits;
      co_return natural ? *natural : shared->terminate_code;
    }
    Result<bool> wait_blocking(std::chrono::milliseconds) override {
      ++l_.blocking_waits;
      return l_.terminated() || l_.exit_code.has_value();
    }

   private:
    FakeLauncher& l_;
    std::shared_ptr<Shared> s_;
    int waits_cancelled_ = 0;  // cancel_waits() calls; a wait begun before the last one ends
  };

  class Job final : public JobObject {
   public:
    explicit Job(FakeLauncher& l) : l_(l) {}
    ~Job() override {
      if (!closed_) l_.job_calls.push_back("drop");
    }
    Status set_limits(std::uint32_t flags, std::uint32_t priority) override {
      l_.job_calls.push_back("limits");
      l_.limit_flags = flags;
      l_.priority_class = priority;
      if (l_.limits_error) return fail(Error::os(*l_.limits_error));
      return {};
    }
    Status assign(ChildProcess&) override {
      l_.job_calls.push_back("assign");
      if (l_.assign_error) return fail(Error::os(*l_.assign_error));
      return {};
    }
    Status terminate(std::uint32_t code) override {
      l_.job_calls.push_back("terminate job " + std::to_string(code));
      if (l_.job_terminate_error) return fail(Error::os(*l_.job_terminate_error));
      l_.kill(code);
      return {};
    }
    Result<std::uint32_t> active_processes() override {
      const std::size_t i = static_cast<std::size_t>(l_.job_queries++);
      if (l_.query_error) return fail(Error::os(*l_.query_error));
      return l_.active_answers[std::min(i, l_.active_answers.size() - 1)];
    }
    Status close() override {
      l_.job_calls.push_back("close");
      closed_ = true;
      if (l_.close_error) return fail(Error::os(*l_.close_error));
      return {};
    }

   private:
    FakeLauncher& l_;
    bool closed_ = false;
  };
};

}  // namespace vor::setup::testing
