// Start-up cost of Vor.Marionet.exe under Wine, against baselines measured in
// the same run. Run by scripts/bench-startup, which prepares a Wine prefix
// and display of its own, pins the wineserver and this program (and so every
// Wine process) to one CPU, installs the programs in the prefix's drive C and
// prints the ratios of the medians:
//
//   trivial_start            startup_floor.exe --trivial: one process start
//   floor_round_trip         startup_floor.exe: two starts and one pipe round trip
//   version                  Vor.Marionet.exe --version            (against trivial_start)
//   probe                    Vor.Marionet.exe probe --session-id 1 (against floor_round_trip)
//   execute_inspect          Vor.Marionet.exe execute of an inspect request
//                            (against floor_round_trip; a fresh operation id each time)
//   session_execute_inspect  session-execute of the same request against an idle
//                            session host (against execute_inspect)
//
// Environment: VOR_BENCH_WINE (the wine program), VOR_BENCH_DRIVE_C (the
// prefix's drive C as a Linux path; the programs are in C:\vor-bench\bin),
// and WINEPREFIX, DISPLAY for Wine itself. Every command's exit code is
// checked; a wrong one stops that benchmark with an error.
#include <benchmark/benchmark.h>

#include <spawn.h>
#include <sys/wait.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

const std::string kWindowsBench = "C:\\vor-bench";
const std::string kMarionet = kWindowsBench + "\\bin\\Vor.Marionet.exe";
const std::string kFloor = kWindowsBench + "\\bin\\startup_floor.exe";
// A fresh state directory is used after this many operations, outside the
// timed region. execute reads every receipt of its directory (the quota and
// fence checks, the maintenance pass), so its cost grows with their number
// (about 2 ms per receipt under Wine, measured); a small fixed cycle keeps
// every timed request at 1 to 9 earlier receipts, the same in every run, and
// far from the quota of 128.
constexpr int kOperationsPerStateDir = 10;

std::string env_or_empty(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

// Runs wine with `args`, its output on /dev/null; returns the exit code, or
// -1 when it could not run or ended by a signal.
int run_wine(const std::vector<std::string>& args) {
  static const std::string wine = env_or_empty("VOR_BENCH_WINE");
  std::vector<std::string> all{wine};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = 0;
  const int spawned = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool configured(benchmark::State& state) {
  if (env_or_empty("VOR_BENCH_WINE").empty() || env_or_empty("VOR_BENCH_DRIVE_C").empty()) {
    state.SkipWithError("VOR_BENCH_WINE and VOR_BENCH_DRIVE_C are not set; run scripts/bench-startup");
    return false;
  }
  return true;
}

// Runs one command per iteration and checks its exit code.
void run_each_iteration(benchmark::State& state, const std::vector<std::string>& args,
                        std::initializer_list<int> accepted = {0}) {
  if (!configured(state)) return;
  for (auto _ : state) {
    const int code = run_wine(args);
    bool ok = false;
    for (int a : accepted) ok = ok || code == a;
    if (!ok) {
      state.SkipWithError(("exit code " + std::to_string(code)).c_str());
      break;
    }
  }
}

void trivial_start(benchmark::State& state) { run_each_iteration(state, {kFloor, "--trivial"}); }
void floor_round_trip(benchmark::State& state) { run_each_iteration(state, {kFloor}); }
void version(benchmark::State& state) { run_each_iteration(state, {kMarionet, "--version"}); }
// A probe answers "ready": false (exit code 1) when the desktop is not ready
// for input; both answers cost the same checks.
void probe(benchmark::State& state) { run_each_iteration(state, {kMarionet, "probe", "--session-id", "1"}, {0, 1}); }

// Inspect requests with fresh operation ids, in state directories that are
// replaced before their receipt quota runs out.
class InspectRequests {
 public:
  explicit InspectRequests(std::string name) : name_(std::move(name)) {}

  // Writes the next request; true when a new state directory (created here)
  // starts with it.
  bool next() {
    ++operation_;
    std::ofstream(linux_path(request_file()), std::ios::binary | std::ios::trunc)
        << R"({"protocol":1,"operationId":")" << name_ << "-" << operation_
        << R"(","sessionId":1,"action":{"kind":"inspect"}})";
    if ((operation_ - 1) % kOperationsPerStateDir != 0) return false;
    fs::create_directories(linux_path(state_dir()));  // the program secures it, but does not create it
    return true;
  }
  std::string request_file() const { return kWindowsBench + "\\" + name_ + "-request.json"; }
  std::string state_dir() const {
    return kWindowsBench + "\\" + name_ + "-state-" + std::to_string((operation_ - 1) / kOperationsPerStateDir);
  }

 private:
  static std::string linux_path(const std::string& windows) {
    std::string rest = windows.substr(3);
    for (char& c : rest) c = c == '\\' ? '/' : c;
    return env_or_empty("VOR_BENCH_DRIVE_C") + "/" + rest;
  }
  std::string name_;
  long operation_ = 0;
};

void execute_inspect(benchmark::State& state) {
  if (!configured(state)) return;
  static InspectRequests requests("execute");
  for (auto _ : state) {
    state.PauseTiming();
    if (requests.next()) {
      // The first command in a directory creates and secures it: not timed.
      if (run_wine({kMarionet, "execute", "--request", requests.request_file(), "--state-dir",
                    requests.state_dir()}) != 0) {
        state.SkipWithError("execute in a fresh state directory failed");
        break;
      }
      requests.next();
    }
    state.ResumeTiming();
    const int code =
        run_wine({kMarionet, "execute", "--request", requests.request_file(), "--state-dir", requests.state_dir()});
    if (code != 0) {
      state.SkipWithError(("execute: exit code " + std::to_string(code)).c_str());
      break;
    }
  }
}

// The state directory of the session host that the benchmark runs, if any.
std::string host_dir;

void session_execute_inspect(benchmark::State& state) {
  if (!configured(state)) return;
  static InspectRequests requests("session");
  for (auto _ : state) {
    state.PauseTiming();
    if (requests.next()) {
      // A fresh host on a fresh directory, before its first timed request.
      if (!host_dir.empty()) run_wine({kMarionet, "session-close", "--state-dir", host_dir});
      host_dir = requests.state_dir();
      if (run_wine({kMarionet, "session-start", "--session-id", "1", "--state-dir", host_dir}) != 0 ||
          run_wine({kMarionet, "session-execute", "--request", requests.request_file(), "--state-dir", host_dir}) !=
              0) {
        state.SkipWithError("session-start or the first session-execute failed");
        break;
      }
      requests.next();
    }
    state.ResumeTiming();
    const int code = run_wine(
        {kMarionet, "session-execute", "--request", requests.request_file(), "--state-dir", requests.state_dir()});
    if (code != 0) {
      state.SkipWithError(("session-execute: exit code " + std::to_string(code)).c_str());
      break;
    }
  }
}

// Ends the session host that the session benchmark left running.
struct HostCloser {
  ~HostCloser() {
    if (!host_dir.empty()) run_wine({kMarionet, "session-close", "--state-dir", host_dir});
  }
};

}  // namespace

BENCHMARK(trivial_start)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(floor_round_trip)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(version)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(probe)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(execute_inspect)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(session_execute_inspect)->UseRealTime()->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
  const HostCloser closer;
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
