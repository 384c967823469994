// The desktop launch with the stand-in desktop program. Under Wine the
// console session and its user token exist, so the Windows path runs the
// real calls. On real Windows only the system account may take a session's
// user token: CI runs these as LocalSystem, and they skip as anyone else.
#include "platform/process/session.hpp"

#include <gtest/gtest.h>

#include "platform/process/proclist.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using namespace ombrel::testsupport;

constexpr const char* NEEDS_THE_SYSTEM_ACCOUNT =
    "a session's user token is given to the system account alone";

TEST(Session, StartsTheDesktopApplicationInItsFolderWithoutArguments) {
  OMBREL_SYSTEM_ACCOUNT_ONLY(NEEDS_THE_SYSTEM_ACCOUNT);
  // The blank tests the quoting of the program on the Windows command line.
  for (const char* hint : {"session", "session with blank"}) {
    SCOPED_TRACE(hint);
    InstallDir dir(hint);
    set_script(dir.desktop, "exit 0");
    ASSERT_TRUE(launch_in_user_session(dir.path()));
    const auto cwd = wait_for_record(dir.desktop, ".cwd");
    ASSERT_TRUE(cwd);
    EXPECT_TRUE(same_path(canonical_path(*cwd).value_or(*cwd),
                          canonical_path(dir.path()).value_or(dir.path())))
        << *cwd;
    EXPECT_TRUE(recorded_args(dir.desktop).empty());
    EXPECT_TRUE(wait_until([&] { return run_count(dir.desktop) == 1; }));
  }
}

TEST(Session, AMissingProgramGivesTheFixedSentence) {
  OMBREL_SYSTEM_ACCOUNT_ONLY(NEEDS_THE_SYSTEM_ACCOUNT);
  TempDir dir("session-empty");
  auto launched = launch_in_user_session(dir.path());
  ASSERT_FALSE(launched);
  EXPECT_EQ(launched.error().to_string(), DESKTOP_NOT_STARTED);
}

}  // namespace
}  // namespace ombrel::platform
