// Test helper (Windows): runs the execute transaction with the real files,
// DPAPI and process queries, and a scripted worker (no desktop needed), and
// dies at the k-th changing file-system call, as a broker killed there would.
//   execute_crash_helper STATE_DIR REQUEST_FILE ANSWER CUT_AT REPORT
// ANSWER is what the worker answers: "accepted", "unknown" (input outcome
// unknown), "captured" (a PNG with it) or "observed". CUT_AT 0 never cuts;
// otherwise the process ends itself with TerminateProcess (exit 1, no
// cleanup) just before that call: a new file is not created, a write puts no
// byte, a move, removal or flush does not happen. A run that is not cut
// writes REPORT: "changes=N sent=M" (N changing calls, M of them before the
// request frame reached the worker), a newline and the printed document, and
// exits 0. Exit 2 when the request file cannot be read, 64 on a bad command
// line.
#include <windows.h>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>

#include "broker/execute_transaction.h"
#include "common/base64.h"
#include "common/data_protection.h"
#include "desktop/tests/standalone/forwarding_file_system.h"
#include "desktop/tests/windows/fake_worker_launch.h"
#include "execute_fixtures.h"
#include "native/clock.h"
#include "native/process_sys_win32.h"
#include "standalone/cli/cli_documents.h"
#include "standalone/state/file_system.h"
#include "standalone/state/state_store.h"

namespace vor::desktop {
namespace {

// Counts changing calls and ends the process at the chosen one.
class Cutter {
 public:
  Cutter(int cut_at, std::function<bool()> request_sent) : cut_at_(cut_at), request_sent_(std::move(request_sent)) {}

  // Called before each changing call.
  void change() {
    if (!sent_before_ && request_sent_()) sent_before_ = changes_;
    if (++changes_ == cut_at_) ::TerminateProcess(::GetCurrentProcess(), 1);
  }
  int changes() const { return changes_; }
  int sent_before() const { return sent_before_.value_or(changes_); }

 private:
  int cut_at_;
  std::function<bool()> request_sent_;
  int changes_ = 0;
  std::optional<int> sent_before_;
};

class CuttingFile final : public testing::ForwardingFile {
 public:
  CuttingFile(std::unique_ptr<OpenFile> inner, Cutter& cutter) : ForwardingFile(std::move(inner)), cutter_(cutter) {}
  Result<std::size_t> write(std::span<const std::uint8_t> data) override {
    cutter_.change();
    return ForwardingFile::write(data);
  }
  Status flush() override {
    cutter_.change();
    return ForwardingFile::flush();
  }

 private:
  Cutter& cutter_;
};

// The real file system with the cutter before every call that changes the disk.
class CuttingFileSystem final : public testing::ForwardingFileSystem {
 public:
  explicit CuttingFileSystem(Cutter& cutter) : ForwardingFileSystem(make_win32_file_system()), cutter_(cutter) {}
  Result<std::unique_ptr<OpenFile>> open(const std::string& path, const FileOpenOptions& options) override {
    if (options.creation != FileCreation::kOpenExisting) cutter_.change();
    auto file = inner().open(path, options);
    if (!file) return file;
    return std::unique_ptr<OpenFile>(std::make_unique<CuttingFile>(std::move(*file), cutter_));
  }
  Status move(const std::string& from, const std::string& to, std::uint32_t flags) override {
    cutter_.change();
    return inner().move(from, to, flags);
  }
  Status remove(const std::string& path) override {
    cutter_.change();
    return inner().remove(path);
  }
  Status create_directory(const std::string& path, const Bytes& descriptor) override {
    cutter_.change();
    return inner().create_directory(path, descriptor);
  }

 private:
  Cutter& cutter_;
};

Bytes small_png() {
  Bytes png = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  for (int i = 0; i < 600; ++i) png.push_back(static_cast<std::uint8_t>(i * 7));
  return png;
}

std::optional<Response> worker_answer(const Request& request, const std::string& kind) {
  const Window seen = testing::observed_window(system_clock().utc_now());
  if (kind == "accepted") return testing::answer(request, "DESKTOP_INPUT_ACCEPTED", seen);
  if (kind == "unknown") return testing::answer(request, std::string(kInputOutcomeUnknown), seen);
  if (kind == "observed") return testing::answer(request, std::string(kObservedCode), seen);
  if (kind == "captured") {
    Response r = testing::answer(request, std::string(kObservedCode), seen);
    r.png_base64 = base64_encode(small_png());
    return r;
  }
  return std::nullopt;
}

int run(int argc, char** argv) {
  if (argc != 6) return 64;
  const std::string state_dir = argv[1];
  std::ifstream in(argv[2], std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  const std::string bytes = text.str();
  auto request = decode_request(bytes);
  if (!in || !request) return 2;
  const auto answer = worker_answer(*request, argv[3]);
  if (!answer) return 64;

  // The worker is this very process, in its own session, so that the
  // broker's checks of its peer pass with the real process queries.
  const DWORD self = ::GetCurrentProcessId();
  DWORD session = 0;
  ::ProcessIdToSessionId(self, &session);
  std::vector<std::shared_ptr<testing::FakeWorkerLaunch::Seen>> launches;
  auto request_sent = [&launches] {
    for (const auto& seen : launches) {
      if (seen->written.size() >= 2) return true;
    }
    return false;
  };

  Cutter cutter(std::atoi(argv[4]), request_sent);
  CuttingFileSystem fs(cutter);
  auto dpapi = make_win32_data_protection();
  auto caller = make_win32_caller_identity();
  auto processes = make_win32_proc_sys();
  StatePorts state{make_state_context(fs, *dpapi, system_clock()), *caller, *processes};
  ExecutePorts exec{state, [&]() -> std::unique_ptr<WorkerLaunchSys> {
                      auto fake = std::make_unique<testing::FakeWorkerLaunch>();
                      fake->worker_pid = fake->client_pid = self;
                      fake->sessions = {{session, true}};
                      fake->ends_after_reads = 2;  // WorkerReady and the response
                      fake->frames.reads.push_back(testing::ready_frame(self, session));
                      fake->frames.reads.push_back(encode_response(*answer));
                      launches.push_back(fake->seen);
                      return fake;
                    }};
  auto document = execute_transaction(exec, bytes, state_dir, std::nullopt);

  std::ofstream report(argv[5], std::ios::binary);
  report << "changes=" << cutter.changes() << " sent=" << cutter.sent_before() << "\n";
  report << (document ? print_line(*document) : document.error().display_chain() + "\n");
  return report ? 0 : 2;
}

}  // namespace
}  // namespace vor::desktop

int main(int argc, char** argv) { return vor::desktop::run(argc, argv); }
