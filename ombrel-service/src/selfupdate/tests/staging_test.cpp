#include <gtest/gtest.h>

#include <thread>

#include <cctype>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "base/text.hpp"
#include "oplock.hpp"
#include "platform/files/datadir.hpp"
#include "platform/process/process.hpp"
#include "update_fixture.hpp"

namespace ombrel::selfupdate::test {
namespace {

std::string not_a_program(const std::string& path) {
  return path + std::string(internal::NOT_A_PROGRAM);
}

std::string cannot_open(const std::string& path) {
  return "не открыть " + path;
}

// Whether only the system and the administrators may open the file (its own
// protected list; Linux: 0600); nullopt where the system keeps no lists (Wine).
std::optional<bool> kept_private(const std::string& path) {
#ifdef _WIN32
  if (!testsupport::real_windows()) return std::nullopt;
  auto sddl = platform::folder_security_sddl(path);
  if (!sddl) return std::nullopt;
  return sddl->find("D:P(") != std::string::npos;
#else
  std::error_code failed;
  const auto st = std::filesystem::status(fs_path(path), failed);
  if (failed) return std::nullopt;
  return (st.permissions() & std::filesystem::perms::all) == std::filesystem::perms(0600);
#endif
}

std::string text_of(const Result<UpdateOutcome>& result) {
  return result ? "success" : result.error().to_string();
}

TEST(FileDigest, KnownAnswersAcrossBlocks) {
  testsupport::TempDir dir;
  struct Case {
    std::string content;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    write(dir.file("f"), c.content);
    EXPECT_EQ(file_sha256_hex(dir.file("f")).value_or("error"), c.digest);
  }
  EXPECT_FALSE(file_sha256_hex(dir.file("missing")));
}

TEST(FileDigest, TheLimitIsInclusive) {
  testsupport::TempDir dir;
  const std::uint64_t limit = 100000;  // crosses a 64 KiB block
  write(dir.file("at"), std::string(limit, 'x'));
  write(dir.file("over"), std::string(limit + 1, 'x'));
  EXPECT_EQ(file_sha256_hex(dir.file("at"), limit).value_or("error"),
            digest_of(std::string(limit, 'x')));
  auto over = file_sha256_hex(dir.file("over"), limit);
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().to_string(), "файл больше допустимого");
}

TEST(FileDigest, ExpectedDigestsIgnoreCaseAndSurroundingBlanks) {
  const std::string d = digest_of("abc");
  std::string upper = d;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  EXPECT_TRUE(same_digest(d, d));
  EXPECT_TRUE(same_digest(upper, d));
  EXPECT_TRUE(same_digest(" \t" + d + "\r\n", d));
  EXPECT_FALSE(same_digest(d.substr(1), d));
  EXPECT_FALSE(same_digest(d + "0", d));
  EXPECT_FALSE(same_digest(d, ""));
  EXPECT_FALSE(same_digest("", d));
}

// Every refusal names the path the caller sent and leaves the installation
// folder exactly as it was: no record, no backup, no staged copy.
TEST(StageUpdate, RefusalsNameTheOfferedPathAndChangeNothing) {
  struct Case {
    const char* name;
    std::function<void(UpdateFixture&, UpdateFields&)> arrange;
    std::function<std::string(const UpdateFields&)> text;
  };
  const std::uint64_t limit = 100000;
  const std::string mark(internal::PROGRAM_MARK);
  const Case cases[] = {
      {"app missing",
       [](UpdateFixture& f, UpdateFields& u) { u.app_path = f.offered.file("gone.bin"); },
       [](const UpdateFields& u) { return cannot_open(u.app_path); }},
      {"app empty", [](UpdateFixture&, UpdateFields& u) { write(u.app_path, ""); },
       [](const UpdateFields& u) { return not_a_program(u.app_path); }},
      {"app with the mark reversed",
       [&](UpdateFixture&, UpdateFields& u) {
         write(u.app_path, std::string(mark.rbegin(), mark.rend()));
       },
       [](const UpdateFields& u) { return not_a_program(u.app_path); }},
      {"app holding only the mark's first byte",
       [&](UpdateFixture&, UpdateFields& u) { write(u.app_path, mark.substr(0, 1)); },
       [](const UpdateFields& u) { return not_a_program(u.app_path); }},
      {"app is a folder", [](UpdateFixture& f, UpdateFields& u) { u.app_path = f.offered.path(); },
       [](const UpdateFields& u) { return cannot_open(u.app_path); }},
      {"app one byte over the limit",
       [&](UpdateFixture&, UpdateFields& u) {
         const std::string big = program(std::string(limit + 1 - mark.size(), 'x'));
         write(u.app_path, big);
         u.app_sha256 = digest_of(big);
       },
       [](const UpdateFields& u) {
         return "не прочитать " + u.app_path + ": файл больше допустимого";
       }},
      {"app digest differs",
       [](UpdateFixture&, UpdateFields& u) { u.app_sha256 = digest_of(program("other")); },
       [](const UpdateFields& u) { return "сумма " + u.app_path + " не сошлась"; }},
      {"app digest one digit short",
       [](UpdateFixture&, UpdateFields& u) { u.app_sha256.pop_back(); },
       [](const UpdateFields& u) { return "сумма " + u.app_path + " не сошлась"; }},
      {"service digest differs while the app is fine",
       [](UpdateFixture&, UpdateFields& u) { u.service_sha256 = u.app_sha256; },
       [](const UpdateFields& u) { return "сумма " + u.service_path + " не сошлась"; }},
      {"service missing",
       [](UpdateFixture& f, UpdateFields& u) { u.service_path = f.offered.file("none"); },
       [](const UpdateFields& u) { return cannot_open(u.service_path); }},
      // A file the caller may not read is told apart from nothing else: the
      // reply must not reveal what only the service could have opened; the
      // reason goes to the service's log alone.
      {"app the caller may not read",
       [](UpdateFixture&, UpdateFields& u) {
         u.open_offered = [app = u.app_path](const std::string& path) {
           return path == app ? fail("отказано в доступе") : platform::InputFile::open(path);
         };
       },
       [](const UpdateFields& u) { return cannot_open(u.app_path); }},
      {"service the caller may not read",
       [](UpdateFixture&, UpdateFields& u) {
         u.open_offered = [svc = u.service_path](const std::string& path) {
           return path == svc ? fail("отказано в доступе") : platform::InputFile::open(path);
         };
       },
       [](const UpdateFields& u) { return cannot_open(u.service_path); }},
      {"installation folder unsafe",
       [](UpdateFixture& f, UpdateFields&) { f.deps.install_folder_safe = [] { return false; }; },
       [](const UpdateFields&) { return std::string(UNSAFE_FOLDER_REFUSAL); }},
      // An open that waits (an oplock, a stalled device) is bounded like the
      // reads; the caller is barred only where it can be named.
      {"app stalls on opening",
       [](UpdateFixture& f, UpdateFields& u) {
         f.deps.staging_stall = std::chrono::milliseconds(30);
         u.open_offered = [](const std::string& path) {
           std::this_thread::sleep_for(std::chrono::milliseconds(60));
           return platform::InputFile::open(path);
         };
       },
       [](const UpdateFields& u) { return u.app_path + " не отдавал данных 30 мс"; }},
      {"staging past its deadline",
       [](UpdateFixture& f, UpdateFields& u) {
         f.deps.staging_deadline = std::chrono::milliseconds(40);
         u.open_offered = [app = u.app_path](const std::string& path) {
           if (path != app) std::this_thread::sleep_for(std::chrono::milliseconds(60));
           return platform::InputFile::open(path);
         };
       },
       [](const UpdateFields& u) { return u.service_path + " не прочитан за 40 мс"; }},
      {"installation folder unknown",
       [](UpdateFixture& f, UpdateFields&) {
         f.deps.install_dir = []() -> Result<std::string> {
           return fail("не определить папку установки");
         };
       },
       [](const UpdateFields&) { return std::string("не определить папку установки"); }},
#ifdef _WIN32
      {"app on another computer",
       [](UpdateFixture&, UpdateFields& u) { u.app_path = "\\\\ombrel-nowhere\\share\\app.exe"; },
       [](const UpdateFields& u) { return u.app_path + " - не локальный файл"; }},
      {"app is a device", [](UpdateFixture&, UpdateFields& u) { u.app_path = "NUL"; },
       [](const UpdateFields& u) { return u.app_path + " - не локальный файл"; }},
#else
      {"app is a device", [](UpdateFixture&, UpdateFields& u) { u.app_path = "/dev/zero"; },
       [](const UpdateFields& u) { return cannot_open(u.app_path); }},
#endif
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UpdateFixture f;
    f.deps.max_file_size = limit;
    UpdateFields fields = f.offer();
    c.arrange(f, fields);
    const auto before = snapshot(f.install.path());
    const std::string text = text_of(stage_update(fields, f.deps));
    EXPECT_EQ(text, c.text(fields));
    EXPECT_EQ(snapshot(f.install.path()), before);
    if (text.starts_with("не открыть ")) {
      ASSERT_EQ(f.lines.size(), 1u);
      EXPECT_TRUE(f.lines[0].starts_with("обновление: " + escape_controls(text) + ": "))
          << f.lines[0];
    }
  }
}

TEST(StageUpdate, OfferedFilesAreOpenedOnlyForTheCaller) {
  UpdateFixture f;
  UpdateFields fields = f.offer();
  std::vector<std::string> opened;
  fields.open_offered = [&opened](const std::string& path) {
    opened.push_back(path);
    return platform::InputFile::open(path);
  };
  auto outcome = stage_update(fields, f.deps);
  ASSERT_TRUE(outcome) << text_of(outcome);
  EXPECT_EQ(opened, (std::vector<std::string>{fields.app_path, fields.service_path}));
  EXPECT_EQ(read(f.desktop), program("desktop v2"));
}

TEST(StageUpdate, AFileOfExactlyTheLimitIsTaken) {
  UpdateFixture f;
  const std::uint64_t limit = 100000;
  f.deps.max_file_size = limit;
  const std::string body(limit - internal::PROGRAM_MARK.size(), 'x');
  UpdateFields fields = f.offer(body);
  auto outcome = stage_update(fields, f.deps);
  ASSERT_TRUE(outcome) << text_of(outcome);
  EXPECT_EQ(read(f.desktop), program(body));
}

TEST(StageUpdate, EqualFilesAreAlreadyCurrentAndTouchNothing) {
  UpdateFixture f;
  UpdateFields fields = f.offer("desktop v1", "service v1");
  const auto before = snapshot(f.install.path());
  auto outcome = stage_update(fields, f.deps);
  ASSERT_TRUE(outcome) << text_of(outcome);
  EXPECT_EQ(*outcome, (UpdateOutcome{false, false}));
  EXPECT_EQ(snapshot(f.install.path()), before);
}

TEST(StageUpdate, OnlyTheDesktopApplicationDiffers) {
  UpdateFixture f;
  UpdateFields fields = f.offer("desktop v2", "service v1");
  const auto service_before = snapshot(f.install.path()).at(SERVICE_EXE);
  auto outcome = stage_update(fields, f.deps);
  ASSERT_TRUE(outcome) << text_of(outcome);
  EXPECT_EQ(*outcome, (UpdateOutcome{true, false}));
  EXPECT_EQ(read(f.desktop), program("desktop v2"));
  EXPECT_EQ(read(backup_path(f.desktop)), program("desktop v1"));
  EXPECT_EQ(snapshot(f.install.path()).at(SERVICE_EXE), service_before);
  EXPECT_FALSE(platform::path_exists(backup_path(f.service)));
  EXPECT_EQ(read(f.record), R"({"version":"1.2.3"})");
  // The offered files are copied, never moved.
  EXPECT_EQ(read(fields.app_path), program("desktop v2"));
}

TEST(StageUpdate, BothChangeWithBackupsAndNoStagedCopyRemains) {
  UpdateFixture f;
  UpdateFields fields = f.offer();
  fields.version = "2.0 \"бета\"";
  // Digests in upper case match.
  for (char& c : fields.app_sha256) c = static_cast<char>(std::toupper(c));
  for (char& c : fields.service_sha256) c = static_cast<char>(std::toupper(c));
  // An earlier backup gives way to the current file; a staged copy left by
  // an earlier run is neither used nor kept.
  write(backup_path(f.desktop), program("desktop v0"));
  write(staged_path(f.desktop), program("left over, much longer than the offered file"));
  // Every user may hold what lies in the folder: each delete and rename
  // there is bounded.
  std::set<std::string> bounded;
  f.deps.at_file = [&](const std::string& path) {
    bounded.insert(testsupport::utf8_path(fs_path(path).filename()));
  };
  // Nobody else may open a staged copy, until it is in place.
  std::optional<bool> staged_private;
  f.deps.after_verify = [&] { staged_private = kept_private(staged_path(f.desktop)); };
  auto outcome = stage_update(fields, f.deps);
  ASSERT_TRUE(outcome) << text_of(outcome);
  EXPECT_NE(staged_private, std::optional<bool>(false));
  EXPECT_NE(kept_private(f.desktop), std::optional<bool>(true));
  for (const std::string& name :
       {staged_path(DESKTOP_EXE), backup_path(DESKTOP_EXE), std::string(DESKTOP_EXE),
        std::string(SERVICE_EXE), staged_path(SERVICE_EXE), std::string(PENDING_RECORD)}) {
    EXPECT_TRUE(bounded.contains(name)) << name;
  }
  EXPECT_EQ(*outcome, (UpdateOutcome{true, true}));
  EXPECT_EQ(read(f.desktop), program("desktop v2"));
  EXPECT_EQ(read(backup_path(f.desktop)), program("desktop v1"));
  EXPECT_EQ(read(f.service), program("service v2"));
  EXPECT_EQ(read(backup_path(f.service)), program("service v1"));
  EXPECT_EQ(read(f.record), R"({"version":"2.0 \"бета\""})");
  const std::set<std::string> expected = {DESKTOP_EXE, SERVICE_EXE, backup_path(DESKTOP_EXE),
                                          backup_path(SERVICE_EXE), std::string(PENDING_RECORD)};
  std::set<std::string> names;
  for (const auto& [name, _] : snapshot(f.install.path())) names.insert(name);
  EXPECT_EQ(names, expected);
}

TEST(StageUpdate, AMissingDesktopApplicationIsCopiedInWithoutBackup) {
  UpdateFixture f;
  UpdateFields fields = f.offer("desktop v2", "service v1");
  ASSERT_TRUE(platform::remove_file(f.desktop));
  auto outcome = stage_update(fields, f.deps);
  ASSERT_TRUE(outcome) << text_of(outcome);
  EXPECT_EQ(*outcome, (UpdateOutcome{true, false}));
  EXPECT_EQ(read(f.desktop), program("desktop v2"));
  EXPECT_FALSE(platform::path_exists(backup_path(f.desktop)));
}

// The offered files belong to the caller, who may change them at any moment.
// What is installed is what was verified, whatever happens to them later.
TEST(StageUpdate, FilesSwappedAfterTheCheckDoNotReachTheInstallation) {
  UpdateFixture f;
  UpdateFields fields = f.offer();
  f.deps.after_verify = [&] {
    write(fields.app_path, program("evil"));
    ASSERT_TRUE(platform::remove_file(fields.service_path));
  };
  auto outcome = stage_update(fields, f.deps);
  ASSERT_TRUE(outcome) << text_of(outcome);
  EXPECT_EQ(read(f.desktop), program("desktop v2"));
  EXPECT_EQ(read(f.service), program("service v2"));
}

TEST(StageUpdate, AServiceThatCannotBeMovedAsideLeavesTheNewDesktopAndTheRecord) {
  UpdateFixture f;
  UpdateFields fields = f.offer();
  // A folder where the backup goes can be neither deleted as a file nor replaced.
  std::filesystem::create_directories(fs_path(backup_path(f.service)) / "inside");
  auto outcome = stage_update(fields, f.deps);
  ASSERT_FALSE(outcome);
  EXPECT_TRUE(text_of(outcome).starts_with("не отодвинуть " + f.service + ": "))
      << text_of(outcome);
  EXPECT_EQ(read(f.desktop), program("desktop v2"));
  EXPECT_EQ(read(f.service), program("service v1"));
  EXPECT_TRUE(platform::path_exists(f.record));
  EXPECT_FALSE(platform::path_exists(staged_path(f.desktop)));
  EXPECT_FALSE(platform::path_exists(staged_path(f.service)));
}

// A leftover of an earlier version, which took the folder's list, held by a
// user with an oplock never let go: every call on it gives up within its
// bound and the update goes on beside it.
TEST(StageUpdate, ALeftoverHeldByAUserNeitherHoldsTheChannelNorRefusesTheUpdate) {
  OMBREL_REAL_WINDOWS_ONLY("Wine grants no oplocks");
  UpdateFixture f;
  f.deps.staging_stall = std::chrono::milliseconds(500);
  UpdateFields fields = f.offer();
  write(staged_path(f.desktop), program("left over"));
  const auto held = testsupport::HeldOplock::take(staged_path(f.desktop));
  ASSERT_TRUE(held);
  const auto began = std::chrono::steady_clock::now();
  auto outcome = stage_update(fields, f.deps);
  EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(5));
  ASSERT_TRUE(outcome) << text_of(outcome);
  EXPECT_EQ(read(f.desktop), program("desktop v2"));
}

TEST(ReplaceFile, PutsTheSourceInPlaceAndKeepsTheBackup) {
  struct Case {
    const char* name;
    bool target_exists;
    bool source_exists;
    const char* error_prefix;  // nullptr: success
  };
  const Case cases[] = {
      {"ordinary", true, true, nullptr},
      {"no target: nothing to move aside", false, true, nullptr},
      {"source vanished: the previous file comes back", true, false, "не поставить "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir("replace", testsupport::Where::BelowRoot);
    const std::string target = dir.file("app.exe");
    const std::string source = dir.file("app.exe.staged");
    if (c.target_exists) write(target, "old");
    if (c.source_exists) write(source, "new");
    write(backup_path(target), "older");
    auto replaced = replace_file(target, source);
    if (c.error_prefix == nullptr) {
      ASSERT_TRUE(replaced) << replaced.error().to_string();
      EXPECT_EQ(read(target), "new");
      EXPECT_EQ(read(backup_path(target)),
                c.target_exists ? std::optional<std::string>("old") : std::nullopt);
      EXPECT_FALSE(platform::path_exists(source));
    } else {
      ASSERT_FALSE(replaced);
      EXPECT_TRUE(replaced.error().to_string().starts_with(c.error_prefix + target + ": "))
          << replaced.error().to_string();
      EXPECT_EQ(read(target), "old");
    }
  }
}

TEST(ReplaceFile, ATargetThatCannotBeMovedAsideStays) {
  testsupport::TempDir dir("replace", testsupport::Where::BelowRoot);
  const std::string target = dir.file("app.exe");
  write(target, "old");
  write(dir.file("new"), "new");
  std::filesystem::create_directories(fs_path(backup_path(target)) / "inside");
  auto replaced = replace_file(target, dir.file("new"));
  ASSERT_FALSE(replaced);
  EXPECT_TRUE(replaced.error().to_string().starts_with("не отодвинуть " + target + ": "));
  EXPECT_EQ(read(target), "old");
  EXPECT_EQ(read(dir.file("new")), "new");
}

// The service replaces its own executable while it runs from it: the
// running file can only be moved aside, never overwritten or deleted.
TEST(ReplaceFile, ARunningProgramIsMovedAsideAndKeepsRunning) {
  testsupport::TempDir dir("replace", testsupport::Where::BelowRoot);
  const std::string target =
      testsupport::install_standin(dir.path(), testsupport::Standin::Desktop, "running.exe");
  testsupport::set_script(target, "stay");
  auto running = platform::spawn(platform::SpawnOptions{target, {}, std::nullopt});
  ASSERT_TRUE(running) << running.error().to_string();
  ASSERT_TRUE(testsupport::wait_for_record(target, ".cwd"));
  write(dir.file("running.exe.staged"), program("new build"));
  auto replaced = replace_file(target, dir.file("running.exe.staged"));
  ASSERT_TRUE(replaced) << replaced.error().to_string();
  EXPECT_EQ(read(target), program("new build"));
  EXPECT_TRUE(platform::path_exists(backup_path(target)));
  EXPECT_FALSE(running->try_wait().value_or(std::optional<int>(-1)).has_value());
}

#ifndef _WIN32
// The real limit, with sparse files so that the test does not write 400 MiB.
TEST(StageOfferedFile, TheRealLimitIsInclusive) {
  testsupport::TempDir dir;
  for (const std::uint64_t size : {MAX_UPDATE_FILE_SIZE, MAX_UPDATE_FILE_SIZE + 1}) {
    SCOPED_TRACE(size);
    const std::string offered = dir.file("offered");
    write(offered, program(""));
    std::filesystem::resize_file(fs_path(offered), size);
    const std::string staged = dir.file("target.staged");
    std::string expected(64, '0');
    if (size == MAX_UPDATE_FILE_SIZE) expected = file_sha256_hex(offered).value();
    auto result = stage_offered_file(offered, expected, staged, dir.file("target"));
    if (size == MAX_UPDATE_FILE_SIZE) {
      ASSERT_TRUE(result) << result.error().to_string();
      EXPECT_EQ(platform::file_size(staged).value(), size);
    } else {
      ASSERT_FALSE(result);
      EXPECT_EQ(result.error().to_string(),
                "не прочитать " + offered + ": файл больше допустимого");
      EXPECT_FALSE(platform::path_exists(staged));
    }
    (void)platform::remove_file(staged);
  }
}
#endif

}  // namespace
}  // namespace ombrel::selfupdate::test
