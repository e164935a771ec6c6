#include "installer/files.h"

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
  auto file = files.create_new(temp, FileShare::kReadWriteDelete);
  if (!file) return fail(std::move(file.error()).context("create temporary state " + temp));

  Status outcome;
  if (auto written = (*file)->write_all(bytes); !written) {
    outcome = fail(std::move(written.error()).context("write temporary state " + temp));
  } else if (auto flushed = (*file)->flush(); !flushed) {
    outcome = fail(std::move(flushed.error()).context("flush temporary state " + temp));
  } else {
    outcome = replace_file_write_through(files, temp, target);
  }
  file->reset();  // close before the clean-up delete
  if (!outcome) (void)files.delete_file(temp);
  return outcome;
}

}  // namespace vor::setup
