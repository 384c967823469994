#include <gtest/gtest.h>

#include <random>
#include <string>

#include "serving/scan.hpp"

namespace ombrel::serving::scan {
namespace {

// The scans must agree with std::string_view at every length and alignment,
// including the tails the wide steps leave over.
TEST(Scan, AgreesWithStringView) {
  std::mt19937 random(12345);
  const std::string alphabet = "ab [->]p1 acepdt\x80\xff";
  const std::string needles[] = {" accepted ", "observatory", "error ping", "ab",
                                 "a",          "aba",         "p1]",        "\x80\xff\x80"};
  for (int round = 0; round < 20000; ++round) {
    const std::size_t len = random() % 90;
    std::string s;
    for (std::size_t i = 0; i < len; ++i) s += alphabet[random() % alphabet.size()];
    if (round % 3 == 0 && len > 12) {
      const std::string& n = needles[random() % 3];
      s.replace(random() % (len - 10), n.size(), n);
      s.resize(len);
    }
    const std::size_t offset = random() % 4;  // unaligned views
    const std::string_view v = std::string_view(s).substr(std::min(offset, s.size()));
    const bool ascii = v.find_first_of("\x80\xff") == std::string_view::npos;
    ASSERT_EQ(is_ascii(v), ascii) << v;
    for (const char c : {'[', 'a', '\xff'}) ASSERT_EQ(rfind_byte(v, c), v.rfind(c)) << v;
    ASSERT_EQ(find_byte(v, ']', 0), v.find(']')) << v;
    const std::size_t from = v.empty() ? 0 : random() % v.size();
    ASSERT_EQ(find_byte(v, ']', from), v.find(']', from)) << v;
    const std::size_t to = from + (v.size() > from ? random() % (v.size() - from + 1) : 0);
    const std::string_view range = v.substr(from, to - from);
    for (const auto& pair : {"->", "aa"}) {
      const auto expected = range.rfind(pair);
      ASSERT_EQ(rfind_pair(v, from, to, pair[0], pair[1]),
                expected == std::string_view::npos ? expected : from + expected)
          << v << " " << from << ".." << to;
    }
    for (const auto& n : needles) {
      ASSERT_EQ(contains(v, n), v.find(n) != std::string_view::npos) << v << " / " << n;
      ASSERT_EQ(find(v, n, from), v.find(n, from)) << v << " / " << n << " from " << from;
      ASSERT_EQ(rfind(v, n), v.rfind(n)) << v << " / " << n;
    }
  }
}

TEST(Scan, NeedleAtTheVeryEnds) {
  const std::string pad(40, '.');
  for (std::size_t before = 0; before < 40; ++before) {
    // Appended rather than joined with +: g++ 12 at -O3 reports a false
    // -Wrestrict overlap for "literal" + string.
    const std::string dots = pad.substr(0, before);
    const std::string at_end = std::string(dots).append(" accepted ");
    EXPECT_TRUE(contains(at_end, " accepted ")) << before;
    EXPECT_FALSE(contains(at_end.substr(0, at_end.size() - 1), " accepted ")) << before;
    EXPECT_TRUE(contains(std::string(" accepted ").append(dots), " accepted ")) << before;
    EXPECT_EQ(rfind_byte(std::string("[").append(dots), '['), 0u);
    EXPECT_EQ(rfind_byte(std::string(dots).append("["), '['), before);
  }
}

}  // namespace
}  // namespace ombrel::serving::scan
