#include "platform/process/cmdline.hpp"

#include <gtest/gtest.h>

#include <random>

namespace ombrel::platform {
namespace {

TEST(WindowsCommandLine, QuotesOnlyWhatNeedsIt) {
  const struct {
    std::string arg;
    std::string quoted;
  } cases[] = {
      {"run", "run"},
      {"stdin:", "stdin:"},
      {"C:\\Program Files\\x\\tunnel.json", "\"C:\\Program Files\\x\\tunnel.json\""},
      {"", "\"\""},
      {"a\tb", "\"a\tb\""},
      {"a\"b", "\"a\\\"b\""},
      {"a\\b", "a\\b"},  // backslashes not before a quote are literal
      {"a\\\\b c", "\"a\\\\b c\""},
      {"dir\\ x\\", "\"dir\\ x\\\\\""},  // trailing backslash doubled before the closing quote
      {"x\\\"y", "\"x\\\\\\\"y\""},      // backslash before a quote: doubled, plus the escape
      {"\\\\server\\share\\ s\\\\", "\"\\\\server\\share\\ s\\\\\\\\\""},
      {"\"", "\"\\\"\""},
      {"кириллица с пробелом", "\"кириллица с пробелом\""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(quote_windows_argument(c.arg), c.quoted) << c.arg;
  }
}

TEST(WindowsCommandLine, ProgramIsAlwaysQuoted) {
  const std::vector<std::string> args = {"run", "-c", "C:\\Data Dir\\tunnel.json",
                                         "--disable-color"};
  EXPECT_EQ(windows_command_line("C:\\Program Files\\Ombrel\\sing-box.exe", args),
            "\"C:\\Program Files\\Ombrel\\sing-box.exe\" run -c \"C:\\Data "
            "Dir\\tunnel.json\" --disable-color");
}

// The splitter against the examples of how the Microsoft C runtime reads a
// command line.
TEST(WindowsCommandLine, SplitsByTheRuntimeRules) {
  const struct {
    std::string line;
    std::vector<std::string> args;
  } cases[] = {
      {R"(p "a b c" d e)", {"p", "a b c", "d", "e"}},
      {R"(p "ab\"c" "\\" d)", {"p", "ab\"c", "\\", "d"}},
      {R"(p a\\\b d"e f"g h)", {"p", "a\\\\\\b", "de fg", "h"}},
      {R"(p a\\\"b c d)", {"p", "a\\\"b", "c", "d"}},
      {R"(p a\\\\"b c" d e)", {"p", "a\\\\b c", "d", "e"}},
      {R"(p a"b"" c d)", {"p", "ab\" c d"}},
      {R"("C:\Program Files\x.exe" run)", {"C:\\Program Files\\x.exe", "run"}},
      {"p\t \"\"  x  ", {"p", "", "x"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(split_windows_command_line(c.line), c.args) << c.line;
  }
}

TEST(WindowsCommandLine, EveryArgumentSurvivesTheRoundTrip) {
  std::mt19937 random(7);
  const std::string alphabet = "ab \t\\\"\\\"\\ \xd1\x8f";
  for (int round = 0; round < 2000; ++round) {
    std::vector<std::string> args(random() % 4);
    for (std::string& a : args) {
      const std::size_t len = random() % 8;
      for (std::size_t i = 0; i < len; ++i) a += alphabet[random() % alphabet.size()];
    }
    std::vector<std::string> expected = {"C:\\Program Files\\p.exe"};
    expected.insert(expected.end(), args.begin(), args.end());
    ASSERT_EQ(split_windows_command_line(windows_command_line(expected[0], args)), expected);
  }
}

}  // namespace
}  // namespace ombrel::platform
