#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "platform/files/files.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using testsupport::TempDir;

TEST(InputFilePosix, AFifoWithoutWriterIsRefusedAtOnce) {
  TempDir dir;
  const std::string fifo = dir.file("fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(InputFile::open(fifo));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(InputFilePosix, FollowsALinkToAnOrdinaryFileUnlessOffered) {
  TempDir dir;
  const std::string file = dir.file("file");
  ASSERT_TRUE(append_file(file,
                          "\x7f"
                          "ELF"));
  const std::string link = dir.file("link");
  ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
  auto opened = InputFile::open(link);
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->size().value(), 4u);
  ASSERT_EQ(::symlink("/dev/zero", dir.file("device").c_str()), 0);
  EXPECT_FALSE(InputFile::open(dir.file("device")));
  // An offered path leads through no link, neither the file nor a folder on
  // the way; without one it opens, relative or not.
  ASSERT_EQ(::symlink(dir.path().c_str(), dir.file("folder").c_str()), 0);
  for (const std::string& through : {link, dir.file("folder/file")}) {
    auto refused = InputFile::open_local(through);
    ASSERT_FALSE(refused) << through;
    EXPECT_EQ(refused.error().outermost(), NOT_LOCAL) << through;
  }
  EXPECT_EQ(InputFile::open_local(dir.file("./file")).value().size().value(), 4u);
  EXPECT_FALSE(InputFile::open_local(dir.path()));
}

TEST(InputFilePosix, MakeExecutableGivesEveryoneReadAndRun) {
  TempDir dir;
  const std::string file = dir.file("program");
  ASSERT_TRUE(append_file(file, "x"));
  ASSERT_TRUE(make_executable(file));
  struct stat st {};
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

}  // namespace
}  // namespace ombrel::platform
