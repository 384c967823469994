// What becomes of a child when its owner is killed outright (SIGKILL,
// TerminateProcess), with no chance to end it: a child started to end with
// the service goes too, ordinary and detached children live on. The owner
// is the stand-in "standin-owner", which starts the child and waits to be
// killed.
#include <gtest/gtest.h>

#include "platform/process/process.hpp"
#include "platform/process/proclist.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using namespace ombrel::testsupport;

struct Owned {
  Process owner;
  std::uint32_t child = 0;
};

// Starts the owner in `dir`, which starts `program` as `mode` asks, and
// gives the child's process id.
Owned start_owner(const TempDir& dir, const std::string& mode, const std::string& program) {
  const std::string owner_exe = install_program(dir.path(), "standin-owner", exe_name("owner"));
  auto owner = spawn(SpawnOptions{
      owner_exe, {mode, program}, std::nullopt, Stdio::Null, Stdio::Null, Stdio::Null});
  if (!owner) {
    ADD_FAILURE() << owner.error().to_string();
    return {};
  }
  Owned owned{std::move(*owner)};
  const auto child = wait_for_record(owner_exe, ".child", 30s);
  if (!child) {
    ADD_FAILURE() << "no child: " << read_record(owner_exe, ".error").value_or("(no error)");
    return owned;
  }
  owned.child = static_cast<std::uint32_t>(std::stoul(*child));
  return owned;
}

TEST(ProcessEnd, OnlyAChildBoundToTheServiceDiesWithItsKilledOwner) {
  struct Case {
    const char* mode;
    bool outlives_owner;
  };
  const Case cases[] = {{"bound", false}, {"lasting", false}, {"plain", true}, {"detached", true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.mode);
    TempDir dir("owner");
    const std::string child_exe = install_standin(dir.path(), Standin::Desktop);
    set_script(child_exe, "stay");
    Owned owned = start_owner(dir, c.mode, child_exe);
    ASSERT_NE(owned.child, 0u);
    // The thread that asked for the child has ended by now; the child lives on.
    std::this_thread::sleep_for(300ms);
    ASSERT_TRUE(running_from(owned.child, child_exe));

    ASSERT_TRUE(owned.owner.terminate(9));
    ASSERT_TRUE(owned.owner.wait());
    if (c.outlives_owner) {
      std::this_thread::sleep_for(1s);
      EXPECT_TRUE(running_from(owned.child, child_exe));
      (void)terminate_process(owned.child, 1);
    } else {
      EXPECT_TRUE(wait_until([&] { return !running_from(owned.child, child_exe); }, 10s))
          << "the bound child outlived its owner";
    }
    EXPECT_TRUE(wait_until([&] { return !running_from(owned.child, child_exe); }, 10s));
  }
}

TEST(ProcessEnd, ABoundChildIsAnOrdinaryChildWhileItsOwnerLives) {
  InstallDir dir;
  set_script(dir.sing_box, "print out\neprint err\nexit 5");
  SpawnOptions options{dir.sing_box, {"a b", "ü"}, dir.path(),
                       Stdio::Null,  Stdio::Pipe,  Stdio::Pipe};
  options.end_with_service = true;
  auto p = spawn(options);
  ASSERT_TRUE(p) << p.error().to_string();
  auto out = p->take_stdout();
  auto err = p->take_stderr();
  EXPECT_EQ(read_to_end(*err), "err\n");
  EXPECT_EQ(read_to_end(*out), "out\n");
  EXPECT_EQ(p->wait().value_or(-1), 5);
  EXPECT_EQ(recorded_args(dir.sing_box), (std::vector<std::string>{"a b", "ü"}));

  options.program = dir.file(exe_name("missing"));
  EXPECT_FALSE(spawn(options));
}

}  // namespace
}  // namespace ombrel::platform
