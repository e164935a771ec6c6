#include "windows/command_line_quote.h"

namespace vor::desktop {

std::string quote_windows_argument(std::string_view text) {
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : text) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"') {
      out.append(2 * backslashes + 1, '\\');
    } else {
      out.append(backslashes, '\\');
    }
    backslashes = 0;
    out += c;
  }
  // Doubled before the closing quote, so that they stay backslashes.
  out.append(2 * backslashes, '\\');
  out += '"';
  return out;
}

}  // namespace vor::desktop
