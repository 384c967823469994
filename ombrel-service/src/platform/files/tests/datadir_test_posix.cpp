// The Linux port's data folder: owner and mode, and a folder that is itself
// a link.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>

#include "platform/files/datadir.hpp"
#include "platform/files/files.hpp"
#include "platform/files/paths.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using testsupport::fs_path;
using testsupport::TempDir;

int moved_count(const std::string& root) {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator(fs_path(root))) {
    if (e.path().filename().string().starts_with("Ombrel.moved-")) ++n;
  }
  return n;
}

TEST(PrivateDirPosix, WritableByOthersOrOwnedByAnotherUserIsMovedAside) {
  struct Case {
    const char* name;
    mode_t mode;
    bool foreign_owner;  // of the folder, or else of a file in it
    bool moved;
  };
  const Case cases[] = {
      {"0755", 0755, false, false},
      {"0700", 0700, false, false},
      {"group may write", 0775, false, true},
      {"anyone may write", 0777, false, true},
      {"sticky but open to all", 01777, false, true},
      {"another user's", 0755, true, true},
      {"a file of another user inside", 0700, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.foreign_owner && ::geteuid() != 0) {
      std::cout << "not root: a folder of another user cannot be made\n";
      continue;
    }
    TempDir root("datadir");
    const std::string dir = join_path(root.path(), "Ombrel");
    const std::string document = join_path(dir, "tunnel.json");
    ASSERT_EQ(::mkdir(dir.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(dir.c_str(), c.mode), 0);
    ASSERT_TRUE(replace_file_atomically(join_path(dir, "channels.json"),
                                        join_path(dir, "channels.json.tmp"), "{}"));
    ASSERT_TRUE(rewrite_file(document, "earlier sites"));
    if (c.foreign_owner) {
      ASSERT_EQ(::chown(c.mode == 0700 ? document.c_str() : dir.c_str(), 65534, 65534), 0);
    }
    // As an earlier version left them: readable by everyone, and open to
    // whoever read them then.
    ASSERT_EQ(::chmod(join_path(dir, "channels.json").c_str(), 0644), 0);
    ASSERT_EQ(::chmod(document.c_str(), 0644), 0);
    std::ifstream earlier(document, std::ios::binary);
    ASSERT_TRUE(ensure_private_dir(dir));
    if (!c.moved) {
      // Made anew: the earlier reader sees nothing written from now on.
      ASSERT_TRUE(rewrite_file(document, "new sites"));
      const std::string seen{std::istreambuf_iterator<char>(earlier), {}};
      EXPECT_EQ(seen, "earlier sites");
      EXPECT_EQ(read_file(document).value_or("?"), "new sites");
    }
    EXPECT_EQ(moved_count(root.path()), c.moved ? 1 : 0);
    EXPECT_EQ(path_exists(join_path(dir, "channels.json")), !c.moved);
    struct stat st {};
    ASSERT_EQ(::lstat(dir.c_str(), &st), 0);
    // Nobody else may even read what the service keeps there.
    EXPECT_EQ(st.st_mode & 077, 0u);
    EXPECT_TRUE(st.st_uid == 0 || st.st_uid == ::geteuid());
    if (!c.moved) {
      ASSERT_EQ(::lstat(join_path(dir, "channels.json").c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 0777, 0600u);
    }
    ASSERT_TRUE(append_file(join_path(dir, "new.log"), "x"));
    ASSERT_EQ(::lstat(join_path(dir, "new.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
}

TEST(PrivateDirPosix, AFolderThatIsALinkIsMovedAsideAndItsTargetLeftAlone) {
  TempDir root("datadir");
  TempDir target("target");
  ASSERT_TRUE(replace_file_atomically(target.file("keep"), target.file("keep.tmp"), "precious"));
  const std::string dir = join_path(root.path(), "Ombrel");
  std::filesystem::create_directory_symlink(fs_path(target.path()), fs_path(dir));
  ASSERT_TRUE(ensure_private_dir(dir));
  EXPECT_FALSE(std::filesystem::is_symlink(fs_path(dir)));
  EXPECT_TRUE(std::filesystem::is_directory(fs_path(dir)));
  EXPECT_EQ(moved_count(root.path()), 1);
  EXPECT_EQ(read_file(target.file("keep")).value_or("?"), "precious");
}

// A renewal whose holder kept the old file renamed aside leaves its copy
// for the next start, which removes it, or makes the file again from it
// when the renewal could not put the file back; nothing else is touched.
TEST(PrivateDirPosix, TheStartRemovesTheCopiesOfEarlierRenewals) {
  TempDir root("datadir");
  const std::string dir = join_path(root.path(), "Ombrel");
  const testsupport::ScopedVariable data_dir("OMBREL_DATA_DIR", dir);
  ASSERT_TRUE(ensure_private_dir(dir));
  const std::string copy = gone_name(join_path(dir, "tunnel.json"));
  const std::string only_copy = gone_name(join_path(dir, "registry.json"));
  for (const std::string& name :
       {copy, only_copy, join_path(dir, "tunnel.json"), join_path(dir, "a.gone.json")}) {
    ASSERT_TRUE(rewrite_file(name, name == only_copy ? "worked nodes" : "x"));
  }
  const auto ensured = ensure_private_data_dir();
  ASSERT_TRUE(ensured) << ensured.error().to_string();
  EXPECT_FALSE(path_exists(copy));
  EXPECT_FALSE(path_exists(only_copy));
  EXPECT_EQ(read_file(join_path(dir, "registry.json")).value_or("?"), "worked nodes");
  EXPECT_TRUE(path_exists(join_path(dir, "tunnel.json")));
  EXPECT_TRUE(path_exists(join_path(dir, "a.gone.json")));
}

}  // namespace
}  // namespace ombrel::platform
