#include "bin/command_line.h"

#include <gtest/gtest.h>

namespace vor::setup {
namespace {

TEST(SplitCommandLine, WindowsRules) {
  struct Case {
    std::u16string line;
    std::vector<std::u16string> args;
  };
  const Case cases[] = {
      {u"", {u""}},
      {u"prog", {u"prog"}},
      {u"\"C:\\Program Files\\x.exe\" --recover", {u"C:\\Program Files\\x.exe", u"--recover"}},
      {u"C:\\dir\\\"x y\".exe a", {u"C:\\dir\\x y.exe", u"a"}},  // no escapes in the program name
      {u"p  a\t\tb ", {u"p", u"a", u"b"}},
      {u"p \"a b\" c", {u"p", u"a b", u"c"}},
      {u"p \"\"", {u"p", u""}},
      {u"p a\\\\b", {u"p", u"a\\\\b"}},            // backslashes not before a quote stay
      {u"p a\\\"b", {u"p", u"a\"b"}},              // \" is a literal quote
      {u"p a\\\\\"b c\"", {u"p", u"a\\b c"}},      // \\" is a backslash, then a quote that groups
      {u"p \"a\"\"b\"", {u"p", u"a\"b"}},          // "" inside quotes is a literal quote
      {u"p \"unterminated", {u"p", u"unterminated"}},
      {u"p --ver\"sion\"", {u"p", u"--version"}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(split_windows_command_line(c.line), c.args);
  }
}

TEST(ParseInvocation, ExactlyOneKnownArgument) {
  struct Case {
    std::u16string line;
    Invocation want;
  };
  const Case cases[] = {
      {u"prog --version", Invocation::kVersion},
      {u"prog --recover", Invocation::kRecover},
      {u"\"C:\\Program Files\\prog.exe\" \"--recover\"", Invocation::kRecover},
      {u"prog --recover\t", Invocation::kRecover},
      {u"", Invocation::kInvalid},
      {u"prog", Invocation::kInvalid},
      {u"prog --version --version", Invocation::kInvalid},
      {u"prog --version --recover", Invocation::kInvalid},
      {u"prog --VERSION", Invocation::kInvalid},
      {u"prog --Recover", Invocation::kInvalid},
      {u"prog -version", Invocation::kInvalid},
      {u"prog /recover", Invocation::kInvalid},
      {u"prog \"--version \"", Invocation::kInvalid},
      {u"prog \"\"", Invocation::kInvalid},
      {u"prog --recover \"\"", Invocation::kInvalid},
      {u"prog --recover\xD800", Invocation::kInvalid},  // not valid UTF-16
      {u"prog help", Invocation::kInvalid},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parse_invocation(c.line), c.want) << std::string(c.line.begin(), c.line.end());
  }
  EXPECT_EQ(kVersionLine.size(), 41u);
}

}  // namespace
}  // namespace vor::setup
