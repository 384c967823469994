#include <gtest/gtest.h>

#include <thread>

#include "base/text.hpp"
#include "event_recorder.hpp"
#include "platform/process/session.hpp"
#include "update_fixture.hpp"

namespace ombrel::selfupdate::test {
namespace {

constexpr std::int64_t DAY_MS = 86400000;

TEST(WaitDesktopExit, PollsEvery200MsForAtMost15Seconds) {
  struct Case {
    const char* name;
    std::function<bool(int)> desktop_at;
    bool list_fails;
    int sleeps;
  };
  const Case cases[] = {
      {"none running: no sleep at all", [](int) { return false; }, false, 0},
      {"exits after three looks", [](int n) { return n < 3; }, false, 3},
      {"never exits", [](int) { return true; }, false, 75},
      {"the list cannot be had", [](int) { return false; }, true, 75},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    f.desktop_at = c.desktop_at;
    f.list_fails = c.list_fails;
    const auto start = f.clock.monotonic();
    wait_desktop_exit(f.deps);
    EXPECT_EQ(f.sleeps, c.sleeps);
    EXPECT_EQ(f.clock.monotonic() - start, std::chrono::milliseconds(200 * c.sleeps));
  }
}

TEST(WaitDesktopExit, RecognisesTheDesktopByNameInAnyCase) {
  struct Case {
    std::string name;
    bool desktop;
  };
  std::string upper = DESKTOP_EXE;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const Case cases[] = {
      {DESKTOP_EXE, true},
      {upper, true},
      // Linux names a replaced program by its backup's name.
      {backup_path(DESKTOP_EXE), true},
      {SERVICE_EXE, false},
      {std::string("x").append(DESKTOP_EXE), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    f.deps.list_processes = [&]() -> Result<std::vector<platform::ProcessEntry>> {
      return std::vector<platform::ProcessEntry>{{7, c.name}};
    };
    wait_desktop_exit(f.deps);
    EXPECT_EQ(f.sleeps, c.desktop ? 75 : 0);
  }
  // A listing that fails is a desktop still running: waited out whole.
  UpdateFixture f;
  f.deps.list_processes = []() -> Result<std::vector<platform::ProcessEntry>> {
    return fail("no listing");
  };
  wait_desktop_exit(f.deps);
  EXPECT_EQ(f.sleeps, 75);
}

// A refusal is reported and logged and starts nothing. A process whose
// update ran out of time is turned away for a while, with one line in the
// log however often it asks; other refusals bar nobody.
TEST(HandleUpdate, AnUpdateOutOfTimeBarsItsProcessForAWhile) {
  UpdateFixture f;
  UpdateBar bar;
  f.deps.bar = &bar;
  // Long enough that no healthy open or read under load runs into it.
  f.deps.staging_stall = std::chrono::milliseconds(300);
  UpdateFields fields = f.offer();
  fields.caller_pid = 42;
  UpdateFields slow = fields;
  slow.open_offered = [](const std::string& path) {
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    return platform::InputFile::open(path);
  };
  UpdateFields wrong = fields;
  wrong.app_sha256 = wrong.service_sha256;
  const auto text = [&](const UpdateFields& u) {
    const auto decision = handle_update(u, f.deps);
    return std::holds_alternative<UpdateFailed>(decision) ? std::get<UpdateFailed>(decision).text
                                                          : std::string("accepted");
  };
  const std::string wrong_sum = "сумма " + fields.app_path + " не сошлась";
  EXPECT_EQ(text(wrong), wrong_sum);
  // Said escaped: a Windows path holds backslashes.
  EXPECT_EQ(f.lines, std::vector<std::string>{
                         "обновление не поставлено: " + escape_controls(wrong_sum) + "\n"});
  EXPECT_EQ(text(slow), fields.app_path +
                            " не отдавал данных 300 мс; обновления от этого процесса не "
                            "принимаются 10 с");
  f.clock.advance_ms(2500);
  EXPECT_EQ(text(fields), "обновления от этого процесса не принимаются ещё 8 с");
  EXPECT_EQ(text(fields), "обновления от этого процесса не принимаются ещё 8 с");
  UpdateFields other = fields;
  other.caller_pid = 43;
  EXPECT_EQ(text(other), "accepted");
  f.clock.advance_ms(7500);
  fields = f.offer("desktop v3", "service v3");
  fields.caller_pid = 42;
  EXPECT_EQ(text(fields), "accepted");
  // The wrong sum, the time-out, the first barred offer, the two accepted.
  EXPECT_EQ(f.lines.size(), 5u);
  EXPECT_EQ(f.jobs.size(), 2u);  // the two accepted offers
}

TEST(HandleUpdate, EqualFilesStartNothing) {
  UpdateFixture f;
  const auto decision = handle_update(f.offer("desktop v1", "service v1"), f.deps);
  EXPECT_TRUE(std::holds_alternative<AlreadyCurrent>(decision));
  EXPECT_TRUE(f.jobs.empty());
  EXPECT_TRUE(f.lines.empty());
}

// Offers the two builds, which must be taken, leaving the finisher as the one
// job; whether the tunnel drops.
bool tunnel_drops_taking(UpdateFixture& f, std::string_view desktop, std::string_view service) {
  const auto decision = handle_update(f.offer(desktop, service), f.deps);
  EXPECT_TRUE(std::holds_alternative<UpdateAccepted>(decision));
  EXPECT_EQ(f.jobs.size(), 1u);
  // Nothing happens before the finisher runs.
  EXPECT_TRUE(f.launches.empty());
  EXPECT_TRUE(f.starts.empty());
  const auto* accepted = std::get_if<UpdateAccepted>(&decision);
  return accepted != nullptr && accepted->tunnel_drops;
}

TEST(HandleUpdate, ANewDesktopIsLaunchedAfterTheOldOneHasGone) {
  UpdateFixture f;
  testsupport::EventRecorder events;
  EXPECT_FALSE(tunnel_drops_taking(f, "desktop v2", "service v1"));
  const std::string applied = "обновление поставлено: " + std::string(DESKTOP_EXE);
  EXPECT_EQ(f.lines, std::vector<std::string>{applied + "\n"});
  EXPECT_EQ(
      events.events(),
      (std::vector<testsupport::ReportedEvent>{{platform::EventKind::UpdateApplied, 5, applied}}));

  f.desktop_at = [](int n) { return n < 2; };
  f.launch_result = fail(std::string(platform::DESKTOP_NOT_STARTED));
  f.jobs.at(0)();
  EXPECT_EQ(f.sleeps, 2);
  EXPECT_EQ(f.launches, std::vector<std::string>{f.install.path()});
  EXPECT_TRUE(f.starts.empty());
  // Cleared even though the launch failed.
  EXPECT_FALSE(platform::path_exists(f.record));
}

TEST(HandleUpdate, ANewServiceRestartsAndLeavesTheRecordToIt) {
  UpdateFixture f;
  EXPECT_TRUE(tunnel_drops_taking(f, "desktop v1", "service v2"));
  f.jobs.at(0)();
  EXPECT_EQ(f.starts, (std::vector<std::vector<std::string>>{{f.service, "restart"}}));
  EXPECT_TRUE(f.launches.empty());
  EXPECT_TRUE(platform::path_exists(f.record));
}

// Without a service manager (Linux) the process becomes the new build; a
// replacement that fails is said, and the record waits for the next start.
TEST(HandleUpdate, ANewServiceReplacesTheProcessWhereNothingRestartsIt) {
  for (const bool fails : {false, true}) {
    UpdateFixture f;
    std::vector<std::string> replaced_by;
    f.deps.replace_service = [&](const std::string& program) -> Result<void> {
      replaced_by.push_back(program);
      if (fails) return fail("Exec format error");
      return {};
    };
    EXPECT_TRUE(tunnel_drops_taking(f, "desktop v1", "service v2"));
    f.jobs.at(0)();
    EXPECT_TRUE(f.starts.empty());
    EXPECT_EQ(replaced_by, std::vector<std::string>{f.service});
    ASSERT_EQ(f.lines.size(), fails ? 2u : 1u);
    EXPECT_EQ(f.lines[0], "обновление поставлено: " + std::string(SERVICE_EXE) + "\n");
    if (fails) {
      EXPECT_EQ(f.lines[1], "обновление: служба не перезапущена - не удалось запустить " +
                                escape_controls(f.service) + ": Exec format error\n");
    }
    EXPECT_TRUE(platform::path_exists(f.record));
  }
}

TEST(FinishUpdate, EndsSilentlyWithoutAnInstallationFolder) {
  UpdateFixture f;
  f.deps.install_dir = []() -> Result<std::string> {
    return fail("не определить папку установки");
  };
  finish_update(true, false, f.deps);
  finish_update(true, true, f.deps);
  EXPECT_EQ(f.polls, 0);
  EXPECT_TRUE(f.launches.empty());
  EXPECT_TRUE(f.starts.empty());
}

TEST(StartupCheck, PutsBackMissingExecutablesFromTheirBackups) {
  struct Case {
    const char* name;
    std::vector<std::string> present;  // file names in the folder
    std::vector<std::string> restored;
  };
  const std::string d = DESKTOP_EXE, s = SERVICE_EXE;
  const std::string d_old = backup_path(d), s_old = backup_path(s);
  const Case cases[] = {
      {"desktop missing", {d_old, s}, {d}},
      {"both missing, desktop first", {s_old, d_old}, {d, s}},
      {"service missing", {d, s_old}, {s}},
      {"both present: backups stay backups", {d, d_old, s, s_old}, {}},
      {"missing without backup", {s}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    for (const auto& name : c.present) write(f.install.file(name), "content of " + name);
    // Old enough to be pruned, had they stayed backups.
    for (const auto& name : c.present) {
      ASSERT_TRUE(
          platform::set_last_write_ms(f.install.file(name), f.clock.wall_ms() - 2 * DAY_MS));
    }
    startup_update_check(f.deps);
    std::vector<std::string> expected_lines;
    for (const auto& name : c.restored) {
      expected_lines.push_back("обновление: вернул прежний " + name + "\n");
      EXPECT_EQ(read(f.install.file(name)), "content of " + backup_path(name));
      EXPECT_FALSE(platform::path_exists(f.install.file(backup_path(name))));
    }
    EXPECT_EQ(f.lines, expected_lines);
    EXPECT_TRUE(f.launches.empty());
  }
}

TEST(StartupCheck, PrunesBackupsOlderThanADayToTheMillisecond) {
  struct Case {
    const char* name;
    std::int64_t age_ms;
    bool kept;
  };
  const Case cases[] = {
      {"exactly a day", DAY_MS, true},
      {"a day and a millisecond", DAY_MS + 1, false},
      {"fresh", 1000, true},
      {"from the future", -DAY_MS * 3, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    for (const char* name : {DESKTOP_EXE, SERVICE_EXE}) {
      const std::string exe = f.install.file(name);
      write(exe, "x");
      write(backup_path(exe), "old");
      ASSERT_TRUE(platform::set_last_write_ms(backup_path(exe), f.clock.wall_ms() - c.age_ms));
    }
    startup_update_check(f.deps);
    EXPECT_EQ(platform::path_exists(backup_path(f.desktop)), c.kept);
    EXPECT_EQ(platform::path_exists(backup_path(f.service)), c.kept);
    EXPECT_TRUE(f.lines.empty());
  }
}

TEST(StartupCheck, APendingUpdateLaunchesTheDesktopOnce) {
  struct Case {
    const char* name;
    Result<void> launch;
    std::string line;
  };
  const Case cases[] = {
      {"launched", {}, "обновление: приложение поднято\n"},
      {"not launched", fail(std::string(platform::NO_USER_TOKEN)),
       "обновление: приложение не поднято - " + std::string(platform::NO_USER_TOKEN) + "\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    write(f.desktop, "x");
    write(f.service, "x");
    write(f.record, R"({"version":"1.2.3"})");
    f.launch_result = c.launch;
    f.desktop_at = [](int n) { return n == 0; };
    startup_update_check(f.deps);
    EXPECT_EQ(f.sleeps, 1);
    EXPECT_EQ(f.launches, std::vector<std::string>{f.install.path()});
    EXPECT_EQ(f.lines, std::vector<std::string>{c.line});
    EXPECT_FALSE(platform::path_exists(f.record));

    startup_update_check(f.deps);
    EXPECT_EQ(f.launches.size(), 1u);
    EXPECT_EQ(f.lines.size(), 1u);
  }
}

TEST(StartupCheck, WithoutARecordNeitherWaitsNorLaunches) {
  UpdateFixture f;
  write(f.desktop, "x");
  write(f.service, "x");
  f.desktop_at = [](int) { return true; };
  startup_update_check(f.deps);
  EXPECT_EQ(f.polls, 0);
  EXPECT_TRUE(f.launches.empty());
  EXPECT_TRUE(f.lines.empty());
}

// With them go the names earlier updates left where a handle kept a file
// (renamed aside to be deleted, staged beside a held leftover); nothing else.
TEST(StartupCheck, RemovesStagedCopiesOfAnInterruptedRun) {
  UpdateFixture f;
  write(f.desktop, "x");
  const std::string removed[] = {
      staged_path(f.desktop), staged_path(f.service), f.desktop + ".1733650000000.gone",
      staged_path(f.service) + ".1733650000000-2", f.record + ".1733650000000.gone"};
  const std::string kept[] = {f.desktop, f.service + ".1733650000000", f.install.file("notes.gone"),
                              f.desktop + "-notes.gone"};
  for (const auto& path : removed) write(path, "half");
  for (const auto& path : kept) write(path, "x");
  std::vector<std::string> bounded;
  f.deps.at_file = [&](const std::string& path) { bounded.push_back(path); };
  startup_update_check(f.deps);
  EXPECT_EQ(bounded.at(0), staged_path(f.desktop));
  for (const auto& path : removed) EXPECT_FALSE(platform::path_exists(path)) << path;
  for (const auto& path : kept) EXPECT_EQ(read(path), "x") << path;
}

// The whole way with the real launcher: the stand-in desktop program is
// offered as the new desktop application, verified, installed and started.
TEST(UpdateWithRealLauncher, TheNewDesktopApplicationStarts) {
  OMBREL_SYSTEM_ACCOUNT_ONLY("a session's user token is given to the system account alone");
  UpdateFixture f;
  // The session's user runs the desktop from here and writes its records
  // beside it; the system account's temporary folder gives users neither.
  testsupport::set_folder_rights(f.install.path(), testsupport::Rights::AdministratorsOnly);
  testsupport::make_records_folder(f.install.path());
  UpdateFields fields = f.offer("desktop v2", "service v1");
  testsupport::install_standin(f.offered.path(), testsupport::Standin::Desktop, "new-desktop");
  fields.app_path = f.offered.file("new-desktop");
  fields.app_sha256 = file_sha256_hex(fields.app_path).value();
  f.deps.launch_desktop = real_deps().launch_desktop;
  testsupport::set_script(f.desktop, "exit 0");

  const auto decision = handle_update(fields, f.deps);
  ASSERT_TRUE(std::holds_alternative<UpdateAccepted>(decision))
      << (std::holds_alternative<UpdateFailed>(decision) ? std::get<UpdateFailed>(decision).text
                                                         : "already current");
  ASSERT_EQ(f.jobs.size(), 1u);
  f.jobs[0]();
  EXPECT_TRUE(testsupport::wait_for_record(f.desktop, ".cwd"));
  EXPECT_TRUE(testsupport::wait_until([&] { return testsupport::run_count(f.desktop) == 1; }));
  EXPECT_FALSE(platform::path_exists(f.record));
}

}  // namespace
}  // namespace ombrel::selfupdate::test
