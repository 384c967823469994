// The service under the real service control manager (Wine's in the tests):
// installed from a folder whose path has a space, repointed, restarted,
// stopped, ended by force and started again by its failure actions (real
// Windows: Wine keeps none), and removed, each step checked from outside
// through sc and the manager's own answers. It is installed, as the update
// tests install it, below the volume root where only the administrators may
// change anything: install, judging as the system account, rightly refuses
// a profile's temporary folder.
#include <windows.h>

#include <array>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "base/text.hpp"
#include "host_run.hpp"
#include "platform/channel/pipe.hpp"
#include "platform/handle_win.hpp"
#include "platform/host/service.hpp"
#include "platform/process/proclist.hpp"

namespace ombrel::host_e2e {
namespace {

using namespace std::chrono_literals;
using testsupport::fs_path;

// The service's settings as the manager gives them, whatever type the
// registry keeps them under (Windows: ImagePath is REG_EXPAND_SZ, Wine:
// REG_SZ). All empty when the service is missing.
struct Settings {
  std::string image_path;
  std::string account;
  std::string group;
};

Settings service_settings() {
  Settings got;
  const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return got;
  const SC_HANDLE service = OpenServiceW(manager, L"OmbrelService", SERVICE_QUERY_CONFIG);
  if (service != nullptr) {
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (needed != 0 &&
        QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                            needed, &needed)) {
      const auto* config = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(buffer.data());
      const auto text = [](const wchar_t* w) {
        return w == nullptr ? std::string() : utf16_to_utf8(reinterpret_cast<const char16_t*>(w));
      };
      got = {text(config->lpBinaryPathName), text(config->lpServiceStartName),
             text(config->lpLoadOrderGroup)};
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return got;
}

// The account and load-order group changed through the manager, as an
// administrator might.
void change_account_and_group() {
  const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager, nullptr);
  const SC_HANDLE service = OpenServiceW(manager, L"OmbrelService", SERVICE_CHANGE_CONFIG);
  EXPECT_NE(service, nullptr);
  EXPECT_TRUE(ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                   nullptr, L"NDIS", nullptr, nullptr,
                                   L"NT AUTHORITY\\LocalService", L"", nullptr));
  if (service != nullptr) CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

// The failure actions as the manager keeps them: the reset period, then
// each action's type and delay. Wine stores none, so only real Windows reads
// back what install set.
std::vector<DWORD> failure_actions() {
  std::vector<DWORD> got;
  const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  if (manager == nullptr) return got;
  const SC_HANDLE service = OpenServiceW(manager, L"OmbrelService", SERVICE_QUERY_CONFIG);
  DWORD needed = 0;
  if (service != nullptr) {
    QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (needed != 0 && QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(),
                                            needed, &needed)) {
      const auto* actions = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data());
      got.push_back(actions->dwResetPeriod);
      for (DWORD i = 0; i < actions->cActions; ++i) {
        got.push_back(static_cast<DWORD>(actions->lpsaActions[i].Type));
        got.push_back(actions->lpsaActions[i].Delay);
      }
    }
    CloseServiceHandle(service);
  }
  CloseServiceHandle(manager);
  return got;
}

// Ends the process `pid` as the task manager would: a service's process
// grants administrators no right to end it but through the debug privilege.
void end_by_force(std::uint32_t pid) {
  HANDLE raw = nullptr;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, &raw));
  const platform::UniqueHandle token(raw);
  TOKEN_PRIVILEGES debug{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &debug.Privileges[0].Luid));
  ASSERT_TRUE(AdjustTokenPrivileges(token.get(), FALSE, &debug, 0, nullptr, nullptr));
  const platform::UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
  ASSERT_TRUE(process) << "cannot open the service's process: error " << GetLastError();
  ASSERT_TRUE(TerminateProcess(process.get(), 1)) << "error " << GetLastError();
}

std::string copy_service_into(const std::string& dir) {
  std::filesystem::create_directories(fs_path(dir));
  const auto target = fs_path(dir) / "ombrel-service.exe";
  std::filesystem::copy_file(fs_path(service_exe()), target);
  return testsupport::utf8_path(target);
}

TEST(HostService, StartedByHandItCannotReachTheDispatcher) {
  ASSERT_NO_FATAL_FAILURE(wait_for_idle_manager());
  const Ran ran = run_service({});
  EXPECT_EQ(ran.code, 1);
  EXPECT_EQ(ran.out, "");
  EXPECT_TRUE(ran.err.starts_with(
      "Error: не удалось передать управление диспетчеру служб\n\nCaused by:\n    "))
      << ran.err;
  EXPECT_NE(ran.err.find("(os error 1063)"), std::string::npos) << ran.err;
}

TEST(HostService, InstallRepointRestartStopAndUninstall) {
  ASSERT_NO_FATAL_FAILURE(wait_for_idle_manager());
  const testsupport::InstallDir root("host e2e");
  const std::string first = copy_service_into(root.file("first copy"));
  const std::string second = copy_service_into(root.file("second copy"));
  const Uninstall uninstall{second};
  const std::string not_found = "Error: служба не найдена\n\nCaused by:\n    ";
  const std::string installed = "служба OmbrelService установлена и запущена\n";
  // One command and what it leaves: its exit code, its output (unless
  // nullopt), the start of its errors (none when empty), the state it brings
  // the service to (nullopt: no service).
  const auto step = [&](const char* name, const std::string& program,
                        const std::vector<std::string>& args, int code,
                        const std::optional<std::string>& out, const std::string& err,
                        std::optional<int> state) {
    SCOPED_TRACE(name);
    const Ran ran = run_program(program, args);
    EXPECT_EQ(ran.code, code) << ran.err;
    if (out) {
      EXPECT_EQ(ran.out, *out);
    }
    EXPECT_TRUE(err.empty() ? ran.err.empty() : ran.err.starts_with(err)) << ran.err;
    EXPECT_TRUE(testsupport::wait_until([&] { return service_state() == state; }, 30s));
  };
  step("uninstall before anything is installed", first, {"uninstall"}, 1, "", not_found,
       std::nullopt);
  step("install", first, {"install"}, 0, installed, "", 4);
  EXPECT_EQ(service_settings().image_path, "\"" + first + "\"");
  if (testsupport::real_windows()) {
    const std::vector<DWORD> restarts = {86400, SC_ACTION_RESTART, 5000, SC_ACTION_RESTART,
                                         10000, SC_ACTION_RESTART, 30000};
    EXPECT_EQ(failure_actions(), restarts);
    // Ended by force, it is started again by the manager after the first
    // action's delay, and serves.
    const auto killed = platform::running_service_pid("OmbrelService");
    ASSERT_TRUE(killed);
    ASSERT_NO_FATAL_FAILURE(end_by_force(*killed));
    EXPECT_TRUE(testsupport::wait_until(
        [&] {
          const auto now = platform::running_service_pid("OmbrelService");
          return now && *now != *killed;
        },
        std::chrono::milliseconds(restarts[2]) + 30s));
    EXPECT_EQ(platform::pipe_exchange(platform::default_pipe_name(), "{\"cmd\":\"status\"}\n", 30s)
                  .value_or("?"),
              "{\"state\":\"disconnected\"}\n");
  }
  // What an administrator may have changed meanwhile is put back.
  change_account_and_group();
  ASSERT_EQ(service_settings().group, "NDIS");
  step("install again from another folder, extra words ignored", second, {"install", "--again"}, 0,
       installed, "", 4);
  const Settings repointed = service_settings();
  EXPECT_EQ(repointed.image_path, "\"" + second + "\"");
  EXPECT_EQ(repointed.account, "LocalSystem");
  EXPECT_EQ(repointed.group, "");
  step("restart a running service", second, {"restart"}, 0, "", "", 4);
  step("stop through the manager", SC, {"stop", "OmbrelService"}, 0, std::nullopt, "", 1);
  step("restart a stopped service", second, {"restart"}, 0, "", "", 4);
  step("uninstall a running service", second, {"uninstall"}, 0, "служба OmbrelService удалена\n",
       "", std::nullopt);
  step("uninstall once more", second, {"uninstall"}, 1, "", not_found, std::nullopt);
}

// While the service is down or not yet serving, any process may take the
// pipe's name: ombrelctl must send such a server nothing. Here the name is
// taken before the service starts, so the service runs but cannot serve.
TEST(HostService, OmbrelctlRefusesAServerThatIsNotTheService) {
  ASSERT_NO_FATAL_FAILURE(wait_for_idle_manager());
  const testsupport::InstallDir root("impostor");
  const std::string service = copy_service_into(root.file("installed"));
  const Uninstall uninstall{service};
  const std::string ctl = testsupport::bin_dir() + "\\ombrelctl.exe";
  auto impostor = platform::create_pipe(platform::default_pipe_name());
  ASSERT_TRUE(impostor) << impostor.error().to_string();
  std::string received;
  // Serves one client after another, as a squatter would: the service itself
  // connects once to learn who holds its name.
  std::jthread listener([&](std::stop_token stop) {
    while (impostor->accept(stop)) {
      std::array<char, 256> buf;
      while (true) {
        auto n = impostor->read(buf, 5s);
        if (!n || *n == 0) break;
        received.append(buf.data(), *n);
      }
      impostor->disconnect();
    }
  });

  const Ran installed = run_program(service, {"install"});
  ASSERT_EQ(installed.code, 0) << installed.err;
  EXPECT_TRUE(testsupport::wait_until([] { return service_state() == 4; }, 30s));
  const auto service_pid = platform::running_service_pid("OmbrelService");
  ASSERT_TRUE(service_pid);
  const Ran refused = run_program(ctl, {"status"});
  EXPECT_EQ(refused.code, 2);
  EXPECT_EQ(refused.out, "");
  // Appended: g++ 12 at -O3 reports a false overlap for "literal" + std::string&&.
  std::string expected = "ombrelctl: канал держит не служба: процесс ";
  expected += std::to_string(platform::current_process_id());
  expected += ", а служба OmbrelService работает в процессе ";
  expected += std::to_string(*service_pid);
  expected += "\n";
  EXPECT_EQ(refused.err, expected);
  listener.request_stop();
  listener.join();
  EXPECT_EQ(received, "") << "the request went to the impostor";

  // The name freed, the service takes it (it retries every 5 s) and is served.
  impostor = Result<platform::PipeServer>(fail("closed"));
  EXPECT_TRUE(testsupport::wait_until([&] { return run_program(ctl, {"status"}).code == 0; }, 60s));
  const Ran removed = run_program(service, {"uninstall"});
  EXPECT_EQ(removed.code, 0) << removed.err;
}

// The dispatcher may deliver a control after the registration is gone: on
// Windows until the process ends, also once the service main has returned
// (Wine's dispatcher returns with the service main). Here a stop arrives
// after a stand-in service has dropped its registration and reused the
// freed memory.
TEST(HostService, AControlAfterTheServiceMainReturnedReachesTheHandler) {
  namespace scm = platform::scm;
  ASSERT_NO_FATAL_FAILURE(wait_for_idle_manager());
  testsupport::TempDir dir("late control");
  const std::string exe =
      testsupport::install_program(dir.path(), "standin-late_service", "late-service.exe");
  const std::string name = "OmbrelLateControl";
  auto manager = platform::system_service_control().open_manager(scm::RIGHT_CONNECT |
                                                                 scm::RIGHT_CREATE_SERVICE);
  ASSERT_TRUE(manager) << manager.error().to_string();
  platform::ServiceSettings settings{name, name, "\"" + exe + "\" " + name};
  settings.start_type = 3;  // on demand
  auto service = (*manager)->create_service(
      settings, scm::RIGHT_START | scm::RIGHT_STOP | scm::RIGHT_QUERY_STATUS | scm::RIGHT_DELETE);
  ASSERT_TRUE(service) << service.error().to_string();
  struct Removal {
    platform::Service& service;
    ~Removal() { (void)service.remove(); }
  } removal{**service};

  ASSERT_TRUE((*service)->start());
  ASSERT_TRUE(testsupport::wait_for_record(exe, ".returned"));
  const auto stopped = (*service)->send_stop();
  EXPECT_TRUE(stopped) << stopped.error().to_string();
  EXPECT_TRUE(testsupport::wait_until(
      [&] { return (*service)->query_state().value_or(0) == scm::STATE_STOPPED; }, 30s));
  EXPECT_EQ(testsupport::read_record(exe, ".controls"), "1\n");
}

}  // namespace
}  // namespace ombrel::host_e2e
