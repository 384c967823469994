// An update interrupted at every point between its steps: a child process
// (this test program again) puts an update in place and ends itself at the
// named point, as a crash or a hard kill would, with no clean-up of any kind.
// Then comes what the next start does. The installed programs are stand-ins,
// so that each can be run to prove it whole; the new builds are the same
// programs with a few bytes appended.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "platform/process/process.hpp"
#include "update_fixture.hpp"

namespace ombrel::selfupdate::test {
namespace {

constexpr const char* DIE_AT = "OMBREL_TEST_UPDATE_DIES_AT";
constexpr const char* ROOT = "OMBREL_TEST_UPDATE_ROOT";
constexpr int DIED = 86;

void set_env(const char* name, const std::string& value) {
#ifdef _WIN32
  _putenv_s(name, value.c_str());
#else
  ::setenv(name, value.c_str(), 1);
#endif
}

struct Layout {
  std::string install;
  std::string app;
  std::string svc;
};

Layout layout_of(const std::string& root) {
  return Layout{platform::join_path(root, "install"), platform::join_path(root, "app.bin"),
                platform::join_path(root, "svc.bin")};
}

UpdateFields fields_of(const Layout& l) {
  return UpdateFields{"9.1",
                      l.app,
                      file_sha256_hex(l.app).value_or(""),
                      l.svc,
                      file_sha256_hex(l.svc).value_or(""),
                      std::nullopt};
}

// Dependencies of a service that does nothing observable beyond the files:
// no desktop application runs, launches and restarts succeed at once.
UpdateDeps quiet_deps(const std::string& install, std::vector<std::string>* launches) {
  UpdateDeps deps;
  deps.install_dir = [install]() -> Result<std::string> { return install; };
  deps.clock = &system_clock();
  deps.list_processes = []() -> Result<std::vector<platform::ProcessEntry>> {
    return std::vector<platform::ProcessEntry>{};
  };
  deps.sleep = [](std::chrono::milliseconds) {};
  deps.launch_desktop = [launches](const std::string& dir) -> Result<void> {
    if (launches != nullptr) launches->push_back(dir);
    return {};
  };
  deps.start_program = [](const std::string&, const std::vector<std::string>&) -> Result<void> {
    return {};
  };
  deps.run_detached = [](std::function<void()> job) { job(); };
  deps.write_stderr = [](std::string_view) {};
  return deps;
}

// The body of the child: the whole update as the service does it, ended
// at the step named in the environment. Skipped in an ordinary run.
TEST(InterruptedUpdateChild, PutsTheUpdateInPlaceAndEndsAtTheNamedStep) {
  const char* die_at = std::getenv(DIE_AT);
  const char* root = std::getenv(ROOT);
  if (die_at == nullptr || root == nullptr) GTEST_SKIP() << "only as a child of InterruptedUpdate";
  const Layout l = layout_of(root);
  UpdateDeps deps = quiet_deps(l.install, nullptr);
  const std::string wanted = die_at;
  deps.at_step = [wanted](std::string_view step) {
    if (step == wanted) std::_Exit(DIED);
  };
  const auto decision = handle_update(fields_of(l), deps);
  EXPECT_TRUE(std::holds_alternative<UpdateAccepted>(decision));
}

std::string standin_bytes() {
  return read(platform::join_path(testsupport::bin_dir(), testsupport::exe_name("standin-desktop")))
      .value_or("");
}

// Runs the program at `path` (a stand-in) and tells whether it ran whole.
bool runs(const std::string& path) {
  testsupport::set_script(path, "exit 7");
  auto p = platform::spawn(platform::SpawnOptions{
      path, {}, std::nullopt, platform::Stdio::Null, platform::Stdio::Null, platform::Stdio::Null});
  if (!p) return false;
  const auto code = p->wait();
  std::filesystem::remove(fs_path(path + ".script"));
  return code && *code == 7;
}

TEST(InterruptedUpdate, EveryStepLeavesARunnableInstallationAndNoRecordAfterTheNextStart) {
  struct Scenario {
    const char* name;
    bool new_desktop;
    bool new_service;
  };
  const Scenario scenarios[] = {
      {"both", true, true}, {"desktop only", true, false}, {"service only", false, true}};
  const std::string standin = standin_bytes();
  ASSERT_FALSE(standin.empty());
  const std::string old_desktop = standin + std::string(1, '\0') + "desktop 9.0";
  const std::string new_desktop = standin + std::string(1, '\0') + "desktop 9.1";
  const std::string old_service = standin + std::string(1, '\0') + "service 9.0";
  const std::string new_service = standin + std::string(1, '\0') + "service 9.1";
  auto self = platform::current_exe_path();
  ASSERT_TRUE(self);

  std::vector<std::string> points(std::begin(UPDATE_STEPS), std::end(UPDATE_STEPS));
  points.emplace_back("never");
  int interrupted = 0;
  for (const Scenario& sc : scenarios) {
    for (const std::string& point : points) {
      SCOPED_TRACE(std::string(sc.name) + ", ended at: " + point);
      // Never the profile's %TEMP%, where no installation lives.
      testsupport::TempDir root("interrupted", testsupport::Where::BelowRoot);
      const Layout l = layout_of(root.path());
      std::filesystem::create_directories(fs_path(l.install));
      const std::string desktop = platform::join_path(l.install, DESKTOP_EXE);
      const std::string service = platform::join_path(l.install, SERVICE_EXE);
      write(desktop, old_desktop);
      write(service, old_service);
      ASSERT_TRUE(platform::make_executable(desktop));
      ASSERT_TRUE(platform::make_executable(service));
      write(l.app, sc.new_desktop ? new_desktop : old_desktop);
      write(l.svc, sc.new_service ? new_service : old_service);

      set_env(DIE_AT, point);
      set_env(ROOT, root.path());
      auto child =
          platform::spawn(platform::SpawnOptions{*self,
                                                 {"--gtest_filter=InterruptedUpdateChild.*"},
                                                 std::nullopt,
                                                 platform::Stdio::Null,
                                                 platform::Stdio::Null,
                                                 platform::Stdio::Null});
      set_env(DIE_AT, "");
      ASSERT_TRUE(child) << child.error().to_string();
      const auto code = child->wait();
      ASSERT_TRUE(code);
      // A point the scenario never passes lets the update run to its end.
      ASSERT_TRUE(*code == DIED || *code == 0) << *code;
      if (*code == DIED) ++interrupted;
      const bool record_left =
          platform::path_exists(platform::join_path(l.install, PENDING_RECORD));

      // What the service manager starts must be there before anything is
      // repaired: the repair runs inside the service. Windows cannot move
      // the new service in before the running one is moved aside, and an
      // end between the two renames is the one point it cannot survive
      // without its backup being put back by hand.
      const bool service_gap =
#ifdef _WIN32
          point == "service backed up" && *code == DIED;
#else
          false;
#endif
      const auto service_now = read(service);
      if (service_gap) {
        EXPECT_FALSE(service_now.has_value());
      } else {
        ASSERT_TRUE(service_now == old_service || service_now == new_service)
            << "no whole service under its name at the next start";
      }

      std::vector<std::string> launches;
      startup_update_check(quiet_deps(l.install, &launches));

      const auto desktop_after = read(desktop);
      const auto service_after = read(service);
      EXPECT_TRUE(desktop_after == old_desktop || desktop_after == new_desktop);
      EXPECT_TRUE(service_after == old_service || service_after == new_service);
      EXPECT_TRUE(runs(desktop));
      EXPECT_TRUE(runs(service));
      EXPECT_FALSE(platform::path_exists(platform::join_path(l.install, PENDING_RECORD)));
      EXPECT_FALSE(platform::path_exists(staged_path(desktop)));
      EXPECT_FALSE(platform::path_exists(staged_path(service)));
      // A pending update ends with the desktop application started once.
      EXPECT_EQ(launches.size(), record_left ? 1u : 0u);

      // And the same update offered again goes through to the end.
      auto again = stage_update(fields_of(l), quiet_deps(l.install, nullptr));
      ASSERT_TRUE(again) << again.error().to_string();
      EXPECT_EQ(read(desktop), sc.new_desktop ? new_desktop : old_desktop);
      EXPECT_EQ(read(service), sc.new_service ? new_service : old_service);
      EXPECT_TRUE(runs(desktop));
      EXPECT_TRUE(runs(service));
    }
  }
  // Every point is passed by the update that changes both programs.
  EXPECT_EQ(interrupted, 10 + 6 + 7);
}

}  // namespace
}  // namespace ombrel::selfupdate::test
