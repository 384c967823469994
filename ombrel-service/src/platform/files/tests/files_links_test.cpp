// Writes never follow a link planted where a file of the service is to be:
// the file outside stays as it was.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>

#include "platform/files/files.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using testsupport::fs_path;
using testsupport::TempDir;

struct Write {
  const char* name;
  std::function<bool(const std::string& path)> write;
};

const Write WRITES[] = {
    {"create", [](const std::string& p) { return File::create(p).has_value(); }},
    {"open to append", [](const std::string& p) { return File::open_append(p).has_value(); }},
    {"append", [](const std::string& p) { return append_file(p, "planted").has_value(); }},
    {"rewrite", [](const std::string& p) { return rewrite_file(p, "planted").has_value(); }},
    {"replace through the temporary",
     [](const std::string& p) {
       return replace_file_atomically(p + ".final", p, "planted").has_value();
     }},
};

TEST(WritesInPlace, AHardLinkedNameIsRefusedAndTheOtherFileKept) {
  for (const auto& w : WRITES) {
    SCOPED_TRACE(w.name);
    TempDir outside("outside");
    TempDir dir("data");
    const std::string victim = outside.file("victim");
    ASSERT_TRUE(replace_file_atomically(victim, victim + ".tmp", "precious"));
    std::filesystem::create_hard_link(fs_path(victim), fs_path(dir.file("tunnel.json")));
    EXPECT_FALSE(w.write(dir.file("tunnel.json")));
    EXPECT_EQ(read_file(victim).value_or("?"), "precious");
  }
}

TEST(WritesInPlace, AnOrdinaryFileIsWrittenAsBefore) {
  for (const auto& w : WRITES) {
    SCOPED_TRACE(w.name);
    TempDir dir("data");
    ASSERT_TRUE(replace_file_atomically(dir.file("f"), dir.file("f.tmp"), "old"));
    EXPECT_TRUE(w.write(dir.file("f")));
    EXPECT_TRUE(w.write(dir.file("new")));
  }
}

#ifndef _WIN32
TEST(WritesInPlace, ASymbolicLinkIsNotFollowed) {
  for (const auto& w : WRITES) {
    SCOPED_TRACE(w.name);
    TempDir outside("outside");
    TempDir dir("data");
    const std::string victim = outside.file("victim");
    ASSERT_TRUE(replace_file_atomically(victim, victim + ".tmp", "precious"));
    std::filesystem::create_symlink(fs_path(victim), fs_path(dir.file("core-diag.log")));
    std::filesystem::create_symlink(fs_path(outside.file("absent")), fs_path(dir.file("dangling")));
    EXPECT_FALSE(w.write(dir.file("core-diag.log")));
    EXPECT_FALSE(w.write(dir.file("dangling")));
    EXPECT_EQ(read_file(victim).value_or("?"), "precious");
    EXPECT_FALSE(path_exists(outside.file("absent")));
  }
}
#endif

}  // namespace
}  // namespace ombrel::platform
