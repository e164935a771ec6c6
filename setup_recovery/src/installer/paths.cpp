#include "installer/paths.h"

namespace vor::setup {
namespace {

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Length of the root prefix that parent() never strips: "C:\", "C:", "\\server\share\", "\".
std::size_t root_length(std::string_view path) {
  if (path.size() >= 2 && path[1] == ':') {
    return path.size() >= 3 && is_separator(path[2]) ? 3 : 2;
  }
  if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
    // \\server\share\ (or \\?\C:\ and the like): two further components belong to the root.
    std::size_t pos = 2;
    for (int parts = 0; parts < 2 && pos < path.size(); ++parts) {
      while (pos < path.size() && !is_separator(path[pos])) ++pos;
      if (pos < path.size()) ++pos;
    }
    return pos;
  }
  if (!path.empty() && is_separator(path[0])) return 1;
  return 0;
}

}  // namespace

std::string join(std::string_view base, std::string_view name) {
  std::string out(base);
  if (!out.empty() && !is_separator(out.back())) out += '\\';
  out += name;
  return out;
}

std::optional<std::string> parent(std::string_view path) {
  const std::size_t root = root_length(path);
  std::size_t end = path.size();
  while (end > root && is_separator(path[end - 1])) --end;
  if (end <= root) return std::nullopt;
  std::size_t cut = end;
  while (cut > root && !is_separator(path[cut - 1])) --cut;
  if (cut == 0) return std::nullopt;  // a bare relative name
  std::size_t keep = cut;
  while (keep > root && is_separator(path[keep - 1])) --keep;
  return std::string(path.substr(0, keep));
}

std::string_view file_name(std::string_view path) {
  const std::size_t root = root_length(path);
  std::size_t end = path.size();
  while (end > root && is_separator(path[end - 1])) --end;
  std::size_t start = end;
  while (start > root && !is_separator(path[start - 1])) --start;
  return path.substr(start, end - start);
}

std::string replace_extension(std::string_view path, std::string_view extension) {
  const std::string_view name = file_name(path);
  const std::size_t name_start = static_cast<std::size_t>(name.data() - path.data());
  const std::size_t dot = name.rfind('.');
  std::string out;
  if (dot == std::string_view::npos || dot == 0) {
    out = std::string(path.substr(0, name_start + name.size()));
  } else {
    out = std::string(path.substr(0, name_start + dot));
  }
  out += '.';
  out += extension;
  return out;
}

}  // namespace vor::setup
