#include "e2e.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace vor::e2e {
namespace {

std::string env_or(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? v : fallback;
}

void drain(int fd, std::string& into) {
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) {
      into.append(buf, static_cast<std::size_t>(n));
      continue;
    }
    return;  // EOF, EAGAIN or error
  }
}

}  // namespace

std::string program_path(const std::string& exe, Build build) {
  const std::string dir = build == Build::kRelease ? env_or("VOR_E2E_RELEASE_BIN", VOR_E2E_RELEASE_BIN)
                                                   : env_or("VOR_E2E_STANDINS_BIN", VOR_E2E_STANDINS_BIN);
  return dir + "/" + exe;
}

RunResult run(const std::string& exe, const std::vector<std::string>& args, Build build) {
  return run_program(program_path(exe, build), args);
}

RunResult run_program(const std::string& program, const std::vector<std::string>& args) {
  return StartedProgram(program, args).wait();
}

StartedProgram::StartedProgram(const std::string& program, const std::vector<std::string>& args) {
  const std::string runner = std::string(VOR_SOURCE_DIR) + "/scripts/wine-run";
  std::vector<std::string> argv_s = {runner, program};
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_s) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out_pipe[2], err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  // Set once: a test may run programs from two threads at a time.
  if (std::getenv("VOR_WINE_ROOT") == nullptr) ::setenv("VOR_WINE_ROOT", VOR_E2E_WINE_ROOT, 1);
  const int rc = posix_spawn(&pid_, runner.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (rc != 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    throw std::runtime_error("spawn");
  }
  out_fd_ = out_pipe[0];
  err_fd_ = err_pipe[0];
  ::fcntl(out_fd_, F_SETFL, O_NONBLOCK);
  ::fcntl(err_fd_, F_SETFL, O_NONBLOCK);
}

StartedProgram::~StartedProgram() {
  if (!done_) {
    kill();
    wait();
  }
}

void StartedProgram::kill() {
  if (!done_) ::kill(pid_, SIGKILL);
}

RunResult StartedProgram::wait() {
  if (done_) return result_;
  // Read while the program runs, and stop at its exit rather than at end of
  // file: processes that Wine starts in the background may inherit the pipes.
  int status = 0;
  for (;;) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    ::poll(fds, 2, 20);
    drain(out_fd_, result_.out);
    drain(err_fd_, result_.err);
    const pid_t ended = ::waitpid(pid_, &status, WNOHANG);
    if (ended == pid_) break;
  }
  drain(out_fd_, result_.out);
  drain(err_fd_, result_.err);
  ::close(out_fd_);
  ::close(err_fd_);
  result_.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  done_ = true;
  return result_;
}

std::string windows_path(const std::string& linux_path) {
  std::string out = "Z:" + linux_path;
  for (char& c : out) {
    if (c == '/') c = '\\';
  }
  return out;
}

std::string drive_c() { return env_or("VOR_WINE_ROOT", VOR_E2E_WINE_ROOT) + "/prefix/drive_c"; }

PrefixDir fresh_prefix_dir(const std::string& name) {
  const std::string linux_path = drive_c() + "/e2e/" + name;
  std::filesystem::remove_all(linux_path);
  std::filesystem::create_directories(linux_path);
  return {"C:\\e2e\\" + name, linux_path};
}

std::string install_in_drive_c(const std::string& folder, const std::string& exe, Build build) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::path(drive_c()) / folder;
  fs::create_directories(dir);
  const fs::path installed = dir / exe;
  const fs::path fresh = dir / (exe + "." + std::to_string(::getpid()));
  fs::copy_file(program_path(exe, build), fresh, fs::copy_options::overwrite_existing);
  fs::rename(fresh, installed);
  return installed.string();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
}

std::string error_document(const std::string& code, const std::string& sentence, const char* operation_id) {
  const std::string op = operation_id ? "\"" + std::string(operation_id) + "\"" : "null";
  return "{\"code\":\"" + code + "\",\"nextSafeAction\":\"" + sentence + "\",\"operationId\":" + op +
         ",\"retryable\":false,\"schemaVersion\":\"vor.desktop-cli/v1\"}\n";
}

}  // namespace vor::e2e
