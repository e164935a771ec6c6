#include "installer/child_process.h"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>

#include "common/text.h"
#include "installer/errors.h"

namespace vor::setup {
namespace {

constexpr std::size_t kBlockingThreads = 3;  // standard output, standard error, input

// Kills the child and waits for it (bounded) unless the run reaped it.
class ChildGuard {
 public:
  explicit ChildGuard(std::shared_ptr<ChildProcess> process) : process_(std::move(process)) {}
  ChildGuard(const ChildGuard&) = delete;
  ChildGuard& operator=(const ChildGuard&) = delete;
  ~ChildGuard() {
    if (!armed_) return;
    (void)process_->terminate(kChildKilledExitCode);
    (void)process_->wait_blocking(kChildGuardWait);
  }
  ChildProcess& process() { return *process_; }
  const std::shared_ptr<ChildProcess>& shared() { return process_; }
  void disarm() { armed_ = false; }

 private:
  std::shared_ptr<ChildProcess> process_;
  bool armed_ = true;
};

// Cancels the pipes and the exit waits of a run when it stops listening, and
// at the latest when the run ends in any way (its frame destroyed included),
// so that no blocking-work thread and no loop operation outlives it.
class StopListening {
 public:
  explicit StopListening(const StartedChild& child) : child_(child) {}
  StopListening(const StopListening&) = delete;
  StopListening& operator=(const StopListening&) = delete;
  ~StopListening() { now(); }
  void now() {
    if (stopped_) return;
    stopped_ = true;
    if (child_.stdout_pipe) child_.stdout_pipe->cancel();
    if (child_.stderr_pipe) child_.stderr_pipe->cancel();
    if (child_.stdin_pipe) child_.stdin_pipe->cancel();
    child_.process->cancel_waits();
  }

 private:
  const StartedChild& child_;
  bool stopped_ = false;
};

// Terminates a child that could not be guarded or resumed and waits for it;
// an access-denied answer means it has exited already.
asio::awaitable<void> kill_and_reap(ChildGuard& guard) {
  auto killed = guard.process().terminate(kChildKilledExitCode);
  if (killed || killed.error().os_error() == 5u) {
    (void)co_await guard.process().wait_exit();
    guard.disarm();
  }
}

// What the three parts of a run (exit wait, two readers) report back. The
// parts outlive the run when it is abandoned, so they share it.
struct RunState {
  explicit RunState(const asio::any_io_executor& executor) : wake(executor) {}
  asio::steady_timer wake;
  bool abandoned = false;
  std::optional<Error> failed;
  bool out_done = false, err_done = false, exit_done = false;
  Bytes out;
  std::uint32_t exit_code = 0;

  bool finished() const { return failed.has_value() || (out_done && err_done && exit_done); }
  void report_failure(Error e) {
    if (!failed) failed = std::move(e);
    wake.cancel();
  }
};

// The blocking transfers as awaitables on the pool. These are plain
// functions, not coroutines: GCC 12 mishandles a capturing lambda made inside
// a co_await expression of a coroutine (what it captured was released once
// too often, and the input pipe destroyed while still in use).
asio::awaitable<Result<std::size_t>> read_on(asio::thread_pool& pool, std::shared_ptr<ByteSource> source,
                                             std::shared_ptr<Bytes> buffer) {
  return asio::co_spawn(
      pool, [source, buffer]() -> asio::awaitable<Result<std::size_t>> { co_return source->read(*buffer); },
      asio::use_awaitable);
}

// Writes the bytes whole, then closes the pipe.
asio::awaitable<Status> write_on(asio::thread_pool& pool, std::shared_ptr<ByteSink> sink,
                                 std::shared_ptr<const Bytes> data) {
  return asio::co_spawn(
      pool,
      [sink, data]() -> asio::awaitable<Status> {
        Status written = sink->write_all(*data);
        sink->close();
        co_return written;
      },
      asio::use_awaitable);
}

// Reads one stream to its end in 4,096-byte pieces, at most 16,384 bytes.
asio::awaitable<void> read_stream(std::shared_ptr<RunState> state, asio::thread_pool& pool,
                                  std::shared_ptr<ByteSource> source, bool keep) {
  auto buffer = std::make_shared<Bytes>(kChildReadChunk);
  std::size_t total = 0;
  for (;;) {
    auto got = co_await read_on(pool, source, buffer);
    if (state->abandoned) co_return;
    if (!got) {
      state->report_failure(std::move(got.error()));
      co_return;
    }
    if (*got == 0) break;
    if (total + *got > kChildStreamLimit) {
      state->report_failure(failure(kSetupChildOutputLimit));
      co_return;
    }
    total += *got;
    if (keep) state->out.insert(state->out.end(), buffer->begin(), buffer->begin() + static_cast<std::ptrdiff_t>(*got));
  }
  (keep ? state->out_done : state->err_done) = true;
  state->wake.cancel();
}

// Writes the input whole, closes the pipe, then waits for the exit.
asio::awaitable<void> feed_and_wait(std::shared_ptr<RunState> state, asio::thread_pool& pool,
                                    std::shared_ptr<ChildProcess> process, std::shared_ptr<ByteSink> sink,
                                    std::optional<Bytes> input) {
  if (input) {
    Status written = fail(failure(kSetupChildStartFailed));
    if (sink) written = co_await write_on(pool, sink, std::make_shared<const Bytes>(std::move(*input)));
    if (state->abandoned) co_return;
    if (!written) {
      state->report_failure(std::move(written.error()).context("write child input"));
      co_return;
    }
  }
  auto code = co_await process->wait_exit();
  if (state->abandoned) co_return;
  if (!code) {
    state->report_failure(std::move(code.error()));
    co_return;
  }
  state->exit_code = *code;
  state->exit_done = true;
  state->wake.cancel();
}

bool needs_quotes(std::string_view arg) {
  return arg.empty() || arg.find_first_of(" \t\n\v\"") != std::string_view::npos;
}

void append_argument(std::string& out, std::string_view arg) {
  if (!needs_quotes(arg)) {
    out += arg;
    return;
  }
  out += '"';
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
    } else if (c == '"') {
      out.append(backslashes * 2 + 1, '\\');
      out += '"';
      backslashes = 0;
    } else {
      out.append(backslashes, '\\');
      out += c;
      backslashes = 0;
    }
  }
  out.append(backslashes * 2, '\\');
  out += '"';
}

// Invalid sequences become U+FFFD, one for each maximal invalid subpart.
std::string utf8_lossy(std::span<const std::uint8_t> b) {
  static constexpr std::string_view kReplacement = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(b.size());
  std::size_t i = 0;
  while (i < b.size()) {
    const std::uint8_t lead = b[i];
    if (lead < 0x80) {
      out += static_cast<char>(lead);
      ++i;
      continue;
    }
    std::size_t length = 0;
    std::uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      if (lead == 0xE0) low = 0xA0;
      if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      if (lead == 0xF0) low = 0x90;
      if (lead == 0xF4) high = 0x8F;
    }
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool ok = true;
    for (; j < i + length; ++j) {
      const std::uint8_t lo = j == i + 1 ? low : 0x80, hi = j == i + 1 ? high : 0xBF;
      if (j >= b.size() || b[j] < lo || b[j] > hi) {
        ok = false;
        break;
      }
    }
    if (ok) {
      out.append(reinterpret_cast<const char*>(b.data() + i), length);
      i += length;
    } else {
      out += kReplacement;
      i = j;
    }
  }
  return out;
}

}  // namespace

std::string windows_command_line(std::string_view program, const std::vector<std::string>& arguments) {
  std::string out = "\"" + std::string(program) + "\"";
  for (const auto& arg : arguments) {
    out += ' ';
    append_argument(out, arg);
  }
  return out;
}

Result<std::string> decode_child_output(std::span<const std::uint8_t> b) {
  const bool utf16 = b.size() >= 2 && ((b[0] == 0xFF && b[1] == 0xFE) || (b[0] == 0x3C && b[1] == 0x00));
  if (utf16) {
    auto rest = b[0] == 0xFF ? b.subspan(2) : b;
    if (rest.size() % 2 != 0) return fail(failure(kSetupChildOutputInvalid));
    std::u16string units(rest.size() / 2, u'\0');
    for (std::size_t k = 0; k < units.size(); ++k) {
      units[k] = static_cast<char16_t>(rest[2 * k] | (rest[2 * k + 1] << 8));
    }
    auto text = utf16_to_utf8(units);
    if (!text) return fail(failure(kSetupChildOutputInvalid));
    return std::move(*text);
  }
  if (b.size() >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) b = b.subspan(3);
  return utf8_lossy(b);
}

SupervisedChildRunner::SupervisedChildRunner(ChildLauncher& launcher, Ticker& ticker)
    : launcher_(launcher), ticker_(ticker) {}

SupervisedChildRunner::~SupervisedChildRunner() {
  if (blocking_) blocking_->join();
}

asio::awaitable<Result<std::string>> SupervisedChildRunner::run(const ChildRunRequest& request) {
  if (!blocking_) blocking_ = std::make_unique<asio::thread_pool>(kBlockingThreads);
  ChildCommand command{request.program, windows_command_line(request.program, request.arguments),
                       request.input.has_value(), kCreateNoWindow | kCreateSuspended};
  auto started = launcher_.start(command);
  if (!started) co_return fail(failure_over(kSetupChildStartFailed, std::move(started.error())));
  ChildGuard guard(started->process);
  StopListening stop(*started);
  if (!started->stdout_pipe || !started->stderr_pipe) co_return fail(failure(kSetupChildStartFailed));

  // The child is still suspended: it goes into the job before it runs its
  // first instruction, so nothing it starts can be outside the job.
  auto job = launcher_.create_job();
  Status guarded = job ? Status() : Status(fail(std::move(job.error())));
  if (guarded) guarded = (*job)->set_limits(kJobLimitKillOnCloseAndPriority, kBelowNormalPriorityClass);
  if (guarded) guarded = (*job)->assign(guard.process());
  if (!guarded) {
    if (job) job->reset();
    co_await kill_and_reap(guard);
    co_return fail(failure(kSetupChildGuardFailed));
  }
  std::unique_ptr<JobObject> owned_job = std::move(*job);
  if (auto resumed = guard.process().resume(); !resumed) {
    (void)owned_job->terminate(kChildKilledExitCode);
    co_await kill_and_reap(guard);
    co_return fail(failure_over(kSetupChildStartFailed, std::move(resumed.error())));
  }

  const auto deadline = std::chrono::steady_clock::now() + request.timeout;
  const auto executor = co_await asio::this_coro::executor;
  auto state = std::make_shared<RunState>(executor);
  asio::co_spawn(executor, feed_and_wait(state, *blocking_, guard.shared(), started->stdin_pipe, request.input),
                 asio::detached);
  asio::co_spawn(executor, read_stream(state, *blocking_, started->stdout_pipe, true), asio::detached);
  asio::co_spawn(executor, read_stream(state, *blocking_, started->stderr_pipe, false), asio::detached);
  bool timed_out = false;
  for (;;) {
    if (state->finished()) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      timed_out = true;
      break;
    }
    state->wake.expires_at(deadline);
    std::error_code ignored;
    co_await state->wake.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
  }
  state->abandoned = true;
  stop.now();  // the parts still waiting end at once, whoever holds the pipes

  Result<std::string> outcome;
  if (timed_out) {
    outcome = fail(failure(kSetupChildTimeout));
  } else if (state->failed) {
    outcome = fail(std::move(*state->failed));
  } else if (state->exit_code != 0) {
    outcome = fail(failure_over(kSetupChildExitFailed, child_exit(static_cast<std::int32_t>(state->exit_code))));
  } else {
    outcome = decode_child_output(state->out);
  }

  // Clean-up: the job ends the child and everything it started; it must
  // then be empty. A job that cannot be ended leaves the child to the guard.
  if (!owned_job->terminate(kChildKilledExitCode)) co_return fail(failure(kSetupChildCleanupFailed));
  (void)co_await guard.process().wait_exit();
  guard.disarm();
  for (int query = 0; query < kJobDrainQueries; ++query) {
    auto active = owned_job->active_processes();
    if (!active) co_return fail(failure(kSetupChildCleanupFailed));
    if (*active == 0) {
      if (!owned_job->close()) co_return fail(failure(kSetupChildCleanupFailed));
      co_return outcome;
    }
    co_await ticker_.sleep_async(kJobDrainPause);
  }
  co_return fail(failure(kSetupChildCleanupFailed));
}

}  // namespace vor::setup
