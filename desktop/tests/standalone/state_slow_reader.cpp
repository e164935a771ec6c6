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

#include "standalone/state/file_system.h"
#include "standalone/state/state_store.h"

namespace vor::desktop {
namespace {

class HoldingFile final : public OpenFile {
 public:
  HoldingFile(std::unique_ptr<OpenFile> inner, const std::string& ready, DWORD hold_ms)
      : inner_(std::move(inner)), ready_(ready), hold_ms_(hold_ms) {}
  Result<OpenFileFacts> query() override { return inner_->query(); }
  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    if (!held_) {
      held_ = true;
      HANDLE ready = ::CreateFileA(ready_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (ready != INVALID_HANDLE_VALUE) ::CloseHandle(ready);
      ::Sleep(hold_ms_);
    }
    return inner_->read(out);
  }
  Result<std::size_t> write(std::span<const std::uint8_t> data) override { return inner_->write(data); }
  Status flush() override { return inner_->flush(); }

 private:
  std::unique_ptr<OpenFile> inner_;
  std::string ready_;
  DWORD hold_ms_;
  bool held_ = false;
};

// The real file system, except that opened files hold at their first read.
class HoldingFileSystem final : public FileSystem {
 public:
  HoldingFileSystem(const std::string& ready, DWORD hold_ms) : ready_(ready), hold_ms_(hold_ms) {}
  Result<std::uint32_t> attributes(const std::string& path) override { return real_->attributes(path); }
  Result<std::unique_ptr<OpenFile>> open(const std::string& path, const FileOpenOptions& spec) override {
    auto file = real_->open(path, spec);
    if (!file) return file;
    return std::unique_ptr<OpenFile>(std::make_unique<HoldingFile>(std::move(*file), ready_, hold_ms_));
  }
  Status move(const std::string& from, const std::string& to, std::uint32_t flags) override {
    return real_->move(from, to, flags);
  }
  Status remove(const std::string& path) override { return real_->remove(path); }
  Result<std::vector<DirectoryEntry>> list(const std::string& directory) override { return real_->list(directory); }
  Result<std::uint64_t> free_bytes_for_caller(const std::string& path) override {
    return real_->free_bytes_for_caller(path);
  }
  Result<Bytes> descriptor_from_sddl(const std::string& sddl) override { return real_->descriptor_from_sddl(sddl); }
  Status create_directory(const std::string& path, const Bytes& descriptor) override {
    return real_->create_directory(path, descriptor);
  }
  std::uint32_t dacl_size(const std::string& path) override { return real_->dacl_size(path); }
  Result<Bytes> read_dacl(const std::string& path, std::uint32_t size) override { return real_->read_dacl(path, size); }
  Result<RenderedSddl> render_dacl(const Bytes& descriptor) override { return real_->render_dacl(descriptor); }

 private:
  std::unique_ptr<FileSystem> real_ = make_win32_file_system();
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
