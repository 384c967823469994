#include "host/service_setup.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "fake_scm.hpp"
#include "host/identity.hpp"

namespace ombrel::host {
namespace {

using ::testing::ElementsAre;
using testing::FakeScm;
namespace scm = platform::scm;

const std::string SETTINGS =
    "OmbrelService|Ombrel VPN|\"C:\\Program Files\\Ombrel\\ombrel-service.exe\"|0x10|2|1";
const std::string DESCRIBE = "describe " + std::string(DESCRIPTION);
// Restarts after 5, 10 and 30 seconds, the count of failures reset after a
// day, and the same for an exit that reports an error rather than a crash.
const std::string ON_FAILURE =
    "on failure: reset 86400 s, restart 5000 10000 30000, also on error exits";
const std::string SOURCE = "source OmbrelService C:\\Program Files\\Ombrel\\ombrel-service.exe";

Result<void> install(FakeScm& fake, const Console& console) {
  return install_service(fake, console, [&fake] { return fake.judge_folder(); });
}

struct Captured {
  std::string out, err;
  Console console() {
    return Console{[this](std::string_view s) { out += s; },
                   [this](std::string_view s) { err += s; }};
  }
};

TEST(ServiceSettings, QuotesThePathOnlyWhenItNeedsIt) {
  const struct {
    const char* path;
    const char* binary_path;
  } cases[] = {
      {"C:\\Ombrel\\ombrel-service.exe", "C:\\Ombrel\\ombrel-service.exe"},
      {"C:\\Program Files\\Ombrel\\ombrel-service.exe",
       "\"C:\\Program Files\\Ombrel\\ombrel-service.exe\""},
      {"C:\\a\tb\\ombrel-service.exe", "\"C:\\a\tb\\ombrel-service.exe\""},
  };
  for (const auto& c : cases) {
    const platform::ServiceSettings s = service_settings(c.path);
    EXPECT_EQ(s.binary_path, c.binary_path);
    EXPECT_EQ(s.name, "OmbrelService");
    EXPECT_EQ(s.display_name, "Ombrel VPN");
    EXPECT_EQ(s.service_type, 0x10u);
    EXPECT_EQ(s.start_type, 2u);
    EXPECT_EQ(s.error_control, 1u);
  }
}

TEST(InstallService, CreatesDescribesAndStartsANewService) {
  FakeScm fake;
  fake.open_error = Error("The specified service does not exist as an installed service.");
  Captured io;
  ASSERT_TRUE(install(fake, io.console()));
  EXPECT_THAT(fake.calls, ElementsAre("open manager 0x3", "judge folder", "open OmbrelService 0x16",
                                      "create " + SETTINGS + " 0x16", DESCRIBE, ON_FAILURE, SOURCE,
                                      "query", "start", "close service", "close manager"));
  EXPECT_EQ(io.out, "служба OmbrelService установлена и запущена\n");
  EXPECT_EQ(io.err, "");
}

TEST(InstallService, RepointsAnExistingRunningServiceWithoutStartingIt) {
  FakeScm fake;
  fake.states = {scm::STATE_RUNNING};
  Captured io;
  ASSERT_TRUE(install(fake, io.console()));
  EXPECT_THAT(fake.calls, ElementsAre("open manager 0x3", "judge folder", "open OmbrelService 0x16",
                                      "change " + SETTINGS, DESCRIBE, ON_FAILURE, SOURCE, "query",
                                      "close service", "close manager"));
  EXPECT_EQ(io.out, "служба OmbrelService установлена и запущена\n");
}

TEST(UninstallService, StopsWaitsAndDeletes) {
  const struct {
    const char* name;
    std::deque<Result<std::uint32_t>> states;
    bool stop_sent;
    int sleeps;
  } cases[] = {
      {"already stopped", {scm::STATE_STOPPED}, false, 0},
      {"stops on the third look",
       {scm::STATE_RUNNING, scm::STATE_STOP_PENDING, scm::STATE_STOP_PENDING, scm::STATE_STOPPED},
       true,
       3},
      // Ignores the stop: after 10 seconds it is deleted all the same.
      {"never stops", {scm::STATE_RUNNING}, true, 20},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeScm fake;
    fake.states = c.states;
    fake.stop_error = Error("refused");  // never matters
    Captured io;
    ASSERT_TRUE(uninstall_service(fake, io.console()));
    EXPECT_EQ(fake.calls.front(), "open manager 0x1");
    EXPECT_EQ(fake.calls[1], "open OmbrelService 0x10024");
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "stop"), c.stop_sent ? 1 : 0);
    EXPECT_EQ(fake.sleeps, c.sleeps);
    EXPECT_EQ(fake.slept, std::chrono::milliseconds(500 * c.sleeps));
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "query"), 1 + c.sleeps);
    EXPECT_THAT(
        std::vector(fake.calls.end() - 4, fake.calls.end()),
        ElementsAre("remove", "remove source OmbrelService", "close service", "close manager"));
    EXPECT_EQ(io.out, "служба OmbrelService удалена\n");
  }
}

TEST(RestartService, StopsWaitsAndStartsWhateverTheStateReached) {
  const struct {
    const char* name;
    std::deque<Result<std::uint32_t>> states;
    int queries;
  } cases[] = {
      {"already stopped", {scm::STATE_STOPPED}, 1},
      {"stops on the third look",
       {scm::STATE_STOP_PENDING, scm::STATE_STOP_PENDING, scm::STATE_STOPPED},
       3},
      {"failed looks are ignored", {fail(Error("busy")), scm::STATE_STOPPED}, 2},
      {"never stops", {scm::STATE_STOP_PENDING}, 50},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeScm fake;
    fake.states = c.states;
    fake.stop_error = Error("The service has not been started.");
    ASSERT_TRUE(restart_service(fake));
    EXPECT_EQ(fake.calls[0], "open manager 0x1");
    EXPECT_EQ(fake.calls[1], "open OmbrelService 0x34");
    EXPECT_EQ(fake.calls[2], "stop");
    EXPECT_EQ(std::count(fake.calls.begin(), fake.calls.end(), "query"), c.queries);
    const int sleeps = c.queries == 50 ? 50 : c.queries - 1;
    EXPECT_EQ(fake.slept, std::chrono::milliseconds(200 * sleeps));
    EXPECT_THAT(std::vector(fake.calls.end() - 3, fake.calls.end()),
                ElementsAre("start", "close service", "close manager"));
  }
}

// Every failing step of the three commands: its message over the cause,
// nothing printed, nothing undone, and every handle closed.
TEST(ServiceCommands, EachFailureNamesItsStepAndClosesEverything) {
  enum class Command { Install, Uninstall, Restart };
  const Error os("os says no");
  const struct {
    Command command;
    const char* name;
    void (*arrange)(FakeScm&, const Error&);
    std::vector<std::string> chain;
  } cases[] = {
      // Without administrator rights that is said first, whatever the folder.
      {Command::Install,
       "manager",
       [](FakeScm& f, const Error& e) {
         f.manager_error = e;
         f.folder_error = Error("unsafe");
       },
       {"нет доступа к диспетчеру служб - нужны права администратора", "os says no"}},
      {Command::Install,
       "folder",
       [](FakeScm& f, const Error& e) { f.folder_error = e; },
       {"os says no"}},
      {Command::Install,
       "path of an existing service",
       [](FakeScm& f, const Error& e) { f.exe_error = e; },
       {"не удалось определить путь службы", "os says no"}},
      {Command::Install,
       "path of a new service",
       [](FakeScm& f, const Error& e) {
         f.open_error = Error("missing");
         f.exe_error = e;
       },
       {"не удалось определить путь службы", "os says no"}},
      {Command::Install,
       "create",
       [](FakeScm& f, const Error& e) {
         f.open_error = Error("missing");
         f.create_error = e;
       },
       {"не удалось создать службу", "os says no"}},
      {Command::Install,
       "change",
       [](FakeScm& f, const Error& e) { f.change_error = e; },
       {"не удалось обновить путь к файлу службы", "os says no"}},
      {Command::Install,
       "describe",
       [](FakeScm& f, const Error& e) { f.describe_error = e; },
       {"не удалось задать описание службы", "os says no"}},
      {Command::Install,
       "failure actions",
       [](FakeScm& f, const Error& e) { f.actions_error = e; },
       {"не удалось задать перезапуск службы после сбоя", "os says no"}},
      {Command::Install,
       "event source",
       [](FakeScm& f, const Error& e) { f.source_error = e; },
       {"не удалось зарегистрировать источник событий", "os says no"}},
      {Command::Install,
       "query",
       [](FakeScm& f, const Error& e) { f.states = {fail(e)}; },
       {"os says no"}},
      {Command::Install,
       "start",
       [](FakeScm& f, const Error& e) { f.start_error = e; },
       {"не удалось запустить службу", "os says no"}},
      {Command::Uninstall,
       "manager",
       [](FakeScm& f, const Error& e) { f.manager_error = e; },
       {"нет доступа к диспетчеру служб - нужны права администратора", "os says no"}},
      {Command::Uninstall,
       "not installed",
       [](FakeScm& f, const Error& e) { f.open_error = e; },
       {"служба не найдена", "os says no"}},
      {Command::Uninstall,
       "first query",
       [](FakeScm& f, const Error& e) { f.states = {fail(e)}; },
       {"os says no"}},
      {Command::Uninstall,
       "query while waiting",
       [](FakeScm& f, const Error& e) {
         f.states = {scm::STATE_RUNNING, fail(e)};
       },
       {"os says no"}},
      {Command::Uninstall,
       "delete",
       [](FakeScm& f, const Error& e) { f.remove_error = e; },
       {"не удалось удалить службу", "os says no"}},
      {Command::Uninstall,
       "event source",
       [](FakeScm& f, const Error& e) { f.source_error = e; },
       {"не удалось удалить источник событий", "os says no"}},
      {Command::Restart,
       "manager",
       [](FakeScm& f, const Error& e) { f.manager_error = e; },
       {"нет доступа к диспетчеру служб", "os says no"}},
      {Command::Restart,
       "not installed",
       [](FakeScm& f, const Error& e) { f.open_error = e; },
       {"служба не найдена", "os says no"}},
      {Command::Restart,
       "start",
       [](FakeScm& f, const Error& e) { f.start_error = e; },
       {"не удалось поднять службу заново", "os says no"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << static_cast<int>(c.command) << " " << c.name);
    FakeScm fake;
    c.arrange(fake, os);
    Captured io;
    const Result<void> r = c.command == Command::Install     ? install(fake, io.console())
                           : c.command == Command::Uninstall ? uninstall_service(fake, io.console())
                                                             : restart_service(fake);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().chain(), c.chain);
    EXPECT_EQ(io.out, "");
    EXPECT_EQ(fake.open_handles, 0);
    // Refused before anything is created or changed.
    if (c.command == Command::Install && std::string_view(c.name) == "folder") {
      EXPECT_THAT(fake.calls, ElementsAre("open manager 0x3", "judge folder", "close manager"));
    }
  }
}

}  // namespace
}  // namespace ombrel::host
