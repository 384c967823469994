#include <gtest/gtest.h>

#include <string>

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
