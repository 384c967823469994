#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "fake_clock.hpp"
#include "platform/files/files.hpp"
#include "platform/files/paths.hpp"
#include "registry/registry.hpp"
#include "scripted_reader.hpp"
#include "serving/core_log.hpp"
#include "serving/diag_log.hpp"
#include "testsupport.hpp"

namespace ombrel::serving {
namespace {

using testsupport::FakeClock;
using testsupport::TempDir;
using Chunk = ScriptedReader::Chunk;

const std::vector<std::string> LABELS = {"Amsterdam app_1", "Frankfurt app_2", "Helsinki app_3"};

std::string failure(int n, const std::string& remark) {
  return "    p" + std::to_string(n) + " провалил пробы подряд - снимаю с проверенных: " + remark;
}

std::string probe_line(int n) {
  return "2024/05/01 12:00:00 [Warning] app/observatory: error ping "
         "https://cp.example/generate_204 "
         "with p" +
         std::to_string(n) + ": context deadline exceeded\n";
}

class WatcherTest : public ::testing::Test {
 protected:
  // Runs the watcher to the end of `script`.
  void watch(std::vector<Chunk> script, std::vector<std::string> labels = LABELS,
             bool fail_at_end = false) {
    reader_closed = false;
    watch_core_log(std::move(labels), current,
                   std::make_unique<ScriptedReader>(std::move(script), fail_at_end, &reader_closed),
                   registry, clock, log_path);
  }
  std::string log() const { return platform::read_file(log_path).value_or("<no log>"); }
  // Moves the clock before the chunk is read.
  Chunk at(std::int64_t wall_ms, std::string bytes) {
    return {std::move(bytes), [this, wall_ms] { clock.set_wall_ms(wall_ms); }};
  }

  TempDir dir;
  FakeClock clock{1'700'000'000'000};
  registry::ChannelRegistry registry{dir.file("channels.json"), clock};
  // A folder that does not exist yet: the watcher makes it.
  std::string log_path = platform::join_path(dir.file("data"), "core-diag.log");
  CurrentChannel current = make_current_channel();
  bool reader_closed = false;
};

TEST_F(WatcherTest, WritesTheChannelTableAndKeepsTheChannelInUse) {
  EXPECT_EQ(current->load(), NO_CHANNEL);
  watch({{"core starting\n"},
         {"from 127.0.0.1:1 accepted tcp:a.example:443 [socks-in -> p1]\n"},
         {"from 127.0.0.1:2 accepted tcp:b.example:443 [socks-in >> p2]\r\n"},
         {"from 127.0.0.1:3 accepted udp:c.example:53 [socks-in -> direct]\n"},
         {"[in -> p9]\n"},
         {"tag p with nothing [in -> p]\n"},
         {"last line without line feed"}});
  // The number is not checked against the labels here; readers do that.
  EXPECT_EQ(current->load(), 9);
  EXPECT_EQ(log(),
            "--- какой канал под каким номером:\n"
            "    p0 = Amsterdam app_1\n"
            "    p1 = Frankfurt app_2\n"
            "    p2 = Helsinki app_3\n"
            "core starting\n"
            "tag p with nothing [in -> p]\n"
            "last line without line feed\n");
  EXPECT_TRUE(reader_closed);
  EXPECT_TRUE(registry.recent_failed().empty());
}

TEST_F(WatcherTest, ThreeProbeFailuresWithinTwoMinutesMarkTheWholeRemarkFailed) {
  const std::int64_t t = 1'700'000'000'000;
  registry.mark_seen(LABELS[2]);
  watch({at(t, probe_line(2)), at(t + 50'000, probe_line(2)), at(t + 100'000, probe_line(1)),
         at(t + 120'000, probe_line(2)),
         // Counting starts again: two more are not enough.
         at(t + 121'000, probe_line(2)), at(t + 122'000, probe_line(2))});
  std::string expected =
      "--- какой канал под каким номером:\n"
      "    p0 = Amsterdam app_1\n"
      "    p1 = Frankfurt app_2\n"
      "    p2 = Helsinki app_3\n";
  expected += probe_line(2) + probe_line(2) + probe_line(1);
  expected += failure(2, LABELS[2]) + "\n" + probe_line(2);
  expected += probe_line(2) + probe_line(2);
  EXPECT_EQ(log(), expected);
  EXPECT_EQ(registry.recent_failed(), std::vector<std::string>{LABELS[2]});
  EXPECT_TRUE(registry.recent_seen().empty());
}

TEST_F(WatcherTest, FailuresOutsideTheWindowOrChannelsAreNotReported) {
  const std::int64_t t = 1'700'000'000'000;
  watch({at(t, probe_line(0)), at(t + 1, probe_line(0)), at(t + 120'001, probe_line(0)),
         // Channel 3 has no label: logged, never counted.
         at(t + 120'002, probe_line(3)), at(t + 120'003, probe_line(3)),
         at(t + 120'004, probe_line(3))});
  EXPECT_TRUE(registry.recent_failed().empty());
  EXPECT_EQ(log().find("провалил"), std::string::npos);
  EXPECT_NE(log().find(probe_line(3) + probe_line(3) + probe_line(3)), std::string::npos);
}

// A remark is the client's text: a line feed or an escape sequence in it is
// shown, and forges no line of the table.
TEST_F(WatcherTest, ControlCharactersOfRemarksAndOutputAreEscaped) {
  watch({{"core \x1b[2Jsaid\n"}}, {"DE\n    p7 = forged\x1b[0m"});
  EXPECT_EQ(log(),
            "--- какой канал под каким номером:\n"
            "    p0 = DE\\n    p7 = forged\\x1b[0m\n"
            "core \\x1b[2Jsaid\n");
}

TEST_F(WatcherTest, EmptyLabelsGiveAHeaderAndNoFailures) {
  watch({{probe_line(0) + probe_line(0) + probe_line(0)}}, {});
  EXPECT_EQ(log(),
            "--- какой канал под каким номером:\n" + probe_line(0) + probe_line(0) + probe_line(0));
  EXPECT_TRUE(registry.recent_failed().empty());
}

TEST_F(WatcherTest, InvalidUtf8EndsTheRun) {
  watch({{"[in -> p1]\nbefore\n"}, {"bad \xff line\n[in -> p2]\nafter\n"}});
  EXPECT_EQ(current->load(), 1);
  EXPECT_TRUE(log().ends_with("\nbefore\n")) << log();
  EXPECT_TRUE(reader_closed);
}

TEST_F(WatcherTest, ReadErrorEndsTheRun) {
  watch({{"[in -> p2]\nfirst\n"}}, LABELS, /*fail_at_end=*/true);
  EXPECT_EQ(current->load(), 2);
  EXPECT_TRUE(log().ends_with("\nfirst\n"));
  EXPECT_TRUE(reader_closed);
}

TEST_F(WatcherTest, CreateTruncatesTheLogOfTheLastRun) {
  watch({{"run one\n"}});
  watch({{"run two\n"}}, {"x"});
  EXPECT_EQ(log(), "--- какой канал под каким номером:\n    p0 = x\nrun two\n");
}

TEST_F(WatcherTest, WorksOnWithoutALog) {
  // The log's folder is taken by a file: no log this run.
  ASSERT_TRUE(platform::append_file(dir.file("data"), "a file"));
  const std::int64_t t = 1'700'000'000'000;
  watch({{"[in -> p0]\n"}, at(t, probe_line(1)), at(t, probe_line(1)), at(t, probe_line(1))});
  EXPECT_EQ(current->load(), 0);
  EXPECT_EQ(registry.recent_failed(), std::vector<std::string>{LABELS[1]});
  EXPECT_TRUE(reader_closed);
}

TEST_F(WatcherTest, LogStopsAtItsCapWhileWatchingGoesOn) {
  const std::string line = std::string(99, 'x') + "\n";
  std::string many;
  for (int i = 0; i < 3000; ++i) many += line;  // 300,000 bytes
  const std::int64_t t = 1'700'000'000'000;
  watch(
      {{many}, {"[in -> p2]\n"}, at(t, probe_line(0)), at(t, probe_line(0)), at(t, probe_line(0))});
  const std::string text = log();
  EXPECT_GE(text.size(), DIAG_LOG_CAP);
  EXPECT_LT(text.size(), DIAG_LOG_CAP + line.size());
  EXPECT_TRUE(text.ends_with(line));
  EXPECT_EQ(current->load(), 2);
  EXPECT_EQ(registry.recent_failed(), std::vector<std::string>{LABELS[0]});
}

// A line past the reader's cap is cut: what it says beyond the cut is not
// seen, and the lines after it are read as usual.
TEST_F(WatcherTest, ALineLongerThanTheCapIsCut) {
  const std::string padding(70'000, 'x');
  watch({{"[socks-in -> p1]\n"}, {padding + " [socks-in -> p2]\n"}, {"after\n"}});
  EXPECT_EQ(current->load(), 1);
  EXPECT_NE(log().find("after\n"), std::string::npos);
}

}  // namespace
}  // namespace ombrel::serving
