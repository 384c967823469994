// A file written over in place holds exactly the new bytes, whatever it held
// before: nothing of a longer old content may survive past the new end.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "platform/files/files.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using testsupport::TempDir;

TEST(RewriteFile, LeavesExactlyTheNewContent) {
  struct Case {
    const char* name;
    std::optional<std::string> before;  // nullopt: no file yet
    std::string after;
  };
  const std::string big(70000, 'b');
  const Case cases[] = {
      {"new file", std::nullopt, "{\"dns\":{}}"},
      {"longer than before", "{}", "{\"dns\":{},\"route\":{}}"},
      {"shorter than before", "{\"dns\":{},\"route\":{}}", "{}"},
      {"same length, other bytes", "abcdef", "ghijkl"},
      {"emptied", "something", ""},
      {"many pages down to a few bytes", big, "x"},
      {"a few bytes up to many pages", "x", big},
      {"binary with NUL bytes", "0123456789", std::string("a\0b\r\n", 5)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    const std::string path = dir.file("tunnel.json");
    if (c.before) {
      ASSERT_TRUE(rewrite_file(path, *c.before));
    }
    ASSERT_TRUE(rewrite_file(path, c.after));
    EXPECT_EQ(read_file(path).value_or("(unreadable)"), c.after);
    EXPECT_EQ(file_size(path).value_or(0), c.after.size());
  }
}

TEST(RewriteFile, AFolderInTheWayIsAnError) {
  TempDir dir;
  ASSERT_TRUE(create_directories(dir.file("tunnel.json")));
  EXPECT_FALSE(rewrite_file(dir.file("tunnel.json"), "{}"));
}

}  // namespace
}  // namespace ombrel::platform
