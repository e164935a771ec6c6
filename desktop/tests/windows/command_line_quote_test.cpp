#include <gtest/gtest.h>

#include "windows/worker_launch.h"

namespace vor::desktop {
namespace {

TEST(QuoteWindowsArgument, BackslashesDoubleOnlyBeforeAQuoteOrTheEnd) {
  struct Case {
    const char* text;
    const char* quoted;
  };
  const Case cases[] = {
      {"", R"("")"},
      {"plain", R"("plain")"},
      {"C:\\Program Files\\Vor\\Vor.Marionet.exe", R"("C:\Program Files\Vor\Vor.Marionet.exe")"},
      {"C:\\state\\", R"("C:\state\\")"},
      {"C:\\state\\\\", R"("C:\state\\\\")"},
      {"say \"hi\"", R"("say \"hi\"")"},
      {"a\\\"b", R"("a\\\"b")"},
      {"a\\\\\"b", R"("a\\\\\"b")"},
      {"\\\\server\\share", R"("\\server\share")"},
      {"\"", R"("\"")"},
      {"tab\tand space", "\"tab\tand space\""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(quote_windows_argument(c.text), c.quoted) << c.text;
  }
}

}  // namespace
}  // namespace vor::desktop
