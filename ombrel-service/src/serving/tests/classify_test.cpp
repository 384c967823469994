#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>

#include "random_lines.hpp"
#include "serving/core_log.hpp"

namespace ombrel::serving {
namespace {

struct ClassifyCase {
  std::string line;
  LogLineInfo expected;
};

LogLineInfo routed(std::int64_t n) {
  return {n, std::nullopt, false};
}
LogLineInfo probe(std::uint64_t n, bool logged = true) {
  return {std::nullopt, n, logged};
}
LogLineInfo logged() {
  return {};
}
LogLineInfo dropped() {
  return {std::nullopt, std::nullopt, false};
}

TEST(ClassifyLogLine, Lines) {
  const std::string access =
      "2024/05/01 12:00:00 from 127.0.0.1:50000 accepted tcp:example.com:443 ";
  const ClassifyCase cases[] = {
      {access + "[socks-in -> p3]", routed(3)},
      {access + "[socks-in >> p3]", routed(3)},
      {"[tun-in -> p0]", routed(0)},
      {"[in->p12]", routed(12)},
      {"[in ->   p12\t ]", routed(12)},
      {"[in ->\u00a0p5\u3000]", routed(5)},
      {"[in -> p007]", routed(7)},
      {"[in -> p000000000000000000000000001]", routed(1)},
      {"[in -> p9223372036854775807]", routed(9223372036854775807)},
      // Only the last "[", and the first "]" after it.
      {"[a -> p1] and [b -> p2]", routed(2)},
      {"x] [in -> p4] more]", routed(4)},
      {"[in -> p1] [info]", logged()},
      {"[in -> p1] [unclosed", logged()},
      // The last "->" wins over any ">>"; ">>" counts only without "->".
      {"[a -> b >> p1]", logged()},
      {"[a >> b -> p1]", routed(1)},
      {"[a >> b >> p6]", routed(6)},
      // Not a channel tag: the line goes on as any other.
      {access + "[socks-in -> direct]", dropped()},
      {access + "[socks-in -> p]", dropped()},
      {"[in -> p3a]", logged()},
      {"[in -> P3]", logged()},
      {"[in -> p+3]", logged()},
      {"[in -> p-3]", logged()},
      {"[in -> p 3]", logged()},
      {"[in -> pp3]", logged()},
      {"[in -> p٣]", logged()},
      {"[in -> p9223372036854775808]", logged()},
      {"[in -> p18446744073709551616]", logged()},
      {"[in - p3]", logged()},
      {"in -> p3", logged()},
      // Probe failures: the digits after the last " with p".
      {"2024/05/01 [Warning] app/observatory: error ping https://x/204 with p2: i/o timeout",
       probe(2)},
      {"observatory error ping with p1 with p4", probe(4)},
      {"error ping observatory with p18446744073709551615", probe(18446744073709551615u)},
      {"observatory error ping with p18446744073709551616", logged()},
      {"observatory error ping with p0000000000000000000000000002x", probe(2)},
      {"observatory error ping with p", logged()},
      {"observatory error ping with px1", logged()},
      {"observatory error ping with  p1", logged()},
      {"observatory failed ping with p1", logged()},
      {"error ping with p1", logged()},
      {"observatory error ping with p3: not accepted", probe(3)},
      {"observatory error ping with p3 accepted by nobody", probe(3, false)},
      // A routed connection wins over anything else on the line.
      {"observatory error ping with p3 [in -> p1]", routed(1)},
      {"", logged()},
      {" accepted ", dropped()},
      {"accepted tcp", logged()},
  };
  for (const auto& c : cases) EXPECT_EQ(classify_log_line(c.line), c.expected) << c.line;
}

TEST(ClassifyLogLine, MalformedBytesMatchNothing) {
  EXPECT_EQ(classify_log_line("[in -> \xa0p1]"), logged());
  EXPECT_EQ(classify_log_line("[in -> p1\xe3\x80]"), logged());
  EXPECT_EQ(classify_log_line(std::string("[in -> p1\0]", 11)), logged());
}

struct ProbeStep {
  std::uint64_t channel;
  std::uint64_t at_ms;
  bool reported;
};

TEST(ProbeFailures, ThreeWithinTheWindowReportOnce) {
  const std::vector<std::vector<ProbeStep>> scenarios = {
      // Three in a row, then counting starts again.
      {{2, 0, false},
       {2, 1000, false},
       {2, 2000, true},
       {2, 3000, false},
       {2, 4000, false},
       {2, 5000, true}},
      // The window holds exactly 120,000 ms.
      {{1, 0, false}, {1, 1, false}, {1, 120'000, true}},
      // The first falls out of the window: nothing yet, then the next one counts.
      {{1, 0, false}, {1, 60'000, false}, {1, 120'001, false}, {1, 120'002, true}},
      // Channels are counted apart.
      {{0, 0, false}, {1, 0, false}, {0, 1, false}, {1, 1, false}, {1, 2, true}, {0, 2, true}},
      // A clock that went back: later times count as just now.
      {{5, 500'000, false}, {5, 400'000, false}, {5, 300'000, true}},
  };
  for (std::size_t s = 0; s < scenarios.size(); ++s) {
    ProbeFailures failures;
    for (std::size_t i = 0; i < scenarios[s].size(); ++i) {
      const auto& step = scenarios[s][i];
      EXPECT_EQ(failures.record(step.channel, step.at_ms), step.reported)
          << "scenario " << s << ", step " << i;
    }
  }
}

}  // namespace
}  // namespace ombrel::serving

namespace ombrel::serving {
namespace {

// The recognition rules spelled out with plain string operations, to check
// the fast scans against.
std::string_view reference_trim(std::string_view s) {
  static const std::string_view blanks[] = {" ", "\t", "\n", "\v", "\f", "\r", "\u00a0", "\u3000"};
  for (bool again = true; again;) {
    again = false;
    for (const auto b : blanks) {
      if (s.starts_with(b)) s.remove_prefix(b.size()), again = true;
      if (s.ends_with(b)) s.remove_suffix(b.size()), again = true;
    }
  }
  return s;
}

// Decimal digits whose value is at most `max` (given in decimal).
std::optional<std::uint64_t> reference_number(std::string_view digits, std::string_view max) {
  if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
  if (digits.size() > max.size() || (digits.size() == max.size() && digits > max)) {
    return std::nullopt;
  }
  return std::stoull(std::string(digits));
}

LogLineInfo reference_classify(std::string_view line) {
  const auto open = line.rfind('[');
  const auto close = open == std::string_view::npos ? open : line.find(']', open);
  if (close != std::string_view::npos) {
    const std::string_view inside = line.substr(open + 1, close - open - 1);
    auto arrow = inside.rfind("->");
    if (arrow == std::string_view::npos) arrow = inside.rfind(">>");
    if (arrow != std::string_view::npos) {
      const std::string_view tag = reference_trim(inside.substr(arrow + 2));
      if (tag.starts_with('p')) {
        if (const auto n = reference_number(tag.substr(1), "9223372036854775807")) {
          return {static_cast<std::int64_t>(*n), std::nullopt, false};
        }
      }
    }
  }
  LogLineInfo info;
  if (line.find("observatory") != std::string_view::npos &&
      line.find("error ping") != std::string_view::npos) {
    const auto at = line.rfind(" with p");
    if (at != std::string_view::npos) {
      const std::string_view rest = line.substr(at + 7);
      info.probe_failure = reference_number(rest.substr(0, rest.find_first_not_of("0123456789")),
                                            "18446744073709551615");
    }
  }
  info.logged = line.find(" accepted ") == std::string_view::npos;
  return info;
}

TEST(ClassifyLogLine, AgreesWithTheRulesOnRandomLines) {
  RandomLines random(2024);
  int routed = 0;
  int probes = 0;
  for (int round = 0; round < 100000; ++round) {
    std::string line = random.line();
    // Now and then a byte that is not UTF-8, anywhere in the line.
    if (round % 7 == 0) line.insert(random.random() % (line.size() + 1), 1, '\xff');
    const LogLineInfo expected = reference_classify(line);
    ASSERT_EQ(classify_log_line(line), expected) << line;
    routed += expected.channel_in_use.has_value();
    probes += expected.probe_failure.has_value();
  }
  // Both kinds of line must come up often enough to mean something.
  EXPECT_GT(routed, 500);
  EXPECT_GT(probes, 500);
}

}  // namespace
}  // namespace ombrel::serving
