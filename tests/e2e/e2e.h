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

// The prefix's own folder ("<prefix>/drive_c"), as a Linux path.
std::string drive_c();

// The Windows (C:\...) path of a folder inside the prefix's drive_c, and its
// Linux path; the folder is created empty.
struct PrefixDir {
  std::string windows_path;
  std::string linux_path;
};
PrefixDir fresh_prefix_dir(const std::string& name);

}  // namespace vor::e2e
