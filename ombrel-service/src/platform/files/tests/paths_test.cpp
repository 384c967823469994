#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/files/files.hpp"
#include "platform/files/paths.hpp"

namespace ombrel::platform {
namespace {

struct ParentCase {
  const char* path;
  const char* parent;
};

TEST(Paths, ParentPath) {
#ifdef _WIN32
  const ParentCase cases[] = {
      {"C:\\Program Files\\Ombrel\\ombrel-service.exe", "C:\\Program Files\\Ombrel"},
      {"C:\\ombrel-service.exe", "C:\\"},
      {"C:/a/b.exe", "C:/a"},
      {"C:\\a\\\\b.exe", "C:\\a"},
      {"\\\\server\\share\\dir\\x.exe", "\\\\server\\share\\dir"},
      {"\\\\server\\share\\x.exe", "\\\\server\\share\\"},
      {"\\\\?\\C:\\x.exe", "\\\\?\\C:\\"},
      {"C:\\", ""},
      {"C:x.exe", ""},
      {"x.exe", ""},
      {"", ""},
  };
#else
  const ParentCase cases[] = {
      {"/opt/ombrel/ombrel-service", "/opt/ombrel"},
      {"/ombrel-service", "/"},
      {"/a//b", "/a"},
      {"/a/b/", "/a"},
      {"a/b", "a"},
      {"/", ""},
      {"ombrel-service", ""},
      {"", ""},
  };
#endif
  for (const auto& c : cases) EXPECT_EQ(parent_path(c.path), c.parent) << c.path;
}

TEST(Paths, JoinUsesOneSeparator) {
  const std::string sep(1, PATH_SEPARATOR);
  EXPECT_EQ(join_path("d", "f"), "d" + sep + "f");
  EXPECT_EQ(join_path("d" + sep, "f"), "d" + sep + "f");
  EXPECT_EQ(join_path("", "f"), "f");
}

TEST(Paths, InstallDirHoldsTheRunningExecutable) {
  const auto exe = current_exe_path();
  ASSERT_TRUE(exe) << exe.error().to_string();
  EXPECT_TRUE(path_exists(*exe)) << *exe;
  const auto dir = install_dir();
  ASSERT_TRUE(dir);
  EXPECT_EQ(*dir, parent_path(*exe));
  EXPECT_EQ(join_path(*dir, exe->substr(dir->size() + (dir->back() == PATH_SEPARATOR ? 0 : 1))),
            *exe);
}

#ifdef _WIN32
TEST(Paths, DataDirIsProgramData) {
  EXPECT_EQ(data_dir(), "C:\\ProgramData\\Ombrel");
}
#else
TEST(Paths, DataDirFollowsTheEnvironment) {
  const char* saved = std::getenv("OMBREL_DATA_DIR");
  const std::string restore = saved ? saved : "";
  ::setenv("OMBREL_DATA_DIR", "/srv/ombrel-data", 1);
  EXPECT_EQ(data_dir(), "/srv/ombrel-data");
  ::setenv("OMBREL_DATA_DIR", "", 1);
  EXPECT_EQ(data_dir(), "/var/lib/ombrel");
  ::unsetenv("OMBREL_DATA_DIR");
  EXPECT_EQ(data_dir(), "/var/lib/ombrel");
  if (saved) ::setenv("OMBREL_DATA_DIR", restore.c_str(), 1);
}
#endif

}  // namespace
}  // namespace ombrel::platform
