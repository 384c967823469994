#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "serving/core_log.hpp"
#include "serving/log_scan.hpp"

namespace ombrel::serving {
namespace {

struct Seen {
  std::string line;
  LogLineInfo info;
};

std::vector<Seen> scanned(std::string_view text, bool need_logged, bool& whole) {
  std::vector<Seen> out;
  whole = scan_log_lines(text, need_logged, [&](std::string_view line, const LogLineInfo& info) {
    out.push_back({std::string(line), info});
  });
  return out;
}

// The lines of `text` (every one ended by a line feed) as LineReader cuts
// them, up to the first that is not UTF-8.
std::vector<std::string> plain_lines(std::string_view text, bool& whole) {
  std::vector<std::string> out;
  whole = true;
  while (!text.empty()) {
    const std::size_t lf = text.find('\n');
    std::string line(text.substr(0, lf));
    text.remove_prefix(lf + 1);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!is_valid_utf8(line)) {
      whole = false;
      break;
    }
    out.push_back(std::move(line));
  }
  return out;
}

// Whole runs of random lines, many shaped like access lines and probe
// failures and many just off those shapes, must come out split as
// LineReader splits them and classified as classify_log_line sees each.
TEST(ScanLogLines, AgreesWithClassifyLogLine) {
  const std::string_view pieces[] = {"[",
                                     "]",
                                     "->",
                                     ">>",
                                     "-",
                                     ">",
                                     " ",
                                     "\t",
                                     "p",
                                     "0",
                                     "7",
                                     "12",
                                     "x",
                                     "observatory",
                                     "error ping",
                                     " with p",
                                     " accepted ",
                                     "\u00a0",
                                     "\r",
                                     "Я",
                                     "2024/05/01 12:00:00.000000 from 127.0.0.1:5000 accepted "
                                     "tcp:www.example.com:443 "};
  const std::string_view tags[] = {"p3",
                                   "p12",
                                   "p",
                                   "P3",
                                   "p3x",
                                   "p007",
                                   "p123456789012345678",
                                   "p1234567890123456789",
                                   "p9223372036854775807",
                                   "p9223372036854775808",
                                   "3",
                                   "direct"};
  const std::string_view arrows[] = {"->",  ">>",  "- >",     ">",       "-->",
                                     ">>>", "->>", "-> a ->", "-> a >>", ">> a ->"};
  const std::string_view blanks[] = {"", " ", "  ", "\t", "\v", "\u00a0", "\u3000"};
  std::mt19937 random(4242);
  const auto any = [&](auto& list) { return std::string(list[random() % std::size(list)]); };
  const auto some = [&](int most) {
    std::string out;
    for (int n = static_cast<int>(random() % (most + 1)); n > 0; --n) out += any(pieces);
    return out;
  };
  const auto random_line = [&]() -> std::string {
    switch (random() % 4) {
      case 0:
        return some(20);
      case 1:  // access lines, mostly in the common form
        return some(3) + "[socks-in" + any(blanks) + any(arrows) + any(blanks) + any(tags) +
               any(blanks) + "]" + (random() % 4 == 0 ? some(2) : "");
      case 2:
        return some(2) + "[Warning] app/observatory: error ping https://cp.example with " +
               any(tags) + some(1);
      default:
        return std::string(random() % 200, 'a') + "[" + some(2) + any(arrows) + any(tags) + "]";
    }
  };
  int routed = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text;
    const int lines = 1 + static_cast<int>(random() % 60);
    for (int i = 0; i < lines; ++i) text += random_line() + (random() % 5 == 0 ? "\r\n" : "\n");
    // Now and then a byte that is not UTF-8, to end the run early.
    if (round % 50 == 0) {
      text.insert(text.begin() + static_cast<std::ptrdiff_t>(random() % text.size()), '\xff');
    }
    bool whole = false;
    const std::vector<std::string> expected = plain_lines(text, whole);
    for (const bool need_logged : {true, false}) {
      bool scanned_whole = true;
      const std::vector<Seen> got = scanned(text, need_logged, scanned_whole);
      ASSERT_EQ(scanned_whole, whole) << text;
      ASSERT_EQ(got.size(), expected.size()) << text;
      for (std::size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i].line, expected[i]);
        LogLineInfo want = classify_log_line(expected[i]);
        if (!need_logged) want.logged = true;
        if (want.channel_in_use) want.logged = false;
        ASSERT_EQ(got[i].info, want) << expected[i];
        routed += want.channel_in_use.has_value();
      }
    }
  }
  EXPECT_GT(routed, 5000);
}

// Access-line endings and near misses, at every offset within a few blocks
// of the sweep, must agree with the full rules.
TEST(ScanLogLines, AgreesOnAccessLineEndingsAtAnyOffset) {
  const std::string_view tails[] = {"[socks-in -> p7]",
                                    "[in >> p12]",
                                    "[a -> b >> p3]",
                                    "[a >> b -> p3]",
                                    "[in ->\tp4\v]",
                                    "[in -> \u00a0p4]",
                                    "[in -> p1234567890123456789]",
                                    "[in -> p123456789012345678]",
                                    "[in -> p5x]",
                                    "[in -> p]",
                                    "[x] [in -> p6]",
                                    "[in -> p6] tail",
                                    "[in -> [p6]",
                                    "[in -> p6]]",
                                    "[-> p8]",
                                    "[>> p9]",
                                    "[->p10]",
                                    "[in - > p2]",
                                    "[in -> p3 \t ]",
                                    "[in -> p3\u00a0]",
                                    "[in ->\u3000p3]",
                                    "[a]-> p3]",
                                    "[a -> b]> p3]",
                                    "[in -> p6] and then more than thirty-two bytes of text",
                                    "[in -> p6] ] and then more than thirty-two bytes of text",
                                    "[in -> p6 and then more than thirty-two bytes of text]",
                                    "[in -> p6]\t",
                                    "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[in -> p2]"};
  for (const auto tail : tails) {
    for (std::size_t pad = 0; pad < 140; ++pad) {
      // Brackets and arrow bytes before the last "[" must not count.
      for (const std::string_view filler : {"x", "]->"}) {
        std::string line;
        for (std::size_t i = 0; i < pad; ++i) line += filler[i % filler.size()];
        line += tail;
        bool whole = false;
        const auto got = scanned(line + "\n", false, whole);
        ASSERT_EQ(got.size(), 1u);
        LogLineInfo want = classify_log_line(line);
        if (!want.channel_in_use) want.logged = true;
        EXPECT_EQ(got[0].info, want) << line;
      }
    }
  }
}

TEST(ScanLogLines, NothingToScan) {
  bool whole = false;
  EXPECT_TRUE(scanned("", true, whole).empty());
  EXPECT_TRUE(whole);
}

}  // namespace
}  // namespace ombrel::serving
