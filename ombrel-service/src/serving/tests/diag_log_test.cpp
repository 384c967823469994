#include <gtest/gtest.h>

#include <gmock/gmock.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "fake_clock.hpp"
#include "platform/files/files.hpp"
#include "serving/diag_log.hpp"
#include "serving/service_log.hpp"
#include "testsupport.hpp"

namespace ombrel::serving {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using testsupport::TempDir;

std::uint64_t size_of(const std::string& path) {
  return platform::file_size(path).value_or(0);
}

TEST(DiagLog, WritesWhileAtMostOneByteBelowTheCap) {
  TempDir dir;
  const std::string path = dir.file("core-diag.log");
  const struct {
    std::uint64_t start_size;
    bool written;
  } cases[] = {
      {0, true}, {DIAG_LOG_CAP - 1, true}, {DIAG_LOG_CAP, false}, {DIAG_LOG_CAP + 9, false}};
  for (const auto& c : cases) {
    DiagLog log = DiagLog::create(path);
    ASSERT_TRUE(log.is_open());
    if (c.start_size > 0) {
      ASSERT_TRUE(platform::append_file(path, std::string(c.start_size - 1, 'x') + "\n"));
    }
    log.write_line("line");
    EXPECT_EQ(size_of(path), c.start_size + (c.written ? 5 : 0)) << c.start_size;
    // The first refusal closes the log for good, even when the file shrinks.
    EXPECT_EQ(log.is_open(), c.written) << c.start_size;
    ASSERT_TRUE(platform::File::create(path));
    log.write_line("later");
    EXPECT_EQ(size_of(path), c.written ? 6u : 0u) << c.start_size;
  }
}

// A log that anyone can fill (the service's own) rotates instead: the
// full file becomes the previous one and the next line begins a new file.
TEST(DiagLog, LastLineIsWrittenWholeThenTheLogClosesOrRotates) {
  for (const bool rotating : {false, true}) {
    SCOPED_TRACE(rotating);
    TempDir dir;
    const std::string path = dir.file("service-diag.log");
    const std::string prev = dir.file("service-diag.prev.log");
    DiagLog log = rotating ? DiagLog::create_rotating(path, prev) : DiagLog::create(path);
    const std::string line(999, 'a');  // 1,000 bytes with its line feed
    for (int i = 0; i < 263; ++i) log.write_line(line);
    EXPECT_EQ(size_of(path), 263'000u);
    log.write_line("later");
    EXPECT_EQ(log.is_open(), rotating);
    if (rotating) {
      EXPECT_EQ(size_of(prev), 263'000u);
      EXPECT_EQ(platform::read_file(path).value_or(""), "later\n");
    } else {
      EXPECT_EQ(size_of(path), 263'000u);
      EXPECT_FALSE(platform::path_exists(prev));
    }
  }
}

TEST(DiagLog, CreateTruncatesAndAbsentLogWritesNothing) {
  TempDir dir;
  const std::string path = dir.file("log");
  ASSERT_TRUE(platform::append_file(path, "old run\n"));
  DiagLog log = DiagLog::create(path);
  log.write_line("Новый запуск");
  EXPECT_EQ(platform::read_file(path).value(), "Новый запуск\n");

  DiagLog absent = DiagLog::create(dir.file("no-such-folder/log"));
  EXPECT_FALSE(absent.is_open());
  absent.write_line("nothing");
  DiagLog().write_line("nothing");
}

TEST(ServiceLog, TimestampsAreUtcWithMilliseconds) {
  const struct {
    std::int64_t ms;
    const char* text;
  } cases[] = {
      {0, "1970-01-01T00:00:00.000Z"},
      {1'796'671'616'123, "2026-12-07T19:26:56.123Z"},
      {1'709'251'199'999, "2024-02-29T23:59:59.999Z"},
  };
  for (const auto& c : cases) EXPECT_EQ(utc_timestamp(c.ms), c.text);
}

// Lines as the log's writer thread hands them on, with a gate that holds
// the writer as a stuck disk would.
struct Sink {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::string> lines;
  bool stuck = false;
  bool held = false;  // the writer waits at the gate

  ServiceLog::LineWriter writer() {
    return [this](std::string_view line) {
      std::unique_lock lock(mutex);
      held = stuck;
      changed.notify_all();
      changed.wait(lock, [&] { return !stuck; });
      held = false;
      lines.emplace_back(line);
    };
  }
  bool wait_held() {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, 5s, [&] { return held; });
  }
  void set_stuck(bool value) {
    std::lock_guard lock(mutex);
    stuck = value;
    changed.notify_all();
  }
  std::vector<std::string> snapshot() {
    std::lock_guard lock(mutex);
    return lines;
  }
};

// A stuck disk holds up only the log's own thread: writers return at once,
// the lines beyond the queue are dropped, and their number is written once
// the disk moves again. Each line is stamped with the time it was written.
TEST(ServiceLog, AStuckDiskDropsLinesInsteadOfBlockingTheWriters) {
  testsupport::FakeClock clock(0);
  Sink sink;
  const std::string stamp = "1970-01-01T00:00:00.000Z ";
  // Room for two queued lines of "line N".
  ServiceLog log(sink.writer(), clock, 2 * (stamp.size() + 6));
  sink.set_stuck(true);
  log.write("line 0\n");
  // Line 0 is stuck in the disk before the queue fills.
  ASSERT_TRUE(sink.wait_held());
  EXPECT_FALSE(log.flush(10ms));
  const auto start = std::chrono::steady_clock::now();
  for (int i = 1; i <= 5; ++i) log.write("line " + std::to_string(i) + "\n");
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  sink.set_stuck(false);
  ASSERT_TRUE(log.flush(5s));
  clock.advance_ms(1);
  log.write("line 6\nline 7");  // the last without a line feed
  ASSERT_TRUE(log.flush(5s));
  const std::string later = "1970-01-01T00:00:00.001Z ";
  EXPECT_THAT(sink.snapshot(),
              ElementsAre(stamp + "line 0", stamp + "line 1", stamp + "line 2",
                          stamp + "пропущено строк: 3", later + "line 6", later + "line 7"));
}

}  // namespace
}  // namespace ombrel::serving
