#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "scripted_reader.hpp"
#include "serving/line_reader.hpp"

namespace ombrel::serving {
namespace {

std::vector<std::string> all_lines(std::vector<std::string> chunks, bool fail_at_end = false) {
  std::vector<ScriptedReader::Chunk> script;
  for (auto& c : chunks) script.push_back({std::move(c)});
  ScriptedReader reader(std::move(script), fail_at_end);
  LineReader lines(reader);
  std::vector<std::string> out;
  while (const auto line = lines.next_line()) out.emplace_back(*line);
  EXPECT_FALSE(lines.next_line()) << "stays ended";
  return out;
}

using Lines = std::vector<std::string>;

TEST(LineReader, SplitsAtLineFeeds) {
  const std::string long_line(3 * LineReader::BUFFER_SIZE + 17, 'x');
  const struct {
    const char* name;
    std::vector<std::string> chunks;
    Lines expected;
  } cases[] = {
      {"plain", {"a\nb\n"}, {"a", "b"}},
      {"one carriage return removed", {"a\r\nb\r\r\nc\rd\n"}, {"a", "b\r", "c\rd"}},
      {"empty lines", {"\n\r\n\n"}, {"", "", ""}},
      {"last line without line feed", {"a\nb"}, {"a", "b"}},
      {"last line a lone carriage return", {"a\n\r"}, {"a", "\r"}},
      {"nothing", {}, {}},
      {"split across reads", {"ab", "c\nd", "e\n", "\n"}, {"abc", "de", ""}},
      {"carriage return in one read, line feed in the next", {"a\r", "\nb\n"}, {"a", "b"}},
      {"character split across reads", {"\xd0", "\xaf\n"}, {"Я"}},
      {"longer than the buffer", {long_line + "\nz\n"}, {long_line, "z"}},
      {"invalid UTF-8 ends", {"a\nb\xff\nc\n"}, {"a"}},
      {"surrogate ends", {"a\n\xed\xa0\x80\nc\n"}, {"a"}},
      {"invalid UTF-8 in a last line", {"a\n\xc0\xaf"}, {"a"}},
  };
  for (const auto& c : cases) EXPECT_EQ(all_lines(c.chunks), c.expected) << c.name;
}

TEST(LineReader, AgreesWithAPlainSplitWhateverTheReadSizes) {
  std::mt19937 random(7);
  const std::string_view pieces[] = {"a", "\n", "\r", "\r\n", "Я", "line of some length ", "\n\n"};
  for (int round = 0; round < 300; ++round) {
    std::string text;
    const std::size_t target = random() % 40000;
    while (text.size() < target) {
      const auto piece = pieces[random() % std::size(pieces)];
      text.append(random() % 5 == 0 ? std::string(random() % 9000, 'x') : std::string(piece));
      // Now and then a line over the cap.
      if (random() % 200 == 0) text.append(std::string(LineReader::MAX_LINE_BYTES - 3, 'x'));
    }
    Lines expected;
    for (std::size_t start = 0; start < text.size();) {
      const auto lf = text.find('\n', start);
      std::string line =
          text.substr(start, lf == std::string::npos ? std::string::npos : lf - start);
      if (line.size() > LineReader::MAX_LINE_BYTES) {
        std::size_t cut = LineReader::MAX_LINE_BYTES;
        while ((static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) --cut;
        line.resize(cut);
      } else if (lf != std::string::npos && line.ends_with('\r')) {
        line.pop_back();
      }
      expected.push_back(line);
      start = lf == std::string::npos ? text.size() : lf + 1;
    }
    std::vector<std::string> chunks;
    for (std::size_t at = 0; at < text.size();) {
      const std::size_t n = std::min<std::size_t>(text.size() - at, 1 + random() % 12000);
      chunks.push_back(text.substr(at, n));
      at += n;
    }
    ASSERT_EQ(all_lines(chunks), expected) << "round " << round;
  }
}

TEST(LineReader, CutsLinesLongerThanTheCapAndSkipsTheirRest) {
  constexpr std::size_t MAX = LineReader::MAX_LINE_BYTES;
  const std::string x(MAX, 'x');
  const struct {
    const char* name;
    std::vector<std::string> chunks;
    Lines expected;
  } cases[] = {
      {"exactly the cap", {x + "\nz\n"}, {x, "z"}},
      {"one byte over", {x + "y\nz\n"}, {x, "z"}},
      {"far over, in small reads", {x, x, x, "tail\r\nz"}, {x, "z"}},
      {"a character the cut would split is left out",
       {x.substr(1) + "Я" + x + "\nz\n"},
       {x.substr(1), "z"}},
      {"the stream ends inside the skipped rest", {x + x}, {x}},
      {"an invalid byte in the skipped rest does not end", {x + "\xff\nz\n"}, {x, "z"}},
  };
  for (const auto& c : cases) EXPECT_EQ(all_lines(c.chunks), c.expected) << c.name;
}

// A core that prints without line feeds must not make the reader take in
// more than one line's worth before it hands out the cut line.
TEST(LineReader, HoldsNoMoreThanTheCapWithoutALineFeed) {
  int reads = 0;
  std::vector<ScriptedReader::Chunk> script;
  for (int i = 0; i < 1000; ++i) {
    script.push_back({std::string(LineReader::BUFFER_SIZE, 'x'), [&reads] { ++reads; }});
  }
  ScriptedReader reader(std::move(script));
  LineReader lines(reader);
  const auto first = lines.next_line();
  ASSERT_TRUE(first);
  EXPECT_EQ(first->size(), LineReader::MAX_LINE_BYTES);
  EXPECT_LE(reads, static_cast<int>(LineReader::MAX_LINE_BYTES / LineReader::BUFFER_SIZE) + 1);
  EXPECT_FALSE(lines.next_line());
  EXPECT_EQ(reads, 1000);
}

TEST(LineReader, NextLinesHandsOutWholeLinesAtOnce) {
  ScriptedReader reader({{"a\nb\r\nc"}, {"d\ne"}});
  LineReader lines(reader);
  std::vector<std::pair<std::string, bool>> got;
  while (const auto l = lines.next_lines()) got.emplace_back(std::string(l->text), l->ended_by_lf);
  EXPECT_EQ(got, (std::vector<std::pair<std::string, bool>>{
                     {"a\nb\r\n", true}, {"cd\n", true}, {"e", false}}));
}

TEST(LineReader, ReadErrorEndsAndDropsTheUnfinishedLine) {
  EXPECT_EQ(all_lines({"a\nb\n", "unfinished"}, true), (Lines{"a", "b"}));
}

}  // namespace
}  // namespace ombrel::serving
