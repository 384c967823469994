#include <gtest/gtest.h>

#include <string>

#include "platform/files/files.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using testsupport::TempDir;

std::string read_or_empty(const std::string& path) {
  return read_file(path).value_or("");
}

TEST(Files, ReadGivesBytesExactlyAsWritten) {
  TempDir dir;
  const std::string path = dir.file("bytes");
  const std::string bytes("a\r\nb\0c\n\xff", 8);
  ASSERT_TRUE(replace_file_atomically(path, path + ".tmp", bytes));
  EXPECT_EQ(read_file(path).value(), bytes);
  EXPECT_EQ(file_size(path).value(), 8u);
  EXPECT_FALSE(read_file(dir.file("missing")));
  EXPECT_FALSE(file_size(dir.file("missing")));
}

TEST(Files, AtomicReplaceSwapsWholeFilesAndLeavesNoTemporary) {
  TempDir dir;
  const std::string path = dir.file("channels.json");
  const std::string temp = dir.file("channels.json.tmp");
  ASSERT_TRUE(replace_file_atomically(path, temp, "first, rather long content"));
  ASSERT_TRUE(replace_file_atomically(path, temp, "second"));
  EXPECT_EQ(read_or_empty(path), "second");
  EXPECT_FALSE(path_exists(temp));

  // A stale temporary file from an interrupted run is simply overwritten.
  ASSERT_TRUE(replace_file_atomically(temp, dir.file("x.tmp"), "stale leftovers, longer"));
  ASSERT_TRUE(replace_file_atomically(path, temp, "third"));
  EXPECT_EQ(read_or_empty(path), "third");
}

TEST(Files, FailedTemporaryWriteLeavesTheOldFileAlone) {
  TempDir dir;
  const std::string path = dir.file("channels.json");
  ASSERT_TRUE(replace_file_atomically(path, path + ".tmp", "old"));
  EXPECT_FALSE(replace_file_atomically(path, dir.file("no-such-folder/channels.json.tmp"), "new"));
  EXPECT_EQ(read_or_empty(path), "old");
  // The temporary path is taken by a folder: nothing can be written there.
  ASSERT_TRUE(create_directories(path + ".tmp"));
  EXPECT_FALSE(replace_file_atomically(path, path + ".tmp", "new"));
  EXPECT_EQ(read_or_empty(path), "old");
}

TEST(Files, CreateTruncatesAndWritesAlwaysLandAtTheEnd) {
  TempDir dir;
  const std::string path = dir.file("core-diag.log");
  ASSERT_TRUE(append_file(path, "left over from the last run\n"));
  auto old_run = File::create(path);
  ASSERT_TRUE(old_run);
  EXPECT_EQ(old_run->size().value(), 0u);
  ASSERT_TRUE(old_run->write_all("old 1\n"));
  EXPECT_EQ(old_run->size().value(), 6u);

  // A new run truncates the file the old run still writes to; the old run's
  // next line must follow the new content, not leave a hole of zero bytes.
  auto new_run = File::create(path);
  ASSERT_TRUE(new_run);
  ASSERT_TRUE(new_run->write_all("new 1\n"));
  ASSERT_TRUE(old_run->write_all("old 2\n"));
  ASSERT_TRUE(new_run->write_all("new 2\n"));
  EXPECT_EQ(read_or_empty(path), "new 1\nold 2\nnew 2\n");

  old_run->close();
  EXPECT_FALSE(old_run->is_open());
  EXPECT_FALSE(old_run->write_all("x"));
  EXPECT_FALSE(old_run->size());
}

TEST(Files, OpenAppendKeepsContent) {
  TempDir dir;
  const std::string path = dir.file("log");
  ASSERT_TRUE(append_file(path, "a\n"));
  ASSERT_TRUE(append_file(path, "b\n"));
  auto file = File::open_append(path);
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->write_all("c\n"));
  ASSERT_TRUE(file->sync());
  EXPECT_EQ(read_or_empty(path), "a\nb\nc\n");
}

TEST(Files, RenameReplacesAndRemoveDeletes) {
  TempDir dir;
  const std::string log = dir.file("tunnel-diag.log");
  const std::string prev = dir.file("tunnel-diag.prev.log");
  ASSERT_TRUE(append_file(log, "current"));
  ASSERT_TRUE(append_file(prev, "previous"));
  // Held open by a copier of the old run while it is rotated.
  auto held = File::open_append(log);
  ASSERT_TRUE(held);
  ASSERT_TRUE(rename_file(log, prev));
  EXPECT_FALSE(path_exists(log));
  EXPECT_EQ(read_or_empty(prev), "current");
  held->close();
  ASSERT_TRUE(remove_file(prev));
  EXPECT_FALSE(path_exists(prev));
  EXPECT_FALSE(remove_file(prev));
  EXPECT_FALSE(rename_file(log, prev));
}

TEST(Files, CreateDirectoriesMakesAllParents) {
  TempDir dir;
  const std::string deep = dir.file("a/b/c");
  ASSERT_TRUE(create_directories(deep));
  EXPECT_TRUE(path_exists(deep));
  EXPECT_TRUE(create_directories(deep)) << "an existing folder is success";
  EXPECT_TRUE(create_directories(deep + "/"));
  ASSERT_TRUE(append_file(dir.file("plain"), "x"));
  EXPECT_FALSE(create_directories(dir.file("plain")));
  EXPECT_FALSE(create_directories(dir.file("plain/below")));
  EXPECT_FALSE(create_directories(""));
}

}  // namespace
}  // namespace ombrel::platform
