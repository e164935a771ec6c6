#include "bin/command_line.h"

namespace vor::setup {
namespace {

bool is_blank(char16_t c) { return c == u' ' || c == u'\t'; }

}  // namespace

std::vector<std::u16string> split_windows_command_line(std::u16string_view line) {
  std::vector<std::u16string> args;
  std::size_t i = 0;

  // Program name: quotes only toggle, backslashes are plain characters.
  std::u16string name;
  bool quoted = false;
  for (; i < line.size(); ++i) {
    const char16_t c = line[i];
    if (c == u'"') {
      quoted = !quoted;
    } else if (!quoted && is_blank(c)) {
      break;
    } else {
      name += c;
    }
  }
  args.push_back(std::move(name));

  std::u16string current;
  bool in_quotes = false;
  bool has_token = false;
  std::size_t backslashes = 0;
  auto flush_backslashes = [&] {
    current.append(backslashes, u'\\');
    backslashes = 0;
  };
  for (; i < line.size(); ++i) {
    const char16_t c = line[i];
    if (c == u'\\') {
      ++backslashes;
      continue;
    }
    if (c == u'"') {
      current.append(backslashes / 2, u'\\');
      const bool escaped = backslashes % 2 == 1;
      backslashes = 0;
      has_token = true;
      if (escaped) {
        current += u'"';
      } else if (in_quotes && i + 1 < line.size() && line[i + 1] == u'"') {
        current += u'"';
        ++i;
      } else {
        in_quotes = !in_quotes;
      }
      continue;
    }
    if (is_blank(c) && !in_quotes) {
      flush_backslashes();
      if (has_token || !current.empty()) args.push_back(std::move(current));
      current.clear();
      has_token = false;
      continue;
    }
    flush_backslashes();
    current += c;
    has_token = true;
  }
  flush_backslashes();
  if (has_token || !current.empty()) args.push_back(std::move(current));
  return args;
}

Invocation parse_invocation(std::u16string_view command_line) {
  const auto args = split_windows_command_line(command_line);
  if (args.size() != 2) return Invocation::kInvalid;
  if (args[1] == u"--version") return Invocation::kVersion;
  if (args[1] == u"--recover") return Invocation::kRecover;
  return Invocation::kInvalid;
}

}  // namespace vor::setup
