// The data folder made sure of before the service writes there.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "platform/files/datadir.hpp"
#include "platform/files/files.hpp"
#include "platform/files/paths.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using testsupport::fs_path;
using testsupport::TempDir;
using testsupport::utf8_path;

// The names in `dir` that start with `prefix`.
std::set<std::string> names_starting(const std::string& dir, const std::string& prefix) {
  std::set<std::string> out;
  for (const auto& e : std::filesystem::directory_iterator(fs_path(dir))) {
    const std::string name = utf8_path(e.path().filename());
    if (name.starts_with(prefix)) out.insert(name);
  }
  return out;
}

std::string write(const std::string& path, std::string_view text) {
  EXPECT_TRUE(replace_file_atomically(path, path + ".tmp", text));
  return path;
}

TEST(PrivateDir, IsMadeWithItsParentsAndThenKeptAsItIs) {
  TempDir root("datadir");
  const std::string dir = join_path(join_path(root.path(), "ProgramData"), "Ombrel");
  ASSERT_TRUE(ensure_private_dir(dir));
  ASSERT_TRUE(std::filesystem::is_directory(fs_path(dir)));
  write(join_path(dir, "channels.json"), "{}");
  for (int i = 0; i < 3; ++i) {
    auto again = ensure_private_dir(dir);
    ASSERT_TRUE(again) << again.error().to_string();
  }
  EXPECT_EQ(read_file(join_path(dir, "channels.json")).value_or("?"), "{}");
  EXPECT_EQ(names_starting(join_path(root.path(), "ProgramData"), "Ombrel"),
            std::set<std::string>{"Ombrel"});
}

// Whatever stood there is kept, whole, under a new name beside the new folder.
TEST(PrivateDir, WhatIsUnfitIsMovedAsideAndAFreshFolderMade) {
  struct Case {
    const char* name;
    std::function<void(const std::string& dir, const std::string& outside)> plant;
  };
  const Case cases[] = {
      {"a file in the way",
       [](const std::string& dir, const std::string&) { write(dir, "not a folder"); }},
      {"a hard-linked file inside",
       [](const std::string& dir, const std::string& outside) {
         ASSERT_TRUE(create_directories(dir));
         write(join_path(outside, "victim"), "precious");
         std::filesystem::create_hard_link(fs_path(join_path(outside, "victim")),
                                           fs_path(join_path(dir, "tunnel.json")));
       }},
#ifndef _WIN32
      {"a link to a file inside",
       [](const std::string& dir, const std::string& outside) {
         ASSERT_TRUE(create_directories(dir));
         write(join_path(outside, "victim"), "precious");
         std::filesystem::create_symlink(fs_path(join_path(outside, "victim")),
                                         fs_path(join_path(dir, "core-diag.log")));
       }},
      {"a link to a folder inside",
       [](const std::string& dir, const std::string& outside) {
         ASSERT_TRUE(create_directories(dir));
         std::filesystem::create_directory_symlink(fs_path(outside),
                                                   fs_path(join_path(dir, "logs")));
       }},
      // A folder found fit is not looked into again while it stays private;
      // a private one put in its place since is.
      {"a link inside a private folder put in the place of a fit one",
       [](const std::string& dir, const std::string& outside) {
         ASSERT_TRUE(ensure_private_dir(dir));
         ASSERT_TRUE(rename_file(dir, dir + "-earlier"));
         std::filesystem::create_directory(fs_path(dir));
         std::filesystem::permissions(fs_path(dir), std::filesystem::perms::owner_all);
         std::filesystem::create_symlink(fs_path(join_path(outside, "victim")),
                                         fs_path(join_path(dir, "core-diag.log")));
       }},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir root("datadir");
    TempDir outside("outside");
    const std::string dir = join_path(root.path(), "Ombrel");
    c.plant(dir, outside.path());
    auto ensured = ensure_private_dir(dir);
    ASSERT_TRUE(ensured) << ensured.error().to_string();
    EXPECT_TRUE(std::filesystem::is_directory(fs_path(dir)));
    EXPECT_TRUE(std::filesystem::is_empty(fs_path(dir)));
    const auto aside = names_starting(root.path(), "Ombrel.moved-");
    EXPECT_EQ(aside.size(), 1u);
    if (path_exists(join_path(outside.path(), "victim"))) {
      EXPECT_EQ(read_file(join_path(outside.path(), "victim")).value_or("?"), "precious");
    }
    // Fit now: a second look changes nothing.
    ASSERT_TRUE(ensure_private_dir(dir));
    EXPECT_EQ(names_starting(root.path(), "Ombrel.moved-"), aside);
  }
}

}  // namespace
}  // namespace ombrel::platform
