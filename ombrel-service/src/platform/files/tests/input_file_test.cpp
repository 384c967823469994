#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/files/files.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using testsupport::TempDir;

void write(const std::string& path, std::string_view bytes) {
  std::ofstream out(testsupport::fs_path(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST(InputFile, ReadsAnOrdinaryFileAndKnowsItsSize) {
  TempDir dir;
  const std::string path = dir.file("data");
  std::string bytes(70000, 'x');
  bytes[0] = 'M';
  bytes[69999] = 'Z';
  write(path, bytes);
  auto file = InputFile::open(path);
  ASSERT_TRUE(file) << file.error().to_string();
  EXPECT_EQ(file->size().value(), 70000u);
  std::string got(80000, '\0');
  auto n = file->read_full(std::span<char>(got.data(), got.size()));
  ASSERT_TRUE(n);
  EXPECT_EQ(*n, 70000u);
  got.resize(*n);
  EXPECT_EQ(got, bytes);
  char more[4];
  EXPECT_EQ(file->read(more).value(), 0u);
}

TEST(InputFile, RefusesWhatIsNotAnOrdinaryFile) {
  TempDir dir;
  std::vector<std::string> paths = {dir.path(), dir.file("missing")};
#ifdef _WIN32
  paths.push_back("NUL");
  paths.push_back("\\\\.\\pipe\\ombrel-no-such-pipe");
#else
  paths.push_back("/dev/null");
#endif
  for (const auto& path : paths) {
    EXPECT_FALSE(InputFile::open(path)) << path;
  }
}

TEST(InputFile, OnlyLocalPathsAreLocal) {
  TempDir dir;
  EXPECT_TRUE(is_local_file_path(dir.file("x")));
#ifdef _WIN32
  struct Case {
    const char* path;
    bool local;
  };
  const Case cases[] = {
      {"C:\\x\\y.exe", true},
      {"c:/x/y.exe", true},
      {"\\\\?\\C:\\x\\y.exe", true},
      {"relative\\y.exe", true},
      {"\\\\server\\share\\y.exe", false},
      {"//server/share/y.exe", false},
      {"\\\\.\\pipe\\x", false},
      {"\\\\.\\C:\\x\\y.exe", false},
      {"\\\\?\\UNC\\server\\share\\y.exe", false},
      {"\\\\?\\GLOBALROOT\\Device\\x", false},
      {"\\??\\C:\\x\\y.exe", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_local_file_path(c.path), c.local) << c.path;
#endif
}

// What the system shows of an offered path's components, and whether the
// file it leads to may be read: no link on the way, nothing off this computer.
TEST(InputFile, LocalPathsAreJudgedFromWhatTheSystemShows) {
  const PathStep disk{false, false, "\\Device\\HarddiskVolume3\\Users"};
  struct Case {
    const char* name;
    std::vector<PathStep> steps;
    bool local;
  };
  const Case cases[] = {
      {"folders and a file on a disk",
       {disk, disk, {false, false, "\\Device\\HarddiskVolume3\\a.exe"}},
       true},
      {"a CD", {{false, false, "\\Device\\CdRom0\\setup.exe"}}, true},
      {"nothing", {}, false},
      {"a link or junction on the way", {disk, {true, false, disk.device_path}, disk}, false},
      {"the file itself a link", {disk, {true, false, disk.device_path}}, false},
      {"a network protocol named", {disk, {false, true, disk.device_path}}, false},
      {"a network share", {{false, false, "\\Device\\Mup\\host\\share\\a.exe"}}, false},
      {"a redirector", {{false, false, "\\Device\\LanmanRedirector\\;Z:0\\host\\a.exe"}}, false},
      {"a volume without a number", {{false, false, "\\Device\\HarddiskVolume\\a.exe"}}, false},
      {"a look-alike device", {{false, false, "\\Device\\HarddiskVolume3x\\a.exe"}}, false},
      {"no device path", {{false, false, ""}}, false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_local_path(c.steps), c.local) << c.name;
}

TEST(FileTimes, LastWriteTimeRoundTripsToTheMillisecond) {
  TempDir dir;
  const std::string path = dir.file("t");
  write(path, "x");
  for (const std::int64_t ms : {std::int64_t{1'700'000'000'123}, std::int64_t{86'400'001},
                                std::int64_t{1'700'000'000'999}}) {
    ASSERT_TRUE(set_last_write_ms(path, ms));
    EXPECT_EQ(last_write_ms(path).value(), ms);
  }
  EXPECT_FALSE(last_write_ms(dir.file("missing")));
  EXPECT_FALSE(set_last_write_ms(dir.file("missing"), 0));
}

}  // namespace
}  // namespace ombrel::platform
