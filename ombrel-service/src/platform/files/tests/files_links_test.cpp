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

// Each write, on a name planted where it writes: a second name of a file
// elsewhere is refused and that file kept, as is (Linux) a symbolic link,
// dangling or not; an ordinary file, or none, is written as before.
TEST(WritesInPlace, OnlyAnOrdinaryNameIsWritten) {
  using std::filesystem::path;
  const struct {
    const char* name;
    // Plants the name `at`; `victim` is a file elsewhere, `absent` a name
    // elsewhere that nothing may create.
    std::function<void(const path& victim, const path& absent, const path& at)> plant;
    bool written;
  } plants[] = {
      {"a hard link", [](auto& victim, auto&, auto& at) { create_hard_link(victim, at); }, false},
      {"an ordinary file",
       [](auto&, auto&, auto& at) {
         ASSERT_TRUE(replace_file_atomically(testsupport::utf8_path(at),
                                             testsupport::utf8_path(at) + ".tmp", "old"));
       },
       true},
      {"no file yet", [](auto&, auto&, auto&) {}, true},
#ifndef _WIN32
      {"a symbolic link", [](auto& victim, auto&, auto& at) { create_symlink(victim, at); }, false},
      {"a dangling symbolic link",
       [](auto&, auto& absent, auto& at) { create_symlink(absent, at); }, false},
#endif
  };
  for (const auto& w : WRITES) {
    for (const auto& p : plants) {
      SCOPED_TRACE(std::string(w.name) + ", " + p.name);
      TempDir outside("outside");
      TempDir dir("data");
      const std::string victim = outside.file("victim");
      ASSERT_TRUE(replace_file_atomically(victim, victim + ".tmp", "precious"));
      const std::string at = dir.file("core-diag.log");
      p.plant(fs_path(victim), fs_path(outside.file("absent")), fs_path(at));
      EXPECT_EQ(w.write(at), p.written);
      EXPECT_EQ(read_file(victim).value_or("?"), "precious");
      EXPECT_FALSE(path_exists(outside.file("absent")));
    }
  }
}

}  // namespace
}  // namespace ombrel::platform
