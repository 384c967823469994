#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "random_lines.hpp"
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

// Whole runs of random lines must come out split as LineReader splits them
// and classified as classify_log_line sees each.
TEST(ScanLogLines, AgreesWithClassifyLogLine) {
  RandomLines random(4242);
  int routed = 0;
  for (int round = 0; round < 3000; ++round) {
    const std::string text = random.text(round);
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

// What the watcher keeps of a run of lines: the channel of the last routed
// line and every probe failure, in order.
struct Kept {
  std::optional<std::int64_t> channel;
  std::vector<std::uint64_t> probes;
  bool operator==(const Kept&) const = default;
};

template <class Scan>
Kept kept_by(Scan scan, bool& whole, std::size_t& visits) {
  Kept kept;
  visits = 0;
  whole = scan([&](std::string_view line, const LogLineInfo& info) {
    ++visits;
    const LogLineInfo plain = classify_log_line(line);
    EXPECT_EQ(info.channel_in_use, plain.channel_in_use) << line;
    EXPECT_EQ(info.probe_failure, plain.probe_failure) << line;
    if (info.channel_in_use) {
      kept.channel = info.channel_in_use;
    } else if (info.probe_failure) {
      kept.probes.push_back(*info.probe_failure);
    }
  });
  return kept;
}

Kept kept_by_full_scan(std::string_view text, bool& whole) {
  std::size_t visits = 0;
  return kept_by([&](auto visit) { return scan_log_lines(text, false, visit); }, whole, visits);
}

// The sparse scan must leave the watcher where the full one does, visiting
// only the lines that count once the run is plain ASCII.
TEST(ScanLogLinesSparse, KeepsWhatTheFullScanKeeps) {
  RandomLines random(777);
  int with_probes = 0;
  for (int round = 0; round < 3000; ++round) {
    std::string text = random.text(round);
    const bool ascii = round % 2 == 1;
    if (ascii) std::erase_if(text, [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
    bool whole = false;
    const Kept full = kept_by_full_scan(text, whole);
    bool sparse_whole = !whole;
    std::size_t visits = 0;
    const Kept sparse = kept_by([&](auto visit) { return scan_log_lines_sparse(text, visit); },
                                sparse_whole, visits);
    ASSERT_EQ(sparse_whole, whole) << text;
    ASSERT_EQ(sparse, full) << text;
    // Past that many marks the full scan is the shorter way.
    if (ascii && !log_scan::sweep_for_probes(text).more) {
      ASSERT_LE(visits, full.probes.size() + 1) << text;
      with_probes += !full.probes.empty();
    }
  }
  EXPECT_GT(with_probes, 300);
}

TEST(ScanLogLinesSparse, OrderAroundTheLastRoutedLine) {
  const std::string probe = "app/observatory: error ping https://cp.example with p";
  const struct {
    std::string text;
    Kept want;
  } cases[] = {
      {"", {}},
      {"x\n", {}},
      {probe + "4\n", {std::nullopt, {4}}},
      {"a [in -> p1]\n" + probe + "2\nb [in -> p3]\n" + probe + "5\r\nz\n", {3, {2, 5}}},
      // A routed line that also reads like a probe failure counts as routed.
      {probe + "6 [in -> p7]\n", {7, {}}},
      {probe + "6 [in -> p7]\n" + probe + "8\n", {7, {8}}},
      // Two marks on one line are one failure.
      {probe + "9 error ping with p1\n", {std::nullopt, {1}}},
      {"[in -> p2]\r\n\n\n", {2, {}}},
  };
  for (const auto& c : cases) {
    bool full_whole = false;
    ASSERT_EQ(kept_by_full_scan(c.text, full_whole), c.want) << c.text;
    bool whole = false;
    std::size_t visits = 0;
    const Kept got =
        kept_by([&](auto visit) { return scan_log_lines_sparse(c.text, visit); }, whole, visits);
    EXPECT_TRUE(whole);
    EXPECT_EQ(got, c.want) << c.text;
  }
}

// The sweep must find every mark and every high byte at any length and
// offset, the edges of its wide steps included.
TEST(ProbeSweep, AgreesWithAPlainSearch) {
  std::mt19937 random(99);
  const std::string_view pieces[] = {"error ping", "error pin", "rror ping", "e", "r",
                                     "n",          "g",         " ",         "\n"};
  for (int round = 0; round < 20000; ++round) {
    std::string text;
    const std::size_t len = random() % 300;
    while (text.size() < len) text += pieces[random() % std::size(pieces)];
    if (round % 3 == 0 && !text.empty()) text[random() % text.size()] = '\x80';
    const std::string_view v = std::string_view(text).substr(
        std::min<std::size_t>(random() % 3, text.size()));  // unaligned views
    std::vector<std::size_t> want;
    for (auto at = v.find(log_scan::PROBE_MARK); at != std::string_view::npos;
         at = v.find(log_scan::PROBE_MARK, at + 1)) {
      want.push_back(at);
    }
    const bool more = want.size() > log_scan::ProbeSweep::MOST;
    want.resize(std::min(want.size(), log_scan::ProbeSweep::MOST));
    for (const bool wide : {true, false}) {
      const log_scan::ProbeSweep sweep = log_scan::sweep_for_probes(v, wide);
      ASSERT_EQ(sweep.ascii, v.find('\x80') == std::string_view::npos) << v;
      ASSERT_EQ(sweep.more, more) << v;
      ASSERT_EQ(std::vector<std::size_t>(sweep.at, sweep.at + sweep.count), want) << v;
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
