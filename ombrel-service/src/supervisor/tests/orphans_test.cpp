#include "supervisor/orphans.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "platform/process/process.hpp"
#include "platform/process/proclist.hpp"
#include "testsupport.hpp"

#ifndef _WIN32
#include <unistd.h>

#include <functional>

#include "supervisor/launch.hpp"

#include "as_user.hpp"
#endif

namespace ombrel::supervisor {
namespace {

using namespace ombrel::testsupport;

bool is_running(std::uint32_t pid) {
  auto all = platform::list_processes();
  return all && std::any_of(all->begin(), all->end(),
                            [&](const platform::ProcessEntry& p) { return p.pid == pid; });
}

// A core left behind by an earlier run: started, then let go.
std::uint32_t start_orphan(const std::string& exe) {
  const int before = run_count(exe);
  auto p = platform::spawn(platform::SpawnOptions{
      exe, {}, std::nullopt, platform::Stdio::Null, platform::Stdio::Null, platform::Stdio::Null});
  if (!p) {
    ADD_FAILURE() << p.error().to_string();
    return 0;
  }
  const std::uint32_t pid = p->release();
  wait_until([&] { return run_count(exe) > before; });
  return pid;
}

// Ends whatever a test left running, whatever the outcome of the test.
struct Orphans {
  std::vector<std::uint32_t> pids;
  std::uint32_t add(const std::string& exe) { return pids.emplace_back(start_orphan(exe)); }
  ~Orphans() {
    for (const auto pid : pids) (void)platform::terminate_process(pid, 1);
  }
};

bool contains(const std::vector<std::uint32_t>& pids, std::uint32_t pid) {
  return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

TEST(Orphans, OnlyCoresOfThisInstallationAreEnded) {
  InstallDir ours("наша установка");
  InstallDir theirs("чужая");
  Orphans orphans;
  const auto our_xray = orphans.add(ours.xray);
  const auto our_singbox = orphans.add(ours.sing_box);
  const auto our_desktop = orphans.add(ours.desktop);
  const auto their_xray = orphans.add(theirs.xray);
  const auto their_singbox = orphans.add(theirs.sing_box);

  EXPECT_EQ(kill_orphan_cores_in(ours.path()), 2u);
  EXPECT_TRUE(wait_until([&] { return !is_running(our_xray) && !is_running(our_singbox); }));
  EXPECT_TRUE(is_running(our_desktop));
  EXPECT_TRUE(is_running(their_xray));
  EXPECT_TRUE(is_running(their_singbox));

  // Nothing of ours left: a second pass ends nothing.
  EXPECT_EQ(kill_orphan_cores_in(ours.path()), 0u);
}

TEST(Orphans, NothingIsEndedWhenNoCoreLiesInTheFolder) {
  TempDir empty;
  InstallDir theirs;
  Orphans orphans;
  const auto their_xray = orphans.add(theirs.xray);
  EXPECT_EQ(kill_orphan_cores_in(empty.path()), 0u);
  EXPECT_TRUE(is_running(their_xray));
  // The test binaries' own folder holds stand-ins, not cores.
  EXPECT_EQ(kill_orphan_cores(), 0u);
  EXPECT_TRUE(is_running(their_xray));
}

TEST(Orphans, NamesAreComparedInLowerCase) {
  TempDir dir;
  Orphans orphans;
  const std::string upper = install_standin(dir.path(), Standin::Xray, exe_name("XRAY"));
  const auto pid = orphans.add(upper);
  const auto found = find_processes_by_name({exe_name("xray"), exe_name("sing-box")});
  EXPECT_TRUE(contains(found, pid));
  EXPECT_FALSE(contains(find_processes_by_name({exe_name("sing-box")}), pid));
#ifdef _WIN32
  // The file system ignores case, so this is the core next to the service.
  EXPECT_EQ(kill_orphan_cores_in(dir.path()), 1u);
  EXPECT_TRUE(wait_until([&] { return !is_running(pid); }));
#endif
}

#ifndef _WIN32
// The installed core started by another user on their own is theirs: only a
// process of the service's own account is a leftover.
// Another user's core is left alone, unless that user is the account the
// service's own proxy core runs as.
TEST(Orphans, ACoreOfAnotherUserIsLeftAloneUnlessItIsTheCoresAccount) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a core as another user";
  for (const bool cores_account : {false, true}) {
    SCOPED_TRACE(cores_account);
    InstallDir ours("ядра другого");
    Orphans orphans;
    const auto our_xray = orphans.add(ours.xray);
    const pid_t their_xray = start_as_user(65534, ours.xray);
    ASSERT_GT(their_xray, 0);
    ASSERT_TRUE(wait_until(
        [&] { return running_from(static_cast<std::uint32_t>(their_xray), ours.xray); }));

    if (cores_account) set_core_account("nobody");
    EXPECT_EQ(kill_orphan_cores_in(ours.path()), cores_account ? 2u : 1u);
    set_core_account();
    EXPECT_TRUE(wait_until([&] { return !is_running(our_xray); }));
    EXPECT_TRUE(wait_until([&] {
      return running_from(static_cast<std::uint32_t>(their_xray), ours.xray) != cores_account;
    }));
    end_as_user(their_xray);
  }
}

// What the proxy core's own account runs is all left over from an earlier
// run, whatever its program (a core's own child in a session of its own
// too): ended by the cleanup at start, and by a start that finds it on a
// core's port, which then goes ahead. The account is found in the data
// folder's record. Another user's process is not touched.
TEST(Orphans, EveryProcessOfTheCoresOwnAccountIsLeftOver) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run a process as another user";
  TempDir data("orphan-data");
  const ScopedVariable data_dir("OMBREL_DATA_DIR", data.path());
  InstallDir ours;
  name_no_core_account();
  const auto account = platform::unprivileged_account();
  ASSERT_TRUE(account) << account.error().to_string();
  const auto runs = [&](pid_t pid) {
    return running_from(static_cast<std::uint32_t>(pid), ours.desktop);
  };
  const struct {
    const char* how;
    std::function<bool(pid_t left)> ends;
  } ways[] = {
      // The test's own folder holds no cores: only the account's process counts.
      {"the cleanup at start", [](pid_t) { return kill_orphan_cores() == 1; }},
      {"a start that finds it on a core's port",
       [&](pid_t left) {
         CoreLaunch launch;
         launch.local_ports = {10809};
         CoreEnvironment env;
         env.listeners = [&](std::span<const std::uint16_t>) {
           return runs(left) ? std::vector<platform::PortListener>{{10809, left}}
                             : std::vector<platform::PortListener>{};
         };
         return check_local_ports(launch, env).has_value();
       }},
  };
  for (const auto& way : ways) {
    SCOPED_TRACE(way.how);
    const pid_t left = start_as_user(account->uid, ours.desktop);
    const pid_t other = start_as_user(65534, ours.desktop);
    EXPECT_TRUE(wait_until([&] { return runs(left) && runs(other); }));
    EXPECT_TRUE(way.ends(left));
    EXPECT_TRUE(wait_until([&] { return !runs(left); }));
    EXPECT_TRUE(runs(other));
    end_as_user(left);
    end_as_user(other);
  }
  set_core_account();
}
#endif

TEST(Orphans, CleanupLine) {
  EXPECT_EQ(orphan_cleanup_line(0), "");
  EXPECT_EQ(orphan_cleanup_line(2), "добито осиротевших ядер: 2\n");
}

}  // namespace
}  // namespace ombrel::supervisor
