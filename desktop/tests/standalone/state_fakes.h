// Scripted fakes of the state store's ports: an in-memory file system with
// Windows sharing and creation semantics, a transparent DPAPI that binds the
// blob to its entropy, a settable clock and identity.
//
// FakeFileSystem can "crash" at the n-th changing call: that call is cut short
// (a write puts half its bytes, or none, a move or delete does nothing) and every later
// call fails, as if the process had died. `restart()` drops the crash and every
// open handle, like a new process on the same disk.
//
// Like Win32 it drops trailing dots and spaces from a path's last component,
// deletes a file that is open only when every handle shares delete access
// (those handles keep reading the old data), never moves over a file that is
// open, and stamps each file with its last write time.
#pragma once

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/data_protection.h"
#include "common/text.h"
#include "standalone/cli/error_codes.h"
#include "standalone/state/file_system.h"
#include "standalone/state/state_store.h"
#include "support/fake_clock.h"

namespace vor::desktop::testing {

inline constexpr std::uint32_t kErrorNotReady = 21;       // every call after a crash
inline constexpr std::uint32_t kErrorInvalidData = 13;    // fake DPAPI refusal
inline constexpr std::uint32_t kErrorDiskFull = 112;
// 2027-01-15T08:00:00Z, the fake clock's start, as a FILETIME.
inline constexpr std::uint64_t kEpochFiletime = (1'800'000'000ull + 11'644'473'600ull) * 10'000'000ull;
inline constexpr std::uint64_t kFiletimeHour = 36'000'000'000ull;

class FakeFileSystem final : public FileSystem {
 public:
  struct Node {
    bool directory = false;
    std::uint32_t extra_attributes = 0;  // e.g. kFileAttributeReparsePoint
    std::uint32_t reparse_tag = 0;
    Bytes data;
    std::string dacl;  // SDDL text of a directory created with a descriptor
    std::optional<std::uint64_t> listed_size;  // what the listing reports, when it differs
    std::optional<std::uint64_t> queried_size;  // what an open handle reports, when it differs
    bool hidden_from_attributes = false;       // a link that appears after the path check
    std::uint64_t last_write = 0;              // FILETIME
  };

  FakeFileSystem() { add_directory("C:\\"); }

  // --- scripting -----------------------------------------------------------
  void add_directory(const std::string& path) { nodes_[path] = Node{true}; remember(path); }
  void add_file(const std::string& path, Bytes data) {
    remember(path);
    nodes_[path] = Node{false, 0, 0, std::move(data)};
    nodes_[path].last_write = now_filetime;
  }
  void add_file(const std::string& path, std::string_view text) { add_file(path, Bytes(text.begin(), text.end())); }
  void make_reparse(const std::string& path, std::uint32_t tag = 0xA000000C /* symlink */) {
    nodes_.at(path).extra_attributes |= kFileAttributeReparsePoint;
    nodes_.at(path).reparse_tag = tag;
  }
  bool exists(const std::string& path) const { return nodes_.count(path) != 0; }
  Node& node(const std::string& path) { return nodes_.at(path); }
  const Bytes& data(const std::string& path) const { return nodes_.at(path).data; }
  std::string text(const std::string& path) const {
    const Bytes& d = data(path);
    return std::string(d.begin(), d.end());
  }
  void erase(const std::string& path) { nodes_.erase(path); }
  // Children names of a directory, in listing order.
  std::vector<std::string> names(const std::string& directory) const {
    std::vector<std::string> out;
    for (const auto& e : children(directory)) out.push_back(e.name);
    return out;
  }

  std::uint64_t free_bytes = 1ull << 40;
  std::optional<std::uint32_t> free_bytes_error;
  std::optional<std::uint32_t> list_error;
  std::optional<std::uint32_t> sddl_error;       // descriptor_from_sddl fails
  std::optional<std::uint32_t> create_dir_error;  // create_directory fails
  std::optional<std::uint32_t> move_error;        // every move fails
  std::optional<std::uint32_t> dacl_size_override;
  std::optional<std::uint32_t> write_error;       // every write fails
  std::size_t write_chunk = 0;                     // writes put at most this many bytes (0: all)
  bool zero_writes = false;                        // writes succeed with 0 bytes
  std::map<std::string, std::uint32_t> open_errors;  // scripted per path
  std::uint64_t now_filetime = kEpochFiletime;       // the last write time files get
  // Called with the path whenever an open file is read or queried, while it
  // is open: what another process does meanwhile.
  std::function<void(const std::string&)> on_access;
  bool render_missing = false;   // render_dacl returns no text
  bool render_unterminated = false;

  // Crash at the n-th changing call (1-based); 0 never.
  void crash_at(int n) { crash_at_ = n; changes_ = 0; }
  // A write cut short puts no byte instead of half of them (the process died
  // between creating a file and writing to it).
  bool cut_writes_nothing = false;
  bool crashed() const { return crashed_; }
  int changes() const { return changes_; }
  void restart() {
    crashed_ = false;
    crash_at_ = 0;
    handles_.clear();
  }

  // --- the port --------------------------------------------------------------
  Result<std::uint32_t> attributes(const std::string& path) override {
    if (crashed_) return dead();
    auto it = nodes_.find(trim(path));
    if (it == nodes_.end()) return fail(Error::os(parent_exists(trim(path)) ? kErrorFileNotFound : kErrorPathNotFound));
    if (it->second.hidden_from_attributes) return 0x80u;
    return attributes_of(it->second);
  }

  Result<std::unique_ptr<OpenFile>> open(const std::string& raw, const FileOpenOptions& options) override;

  Status move(const std::string& from, const std::string& to, std::uint32_t flags) override {
    if (crashed_) return dead();
    if (cut()) return dead();
    if (move_error) return fail(Error::os(*move_error));
    auto it = nodes_.find(from);
    if (it == nodes_.end()) return fail(Error::os(kErrorFileNotFound));
    if (is_open(from)) return fail(Error::os(kErrorSharingViolation));
    if (nodes_.count(to)) {
      if (!(flags & kMoveReplaceExisting)) return fail(Error::os(kErrorAlreadyExists));
      if (is_open(to) || nodes_.at(to).directory) return fail(Error::os(kErrorAccessDenied));
    }
    if (!parent_exists(to)) return fail(Error::os(kErrorPathNotFound));
    Node moved = std::move(it->second);
    nodes_.erase(it);
    remember(to);
    nodes_[to] = std::move(moved);
    return {};
  }

  Status remove(const std::string& path) override {
    if (crashed_) return dead();
    if (cut()) return dead();
    auto it = nodes_.find(path);
    if (it == nodes_.end()) return fail(Error::os(parent_exists(path) ? kErrorFileNotFound : kErrorPathNotFound));
    if (it->second.directory) return fail(Error::os(kErrorAccessDenied));
    for (const auto& [id, h] : handles_) {
      if (h.path == path && !h.detached && !(h.share & kShareDelete)) return fail(Error::os(kErrorSharingViolation));
    }
    if (auto r = remove_errors_.find(path); r != remove_errors_.end()) return fail(Error::os(r->second));
    // Handles that shared delete access keep the old file.
    for (auto& [id, h] : handles_) {
      if (h.path == path && !h.detached) h.detached = std::make_shared<Node>(it->second);
    }
    nodes_.erase(it);
    return {};
  }
  std::map<std::string, std::uint32_t> remove_errors_;  // scripted per path

  Result<std::vector<DirectoryEntry>> list(const std::string& directory) override {
    if (crashed_) return dead();
    if (list_error) return fail(Error::os(*list_error));
    auto it = nodes_.find(trim(directory));
    if (it == nodes_.end() || !it->second.directory) return fail(Error::os(kErrorPathNotFound));
    return children(trim(directory));
  }

  Result<std::uint64_t> free_bytes_for_caller(const std::string&) override {
    if (crashed_) return dead();
    if (free_bytes_error) return fail(Error::os(*free_bytes_error));
    return free_bytes;
  }

  Result<Bytes> descriptor_from_sddl(const std::string& sddl) override {
    if (sddl_error) return fail(Error::os(*sddl_error));
    return Bytes(sddl.begin(), sddl.end());
  }

  Status create_directory(const std::string& path, const Bytes& descriptor) override {
    if (crashed_) return dead();
    if (cut()) return dead();
    if (create_dir_error) return fail(Error::os(*create_dir_error));
    if (nodes_.count(path)) return fail(Error::os(kErrorAlreadyExists));
    if (!parent_exists(path)) return fail(Error::os(kErrorPathNotFound));
    Node n{true};
    n.dacl.assign(descriptor.begin(), descriptor.end());
    nodes_[path] = n;
    remember(path);
    return {};
  }

  std::uint32_t dacl_size(const std::string& path) override {
    if (dacl_size_override) return *dacl_size_override;
    auto it = nodes_.find(path);
    return it == nodes_.end() ? 0 : static_cast<std::uint32_t>(it->second.dacl.size() + 1);
  }

  Result<Bytes> read_dacl(const std::string& path, std::uint32_t) override {
    auto it = nodes_.find(path);
    if (it == nodes_.end()) return fail(Error::os(kErrorFileNotFound));
    return Bytes(it->second.dacl.begin(), it->second.dacl.end());
  }

  Result<RenderedSddl> render_dacl(const Bytes& descriptor) override {
    RenderedSddl out;
    if (render_missing) return out;
    out.present = true;
    auto wide = utf8_to_utf16(std::string(descriptor.begin(), descriptor.end()));
    out.units.assign(wide->begin(), wide->end());
    if (!render_unterminated) out.units.push_back(u'\0');
    return out;
  }

  // --- used by the fake's open files ------------------------------------------
  struct Handle {
    std::string path;
    FileAccess access;
    std::uint32_t share;
    std::shared_ptr<Node> detached;  // the file it had open, deleted meanwhile
  };
  // The file a handle has open; null when a test erased it meanwhile.
  Node* node_of_handle(int id, const std::string& path) {
    Handle& h = handles_.at(id);
    if (h.detached) return h.detached.get();
    auto it = nodes_.find(path);
    return it == nodes_.end() ? nullptr : &it->second;
  }
  bool cut() {
    if (crash_at_ > 0 && ++changes_ == crash_at_) {
      crashed_ = true;
      return true;
    }
    if (crash_at_ == 0) ++changes_;
    return false;
  }
  std::unexpected<Error> dead() const { return fail(Error::os(kErrorNotReady, "process ended")); }
  bool crashed_ = false;
  std::map<int, Handle> handles_;
  std::map<std::string, Node> nodes_;

 private:
  static std::string trim(const std::string& path) {
    // "C:\" keeps its separator; other paths lose a trailing one.
    if (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) return path.substr(0, path.size() - 1);
    // Without one, the last component loses its trailing dots and spaces;
    // one that was nothing else names its directory.
    std::string out = path;
    const std::size_t start = out.find_last_of("\\/") + 1;
    while (out.size() > start && (out.back() == '.' || out.back() == ' ')) out.pop_back();
    if (out.size() == start && out.size() > 3) out.pop_back();
    return out;
  }
  static std::string parent_of(const std::string& path) {
    const auto slash = path.find_last_of("\\/");
    if (slash == std::string::npos) return {};
    if (slash == 2) return path.substr(0, 3);
    return path.substr(0, slash);
  }
  bool parent_exists(const std::string& path) const {
    const std::string parent = parent_of(path);
    auto it = nodes_.find(parent);
    return it != nodes_.end() && it->second.directory;
  }
  static std::uint32_t attributes_of(const Node& n) {
    return (n.directory ? kFileAttributeDirectory : 0x80 /* normal */) | n.extra_attributes;
  }
  bool is_open(const std::string& path) const {
    for (const auto& [id, h] : handles_) {
      if (h.path == path && !h.detached) return true;
    }
    return false;
  }
  std::vector<DirectoryEntry> children(const std::string& directory) const {
    std::vector<DirectoryEntry> out;
    for (const std::string& path : order_) {
      auto it = nodes_.find(path);
      if (it == nodes_.end() || path == directory || parent_of(path) != directory) continue;
      // Each path appears once in order_ even when re-created.
      out.push_back({path.substr(path.find_last_of("\\/") + 1), attributes_of(it->second),
                     it->second.listed_size.value_or(it->second.data.size()), it->second.last_write});
    }
    return out;
  }

 public:
  int crash_at_ = 0;
  int changes_ = 0;
  int next_handle_ = 1;
  std::vector<std::string> order_;  // listing order: where each path was first made
  void remember(const std::string& path) {
    if (std::find(order_.begin(), order_.end(), path) == order_.end()) order_.push_back(path);
  }
};

class FakeOpenFile final : public OpenFile {
 public:
  FakeOpenFile(FakeFileSystem& fs, int id, std::string path) : fs_(fs), id_(id), path_(std::move(path)) {}
  ~FakeOpenFile() override { fs_.handles_.erase(id_); }

  Result<OpenFileFacts> query() override {
    if (fs_.crashed_) return fs_.dead();
    if (fs_.on_access) fs_.on_access(path_);
    const FakeFileSystem::Node* found = fs_.node_of_handle(id_, path_);
    if (!found) return fail(Error::os(kErrorFileNotFound));
    const auto& n = *found;
    return OpenFileFacts{(n.directory ? kFileAttributeDirectory : 0x80u) | n.extra_attributes, n.reparse_tag,
                         n.directory ? 0 : n.queried_size.value_or(n.data.size())};
  }
  Result<std::size_t> read(std::span<std::uint8_t> out) override {
    if (fs_.crashed_) return fs_.dead();
    if (fs_.on_access) fs_.on_access(path_);
    const Bytes& d = fs_.node_of_handle(id_, path_)->data;
    const std::size_t n = std::min(out.size(), d.size() - std::min(d.size(), position_));
    if (n > 0) std::memcpy(out.data(), d.data() + position_, n);
    position_ += n;
    return n;
  }
  Result<std::size_t> write(std::span<const std::uint8_t> data) override {
    if (fs_.crashed_) return fs_.dead();
    if (fs_.write_error) return fail(Error::os(*fs_.write_error));
    std::size_t n = data.size();
    const bool cut = fs_.cut();
    if (cut) n = fs_.cut_writes_nothing ? 0 : n / 2;
    if (fs_.write_chunk && n > fs_.write_chunk) n = fs_.write_chunk;
    if (fs_.zero_writes) n = 0;
    FakeFileSystem::Node& node = *fs_.node_of_handle(id_, path_);
    node.last_write = fs_.now_filetime;
    Bytes& d = node.data;
    if (d.size() < position_ + n) d.resize(position_ + n);
    if (n > 0) std::memcpy(d.data() + position_, data.data(), n);
    position_ += n;
    if (cut) return fs_.dead();
    return n;
  }
  Status flush() override {
    if (fs_.crashed_) return fs_.dead();
    if (fs_.cut()) return fs_.dead();
    return {};
  }

 private:
  FakeFileSystem& fs_;
  int id_;
  std::string path_;
  std::size_t position_ = 0;
};

inline Result<std::unique_ptr<OpenFile>> FakeFileSystem::open(const std::string& raw, const FileOpenOptions& options) {
  if (crashed_) return dead();
  const std::string path = trim(raw);
  if (auto e = open_errors.find(path); e != open_errors.end()) return fail(Error::os(e->second));
  auto it = nodes_.find(path);
  if (it == nodes_.end()) {
    if (options.creation == FileCreation::kOpenExisting) {
      return fail(Error::os(parent_exists(path) ? kErrorFileNotFound : kErrorPathNotFound));
    }
    if (!parent_exists(path)) return fail(Error::os(kErrorPathNotFound));
  } else {
    if (options.creation == FileCreation::kCreateNew) return fail(Error::os(kErrorFileExists));
    if (it->second.directory && !options.backup_semantics) return fail(Error::os(kErrorAccessDenied));
  }
  const bool wants_read = options.access != FileAccess::kWrite;
  const bool wants_write = options.access != FileAccess::kRead;
  for (const auto& [id, h] : handles_) {
    if (h.path != path) continue;
    const bool has_read = h.access != FileAccess::kWrite;
    const bool has_write = h.access != FileAccess::kRead;
    if ((wants_read && !(h.share & kShareRead)) || (wants_write && !(h.share & kShareWrite)) ||
        (has_read && !(options.share & kShareRead)) || (has_write && !(options.share & kShareWrite))) {
      return fail(Error::os(kErrorSharingViolation));
    }
  }
  if (it == nodes_.end()) {
    if (cut()) return dead();
    nodes_[path] = Node{};
    nodes_[path].last_write = now_filetime;
    remember(path);
  }
  const int id = next_handle_++;
  handles_[id] = Handle{path, options.access, options.share};
  return std::unique_ptr<OpenFile>(std::make_unique<FakeOpenFile>(*this, id, path));
}

// DPAPI stand-in: the "blob" is a marker, the entropy, the plaintext's length
// and the plaintext, padded by `overhead` bytes; it opens only whole and with
// the same entropy.
class FakeDataProtection final : public DataProtection {
 public:
  static constexpr std::size_t kFrame = 3 + 2 + 4;  // marker, entropy length, plaintext length
  std::size_t overhead = 64;
  std::optional<std::uint32_t> protect_error;
  std::optional<std::uint32_t> unprotect_error;
  std::uint32_t last_protect_flags = 0;
  std::uint32_t last_unprotect_flags = 0;
  std::string last_entropy;

  Result<Bytes> protect(std::span<const std::uint8_t> plaintext, std::span<const std::uint8_t> entropy,
                        std::uint32_t flags) override {
    last_protect_flags = flags;
    last_entropy.assign(entropy.begin(), entropy.end());
    if (protect_error) return fail(Error::os(*protect_error));
    Bytes blob = {'F', 'D', 'P', static_cast<std::uint8_t>(entropy.size() >> 8), static_cast<std::uint8_t>(entropy.size())};
    blob.insert(blob.end(), entropy.begin(), entropy.end());
    const std::uint32_t n = static_cast<std::uint32_t>(plaintext.size());
    for (int shift : {24, 16, 8, 0}) blob.push_back(static_cast<std::uint8_t>(n >> shift));
    blob.insert(blob.end(), plaintext.begin(), plaintext.end());
    blob.insert(blob.end(), overhead, 0xEE);
    return blob;
  }
  Result<Bytes> unprotect(std::span<const std::uint8_t> blob, std::span<const std::uint8_t> entropy,
                          std::uint32_t flags) override {
    last_unprotect_flags = flags;
    if (unprotect_error) return fail(Error::os(*unprotect_error));
    if (blob.size() < kFrame || blob[0] != 'F' || blob[1] != 'D' || blob[2] != 'P') return fail(Error::os(kErrorInvalidData));
    const std::size_t e = (std::size_t{blob[3]} << 8) | blob[4];
    if (e != entropy.size() || blob.size() < kFrame + e || !std::equal(entropy.begin(), entropy.end(), blob.begin() + 5)) {
      return fail(Error::os(kErrorInvalidData));
    }
    std::size_t n = 0;
    for (int i = 0; i < 4; ++i) n = (n << 8) | blob[5 + e + i];
    if (blob.size() != kFrame + e + n + overhead) return fail(Error::os(kErrorInvalidData));
    const auto start = blob.begin() + static_cast<std::ptrdiff_t>(kFrame + e);
    return Bytes(start, start + static_cast<std::ptrdiff_t>(n));
  }
};

class FakeIdentity final : public CallerIdentity {
 public:
  std::string sid = "S-1-5-21-1-2-3-1000";
  std::optional<std::uint32_t> error;
  Result<std::string> current_user_sid() override {
    if (error) return fail(Error::os(*error).context("DESKTOP_TOKEN_UNAVAILABLE"));
    return sid;
  }
};

inline std::string code_of(const Error& e) { return error_code_of(e); }

inline Bytes bytes_of(std::string_view text) { return Bytes(text.begin(), text.end()); }

}  // namespace vor::desktop::testing
