// Runs the real Windows programs under Wine for end-to-end tests: exact
// command lines in, exact standard output bytes and exit codes out.
//
//   auto r = vor::e2e::run("Vor.Marionet.exe", {"help"});
//   EXPECT_EQ(r.exit_code, 0);
//   EXPECT_EQ(r.out, "{...}\n");
//
// Programs come from the stand-in build's bin folder unless a test asks for
// the release build. All runs share this build folder's Wine prefix and display.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace vor::e2e {

enum class Build { kStandins, kRelease };

struct RunResult {
  int exit_code = -1;  // low 8 bits, as Wine passes them back
  std::string out;
  std::string err;
};

// The full Linux path of a program of the given build.
std::string program_path(const std::string& exe, Build build = Build::kStandins);

// The path Wine gives a Linux path (its Z: drive).
std::string windows_path(const std::string& linux_path);

RunResult run(const std::string& exe, const std::vector<std::string>& args, Build build = Build::kStandins);

// The same for any program Wine can start by this name or path (for example
// its own "taskkill").
RunResult run_program(const std::string& program, const std::vector<std::string>& args);

// A program started through Wine that runs while the test goes on. Wine's
// loader runs the Windows program in the very process started here, so
// `kill` ends that program (and only it) by its id. A program still running
// when its owner goes away is killed and collected.
//
//   StartedProgram broker(exe, {"execute", ...});
//   ...  // look at it while it works
//   broker.kill();
//   RunResult r = broker.wait();
class StartedProgram {
 public:
  StartedProgram(const std::string& program, const std::vector<std::string>& args);
  ~StartedProgram();
  StartedProgram(const StartedProgram&) = delete;
  StartedProgram& operator=(const StartedProgram&) = delete;

  // SIGKILL, when it has not been collected yet.
  void kill();
  // Waits for its end; what it printed and its exit code (128 + signal
  // when killed). Later calls return the same.
  RunResult wait();

 private:
  pid_t pid_ = 0;
  int out_fd_ = -1;
  int err_fd_ = -1;
  bool done_ = false;
  RunResult result_;
};

// The prefix's own folder ("<prefix>/drive_c"), as a Linux path.
std::string drive_c();

// The Windows (C:\...) path of a folder inside the prefix's drive_c, and its
// Linux path; the folder is created empty.
struct PrefixDir {
  std::string windows_path;
  std::string linux_path;
};
PrefixDir fresh_prefix_dir(const std::string& name);

// A copy of a program of the given build at "<drive C>\\<folder>\\<exe>",
// for verbs that check their own image's path like a state path (Wine
// reports its Z: drive as a reparse point). Returns its Linux path, which
// `run_program` takes. The copy is replaced by a rename, never rewritten in
// place: a process of an earlier run may still execute the old file.
std::string install_in_drive_c(const std::string& folder, const std::string& exe = "Vor.Marionet.exe",
                               Build build = Build::kStandins);

// A whole file's bytes (empty when it cannot be read), and a new file.
std::string read_file(const std::string& path);
void write_file(const std::string& path, const std::string& bytes);

// The error document that `Vor.Marionet.exe` prints, with its line end.
std::string error_document(const std::string& code, const std::string& sentence, const char* operation_id = nullptr);

}  // namespace vor::e2e
