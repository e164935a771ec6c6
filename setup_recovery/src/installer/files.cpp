#include "installer/files.h"

#include "common/atomic_write.h"
#include "installer/paths.h"

namespace vor::setup {
namespace {

bool is_directory(FileSystem& files, const std::string& path) {
  auto meta = files.metadata(path, true);
  return meta && (meta->attributes & kFileAttributeDirectory) != 0;
}

// One directory, its parents first when they are missing.
Status make_directory_tree(FileSystem& files, const std::string& path, int depth) {
  auto made = files.create_directory(path);
  if (made) return {};
  const auto code = made.error().os_error();
  if (code == kErrorAlreadyExists && is_directory(files, path)) return {};
  if (code != kErrorPathNotFound && code != kErrorFileNotFound) return made;
  const auto up = parent(path);
  if (!up || depth > 256) return made;
  if (auto parents = make_directory_tree(files, *up, depth + 1); !parents) return parents;
  made = files.create_directory(path);
  if (made) return {};
  if (made.error().os_error() == kErrorAlreadyExists && is_directory(files, path)) return {};
  return made;
}

}  // namespace

Status create_directories(FileSystem& files, const std::string& path) { return make_directory_tree(files, path, 0); }

Status replace_file_write_through(FileSystem& files, const std::string& from, const std::string& to) {
  if (auto moved = files.move_replace_write_through(from, to); !moved) {
    return fail(std::move(moved.error()).context("atomically replace protected state"));
  }
  return {};
}

namespace {

// Shared for deletion, the temporary is moved while still open; any failure
// after its creation deletes it.
constexpr AtomicWriteOptions kSetupWrite{.move_while_open = true, .keep_failed_temporary = false};

}  // namespace

namespace {

// The temporary as the crash-safe write sees it; with `describe`, each
// failure says which step on which file.
class TemporaryFile final : public AtomicWriteFile {
 public:
  TemporaryFile(std::unique_ptr<WritableFile> file, const std::string& path, bool describe)
      : file_(std::move(file)), path_(path), describe_(describe) {}
  Status write_all(std::span<const std::uint8_t> bytes) override {
    if (auto written = file_->write_all(bytes); !written) return fail(described(written.error(), "write"));
    return {};
  }
  Status flush() override {
    if (auto flushed = file_->flush(); !flushed) return fail(described(flushed.error(), "flush"));
    return {};
  }

 private:
  Error described(Error error, const char* step) const {
    return describe_ ? std::move(error).context(std::string(step) + " temporary state " + path_) : error;
  }

  std::unique_ptr<WritableFile> file_;
  const std::string& path_;
  bool describe_;
};

}  // namespace

TemporarySibling::TemporarySibling(FileSystem& files, const std::string& temp, const std::string& target,
                                   bool describe_failures)
    : files_(files), temp_(temp), target_(target), describe_(describe_failures) {}

Result<std::unique_ptr<AtomicWriteFile>> TemporarySibling::create_temporary() {
  auto file = files_.create_new(temp_, FileShare::kReadWriteDelete);
  if (!file) {
    if (!describe_) return fail(std::move(file.error()));
    return fail(std::move(file.error()).context("create temporary state " + temp_));
  }
  return std::unique_ptr<AtomicWriteFile>(std::make_unique<TemporaryFile>(std::move(*file), temp_, describe_));
}

Status TemporarySibling::move_to_target() { return replace_file_write_through(files_, temp_, target_); }

void TemporarySibling::remove_temporary() { (void)files_.delete_file(temp_); }

Status write_file_atomically(FileSystem& files, IdSource& ids, const std::string& target,
                             std::span<const std::uint8_t> bytes) {
  const auto dir = parent(target);
  if (!dir) return fail("state path has no parent: " + target);
  if (auto made = create_directories(files, *dir); !made) {
    return fail(std::move(made.error()).context("create " + *dir));
  }
  auto id = ids.new_uuid_hex();
  if (!id) return fail(std::move(id.error()).context("name temporary state in " + *dir));
  const std::string temp = join(*dir, ".state-" + *id + ".tmp");
  TemporarySibling steps(files, temp, target, /*describe_failures=*/true);
  return write_via_temporary(steps, bytes, kSetupWrite);
}

}  // namespace vor::setup
