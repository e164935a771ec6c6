// Test helper (Windows): reads a state file through the store's own bounded
// read, as a `status` beside the gate holder does, but holds the file open
// for a while in the middle of that read.
//   state_slow_reader FILE HOLD_MS READY OUT
// At the first read of FILE it creates READY, then sleeps HOLD_MS with the
// file open; what the read returned goes to OUT. Exit 0, 2 when the read
// failed, 64 on a bad command line.
#include <windows.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "forwarding_file_system.h"
#include "standalone/state/file_system.h"
#include "standalone/state/state_store.h"

namespace vor::desktop {
namespace {

class HoldingFile final : public testing::ForwardingFile {
 public:
  HoldingFile(std::unique_ptr<OpenFile> inner, const std::string& ready, DWORD hold_ms)
      : ForwardingFile(std::move(inner)), ready_(ready), hold_ms_(hold_ms) {}
  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    if (!held_) {
      held_ = true;
      HANDLE ready = ::CreateFileA(ready_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (ready != INVALID_HANDLE_VALUE) ::CloseHandle(ready);
      ::Sleep(hold_ms_);
    }
    return ForwardingFile::read(out);
  }

 private:
  std::string ready_;
  DWORD hold_ms_;
  bool held_ = false;
};

// The real file system, except that opened files hold at their first read.
class HoldingFileSystem final : public testing::ForwardingFileSystem {
 public:
  HoldingFileSystem(const std::string& ready, DWORD hold_ms)
      : ForwardingFileSystem(make_win32_file_system()), ready_(ready), hold_ms_(hold_ms) {}
  Result<std::unique_ptr<OpenFile>> open(const std::string& path, const FileOpenOptions& spec) override {
    auto file = inner().open(path, spec);
    if (!file) return file;
    return std::unique_ptr<OpenFile>(std::make_unique<HoldingFile>(std::move(*file), ready_, hold_ms_));
  }

 private:
  std::string ready_;
  DWORD hold_ms_;
};

}  // namespace
}  // namespace vor::desktop

int main(int argc, char** argv) {
  using namespace vor::desktop;
  if (argc != 5) return 64;
  HoldingFileSystem fs(argv[3], static_cast<DWORD>(std::strtoul(argv[2], nullptr, 10)));
  auto bytes = read_bounded_file(fs, argv[1], kImageFileLimit);
  if (!bytes) return 2;
  auto out = make_win32_file_system();
  return write_whole_file(*out, argv[4], *bytes) ? 0 : 2;
}
