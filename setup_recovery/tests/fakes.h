// Scripted fakes of the setup-recovery ports. Each test sets up the files,
// processes, time and ids it needs and scripts the failures of single calls
// ("op path" -> Win32 error); every call is logged as "op path".
#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "common/data_protection.h"
#include "installer/paths.h"
#include "installer/ports.h"

namespace vor::setup::testing {

inline Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }
inline std::string text_of(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

class FakeFileSystem final : public FileSystem {
 public:
  struct Node {
    bool directory = false;
    Bytes data;
    std::uint32_t extra_attributes = 0;  // e.g. kFileAttributeReparsePoint
    std::uint64_t last_write = 0;
    int open_without_delete_share = 0;
    std::optional<std::uint64_t> reported_size;  // what a reader's size() says, when not the data's
  };

  std::map<std::string, Node> nodes;
  std::map<std::string, std::uint32_t> failures;  // "op path" -> Win32 error
  std::vector<std::string> calls;
  std::size_t last_read_limit = 0;
  std::uint64_t write_time = 0;  // last-write stamp for files written through the fake
  // Runs after each call has been logged and before it acts ("op", path).
  std::function<void(FakeFileSystem&, const std::string&, const std::string&)> on_call;

  FakeFileSystem() { nodes["C:\\"].directory = true; }

  void add_dir(const std::string& path) {
    for (auto p = std::optional<std::string>(path); p; p = parent(*p)) nodes[*p].directory = true;
  }
  void add_file(const std::string& path, Bytes data, std::uint64_t last_write = 0) {
    if (auto up = parent(path)) add_dir(*up);
    Node& n = nodes[path];
    n.directory = false;
    n.data = std::move(data);
    n.last_write = last_write;
  }
  bool exists(const std::string& path) const { return nodes.count(path) != 0; }
  std::string content(const std::string& path) const {
    auto it = nodes.find(path);
    return it == nodes.end() ? std::string("<absent>") : text_of(it->second.data);
  }
  // Names directly inside `dir`.
  std::vector<std::string> children(const std::string& dir) const {
    std::vector<std::string> out;
    for (const auto& [path, node] : nodes) {
      if (parent(path) == dir) out.push_back(std::string(file_name(path)));
    }
    return out;
  }

  Status create_directory(const std::string& path) override {
    if (auto e = scripted("create_directory", path)) return fail(*e);
    if (exists(path)) return fail(Error::os(kErrorAlreadyExists));
    if (!parent_is_dir(path)) return fail(Error::os(kErrorPathNotFound));
    nodes[path].directory = true;
    return {};
  }

  Result<std::unique_ptr<WritableFile>> create_new(const std::string& path, FileShare share) override {
    if (auto e = scripted("create_new", path)) return fail(*e);
    if (exists(path)) return fail(Error::os(kErrorFileExists));
    if (!parent_is_dir(path)) return fail(Error::os(kErrorPathNotFound));
    Node& n = nodes[path];
    n.last_write = write_time;
    if (share == FileShare::kRead) ++n.open_without_delete_share;
    return std::unique_ptr<WritableFile>(std::make_unique<File>(*this, path, share));
  }

  Result<Bytes> read_file(const std::string& path, std::size_t max_bytes) override {
    last_read_limit = max_bytes;
    if (auto e = scripted("read_file", path)) return fail(*e);
    auto it = nodes.find(path);
    if (it == nodes.end()) return fail(Error::os(kErrorFileNotFound));
    if (it->second.directory) return fail(Error::os(kErrorAccessDenied));
    const Bytes& d = it->second.data;
    return Bytes(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(std::min(max_bytes, d.size())));
  }

  Result<std::unique_ptr<ReadableFile>> open_read(const std::string& path) override {
    if (auto e = scripted("open_read", path)) return fail(*e);
    auto it = nodes.find(path);
    if (it == nodes.end()) return fail(Error::os(parent_is_dir(path) ? kErrorFileNotFound : kErrorPathNotFound));
    if (it->second.directory) return fail(Error::os(kErrorAccessDenied));
    return std::unique_ptr<ReadableFile>(std::make_unique<Reader>(*this, path));
  }

  Result<FileMetadata> metadata(const std::string& path, bool follow_links) override {
    if (auto e = scripted(follow_links ? "metadata_follow" : "metadata", path)) return fail(*e);
    auto it = nodes.find(path);
    if (it == nodes.end()) return fail(Error::os(parent_is_dir(path) ? kErrorFileNotFound : kErrorPathNotFound));
    const Node& n = it->second;
    std::uint32_t attributes = n.extra_attributes | (n.directory ? kFileAttributeDirectory : 0x80);
    if (follow_links) attributes &= ~kFileAttributeReparsePoint;
    return FileMetadata{attributes, n.data.size(), n.last_write};
  }

  Status move_replace_write_through(const std::string& from, const std::string& to) override {
    if (auto e = scripted("move", from)) return fail(*e);
    auto it = nodes.find(from);
    if (it == nodes.end()) return fail(Error::os(kErrorFileNotFound));
    if (it->second.open_without_delete_share > 0) return fail(Error::os(32));
    if (exists(to) && nodes[to].directory) return fail(Error::os(kErrorAccessDenied));
    Node moved = it->second;
    nodes.erase(it);
    nodes[to] = std::move(moved);
    rename_open(from, to);
    return {};
  }

  Status delete_file(const std::string& path) override {
    if (auto e = scripted("delete", path)) return fail(*e);
    auto it = nodes.find(path);
    if (it == nodes.end()) return fail(Error::os(kErrorFileNotFound));
    if (it->second.open_without_delete_share > 0) return fail(Error::os(32));
    nodes.erase(it);
    return {};
  }

  Status remove_directory(const std::string& path) override {
    if (auto e = scripted("remove_directory", path)) return fail(*e);
    auto it = nodes.find(path);
    if (it == nodes.end()) return fail(Error::os(parent_is_dir(path) ? kErrorFileNotFound : kErrorPathNotFound));
    if (!it->second.directory) return fail(Error::os(267));  // ERROR_DIRECTORY
    if (!children(path).empty()) return fail(Error::os(kErrorDirNotEmpty));
    nodes.erase(it);
    return {};
  }

  std::size_t largest_read = 0;  // the biggest buffer a reader was handed

 private:
  // Reads the node's bytes as they are when each read happens.
  class Reader final : public ReadableFile {
   public:
    Reader(FakeFileSystem& fs, std::string path) : fs_(fs), path_(std::move(path)) {}
    ~Reader() override { fs_.calls.push_back("close_read " + path_); }
    Result<std::uint64_t> size() override {
      auto it = fs_.nodes.find(path_);
      if (it == fs_.nodes.end()) return std::uint64_t{0};
      return it->second.reported_size.value_or(it->second.data.size());
    }
    Result<std::size_t> read(std::span<std::uint8_t> into) override {
      if (auto e = fs_.scripted("read", path_)) return fail(*e);
      fs_.largest_read = std::max(fs_.largest_read, into.size());
      auto it = fs_.nodes.find(path_);
      if (it == fs_.nodes.end()) return fail(Error::os(6));
      const Bytes& d = it->second.data;
      const std::size_t n = std::min(into.size(), d.size() - std::min(d.size(), offset_));
      std::copy_n(d.begin() + static_cast<std::ptrdiff_t>(offset_), n, into.begin());
      offset_ += n;
      return n;
    }

   private:
    FakeFileSystem& fs_;
    std::string path_;
    std::size_t offset_ = 0;
  };

  class File final : public WritableFile {
   public:
    File(FakeFileSystem& fs, std::string path, FileShare share) : path_(std::move(path)), fs_(fs), share_(share) {
      fs_.open_files_.insert(this);
    }
    ~File() override {
      fs_.open_files_.erase(this);
      auto it = fs_.nodes.find(path_);
      if (share_ == FileShare::kRead && it != fs_.nodes.end()) --it->second.open_without_delete_share;
      fs_.calls.push_back("close " + path_);
    }
    Status write_all(std::span<const std::uint8_t> bytes) override {
      if (auto e = fs_.scripted("write", path_)) return fail(*e);
      auto& data = fs_.nodes[path_].data;
      data.insert(data.end(), bytes.begin(), bytes.end());
      return {};
    }
    Status flush() override {
      if (auto e = fs_.scripted("flush", path_)) return fail(*e);
      return {};
    }
    std::string path_;

   private:
    FakeFileSystem& fs_;
    FileShare share_;
    friend class FakeFileSystem;
  };

  std::optional<Error> scripted(const std::string& op, const std::string& path) {
    calls.push_back(op + " " + path);
    if (on_call) on_call(*this, op, path);
    auto it = failures.find(op + " " + path);
    if (it == failures.end()) return std::nullopt;
    return Error::os(it->second);
  }
  bool parent_is_dir(const std::string& path) const {
    auto up = parent(path);
    if (!up) return true;
    auto it = nodes.find(*up);
    return it != nodes.end() && it->second.directory;
  }
  void rename_open(const std::string& from, const std::string& to) {
    for (File* f : open_files_) {
      if (f->path_ == from) f->path_ = to;
    }
  }

  std::set<File*> open_files_;
};

class FakeProcessSys final : public ProcessSys {
 public:
  std::uint32_t own_pid = 4242;
  std::set<std::uint32_t> live;                   // opens succeed
  std::map<std::uint32_t, std::uint32_t> errors;  // pid -> Win32 error; others not live: 87
  std::vector<std::uint32_t> opened;

  std::uint32_t current_process_id() override { return own_pid; }
  Status open_process_query_limited(std::uint32_t pid) override {
    opened.push_back(pid);
    if (auto it = errors.find(pid); it != errors.end()) return fail(Error::os(it->second));
    if (live.count(pid) != 0) return {};
    return fail(Error::os(kErrorInvalidParameter));
  }
};

class FakeClock final : public Clock {
 public:
  std::uint64_t now = 134'098'000'000'000'000;  // 2025-12-08
  std::uint64_t now_filetime() override { return now; }
};

// Ids "00000000000000000000000000000001", "...02", ... unless scripted.
class FakeIds final : public IdSource {
 public:
  std::deque<Result<std::string>> scripted;
  int next = 0;
  Result<std::string> new_uuid_hex() override {
    if (!scripted.empty()) {
      auto id = std::move(scripted.front());
      scripted.pop_front();
      return id;
    }
    std::string hex = std::to_string(++next);
    return std::string(32 - hex.size(), '0') + hex;
  }
};

// "DPAPI" that prefixes a marker; unprotect refuses anything without it.
class FakeProtection final : public DataProtection {
 public:
  std::optional<std::uint32_t> protect_error, unprotect_error;
  std::vector<std::uint32_t> protect_flags, unprotect_flags;
  bool entropy_seen = false;

  static Bytes seal(std::string_view plaintext) { return bytes_of("SEALED:" + std::string(plaintext)); }

  Result<Bytes> protect(std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> entropy,
                        std::uint32_t flags) override {
    protect_flags.push_back(flags);
    entropy_seen = entropy_seen || !entropy.empty();
    if (protect_error) return fail(Error::os(*protect_error));
    return seal(std::string(plaintext.begin(), plaintext.end()));
  }
  Result<Bytes> unprotect(std::span<const std::uint8_t> blob, std::span<const std::uint8_t> entropy,
                          std::uint32_t flags) override {
    unprotect_flags.push_back(flags);
    entropy_seen = entropy_seen || !entropy.empty();
    if (unprotect_error) return fail(Error::os(*unprotect_error));
    const std::string text(blob.begin(), blob.end());
    if (text.rfind("SEALED:", 0) != 0) return fail(Error::os(13));
    return bytes_of(text.substr(7));
  }
};

// The whole set, wired together.
struct FakePorts {
  FakeFileSystem files;
  FakeProcessSys processes;
  FakeClock clock;
  FakeIds ids;
  FakeProtection protection;
  SetupPorts ports{files, processes, clock, ids, protection};
};

}  // namespace vor::setup::testing
