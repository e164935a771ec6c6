// Windows path texts (UTF-8, backslash separators) handled as plain strings,
// so the rules that build and split them run natively too.
//
//   join("C:\\ProgramData", "Vor")      -> "C:\\ProgramData\\Vor"
//   parent("C:\\a\\b.lock")             -> "C:\\a"     (nullopt for "C:\\" or "b")
//   replace_extension("C:\\a\\x.lock", "stale-1") -> "C:\\a\\x.stale-1"
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vor::setup {

std::string join(std::string_view base, std::string_view name);

// The path without its last component, or nullopt when there is none (a bare
// name, a drive root "C:\", a UNC share root).
std::optional<std::string> parent(std::string_view path);

// The last component ("" for a root).
std::string_view file_name(std::string_view path);

// Replaces the text after the last dot of the file name (or appends "." and
// `extension` when the name has none, or only a leading dot).
std::string replace_extension(std::string_view path, std::string_view extension);

}  // namespace vor::setup
