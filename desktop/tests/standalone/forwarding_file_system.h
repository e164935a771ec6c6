// Decorators of the state store's file-system port for test helpers: every
// call goes to another file system (or open file); a decorator overrides
// only the calls it watches.
//
//   class Watching final : public ForwardingFileSystem {
//     Status remove(const std::string& path) override { note(path); return inner().remove(path); }
//   };
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "standalone/state/file_system.h"

namespace vor::desktop::testing {

class ForwardingFile : public OpenFile {
 public:
  explicit ForwardingFile(std::unique_ptr<OpenFile> inner) : inner_(std::move(inner)) {}
  Result<OpenFileFacts> query() override { return inner_->query(); }
  Result<std::size_t> read(std::span<std::uint8_t> out) override { return inner_->read(out); }
  Result<std::size_t> write(std::span<const std::uint8_t> data) override { return inner_->write(data); }
  Status flush() override { return inner_->flush(); }

 private:
  std::unique_ptr<OpenFile> inner_;
};

class ForwardingFileSystem : public FileSystem {
 public:
  explicit ForwardingFileSystem(std::unique_ptr<FileSystem> inner) : inner_(std::move(inner)) {}
  Result<std::uint32_t> attributes(const std::string& path) override { return inner_->attributes(path); }
  Result<std::unique_ptr<OpenFile>> open(const std::string& path, const FileOpenOptions& options) override {
    return inner_->open(path, options);
  }
  Status move(const std::string& from, const std::string& to, std::uint32_t flags) override {
    return inner_->move(from, to, flags);
  }
  Status remove(const std::string& path) override { return inner_->remove(path); }
  Result<std::vector<DirectoryEntry>> list(const std::string& directory) override { return inner_->list(directory); }
  Result<std::uint64_t> free_bytes_for_caller(const std::string& path) override {
    return inner_->free_bytes_for_caller(path);
  }
  Result<Bytes> descriptor_from_sddl(const std::string& sddl) override { return inner_->descriptor_from_sddl(sddl); }
  Status create_directory(const std::string& path, const Bytes& descriptor) override {
    return inner_->create_directory(path, descriptor);
  }
  std::uint32_t dacl_size(const std::string& path) override { return inner_->dacl_size(path); }
  Result<Bytes> read_dacl(const std::string& path, std::uint32_t size) override { return inner_->read_dacl(path, size); }
  Result<RenderedSddl> render_dacl(const Bytes& descriptor) override { return inner_->render_dacl(descriptor); }

 protected:
  FileSystem& inner() { return *inner_; }

 private:
  std::unique_ptr<FileSystem> inner_;
};

}  // namespace vor::desktop::testing
