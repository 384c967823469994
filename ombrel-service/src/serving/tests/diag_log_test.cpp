#include <gtest/gtest.h>

#include <string>

#include "platform/files.hpp"
#include "serving/diag_log.hpp"
#include "testsupport.hpp"

namespace ombrel::serving {
namespace {

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

TEST(DiagLog, LastLineIsWrittenWholeThenTheLogCloses) {
  TempDir dir;
  const std::string path = dir.file("tunnel-diag.log");
  DiagLog log = DiagLog::create(path);
  const std::string line(999, 'a');  // 1,000 bytes with its line feed
  int written = 0;
  while (log.is_open()) {
    log.write_line(line);
    written += log.is_open();
  }
  EXPECT_EQ(written, 263);
  EXPECT_EQ(size_of(path), 263'000u);
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

}  // namespace
}  // namespace ombrel::serving
