// The service under the real service control manager (Wine's in the tests):
// installed from a folder whose path has a space, repointed, restarted,
// stopped, ended by force and started again by its failure actions (real
// Windows: Wine keeps none), and removed, each step checked from outside
// through sc and the manager's own answers. It is installed, as the update
// tests install it, below the volume root where only the administrators may
// change anything: install, judging as the system account, rightly refuses
// a profile's temporary folder.
#include <windows.h>
#include <winevt.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <optional>
#include <thread>
#include <vector>

#include "base/text.hpp"
#include "host_run.hpp"
#include "listener.hpp"
#include "platform/channel/pipe.hpp"
#include "platform/handle_win.hpp"
#include "platform/host/event_log.hpp"
#include "platform/host/service.hpp"
#include "platform/process/proclist.hpp"
#include "running_service.hpp"

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
  platform::UniqueHandle token;
  ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES, token.put()));
  TOKEN_PRIVILEGES debug{1, {{{0, 0}, SE_PRIVILEGE_ENABLED}}};
  ASSERT_TRUE(LookupPrivilegeValueW(nullptr, SE_DEBUG_NAME, &debug.Privileges[0].Luid));
  ASSERT_TRUE(AdjustTokenPrivileges(token.get(), FALSE, &debug, 0, nullptr, nullptr));
  const platform::UniqueHandle process(OpenProcess(PROCESS_TERMINATE, FALSE, pid));
  ASSERT_TRUE(process) << "cannot open the service's process: error " << GetLastError();
  ASSERT_TRUE(TerminateProcess(process.get(), 1)) << "error " << GetLastError();
}

// The executable the service's event source names, as the registry keeps
// it; nullopt when there is no source. And the event types it supports.
std::optional<std::string> event_source_file() {
  const wchar_t* key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\OmbrelService";
  std::wstring file(MAX_PATH * 4, L'\0');
  DWORD size = static_cast<DWORD>(file.size() * sizeof(wchar_t));
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, L"EventMessageFile",
                   RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, file.data(),
                   &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  DWORD types = 0;
  DWORD types_size = sizeof types;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types,
                   &types_size) != ERROR_SUCCESS ||
      types != 7) {
    return "TypesSupported " + std::to_string(types);
  }
  file.resize(wcslen(file.c_str()));
  return utf16_to_utf8(std::u16string(file.begin(), file.end()));
}

// The text an event of `kind` shows with `insert` as its one string, formatted
// from the message table of the executable at `exe` as Event Viewer does;
// the system's error when there is no such message.
std::string event_text(const std::string& exe, platform::EventKind kind,
                       const std::string& insert) {
  const HMODULE module =
      LoadLibraryExW(platform::wide(exe).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  if (module == nullptr) return "(not loaded: " + std::to_string(GetLastError()) + ")";
  const platform::EventType type = platform::event_type(kind);
  const DWORD severity = type.level == platform::EventLevel::Information ? 1
                         : type.level == platform::EventLevel::Warning   ? 2
                                                                         : 3;
  const std::wstring w = platform::wide(insert);
  const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(w.c_str())};
  wchar_t* text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
      module, (severity << 30) | type.id, 0, reinterpret_cast<wchar_t*>(&text), 0,
      reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
  std::string got = "(no message: " + std::to_string(GetLastError()) + ")";
  if (length != 0) got = platform::narrow({text, length});
  LocalFree(text);
  FreeLibrary(module);
  return got;
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
  EXPECT_EQ(event_source_file(), first);
  // The file it names carries every kind's message: the line, whole.
  for (int k = 0; k <= static_cast<int>(platform::EventKind::CoreAsService); ++k) {
    EXPECT_EQ(event_text(first, static_cast<platform::EventKind>(k), "строка 1%"), "строка 1%")
        << k;
  }
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
  EXPECT_EQ(event_source_file(), second) << "one source, naming the new copy";
  step("restart a running service", second, {"restart"}, 0, "", "", 4);
  step("stop through the manager", SC, {"stop", "OmbrelService"}, 0, std::nullopt, "", 1);
  step("restart a stopped service", second, {"restart"}, 0, "", "", 4);
  step("uninstall a running service", second, {"uninstall"}, 0, "служба OmbrelService удалена\n",
       "", std::nullopt);
  EXPECT_EQ(event_source_file(), std::nullopt);
  step("uninstall once more", second, {"uninstall"}, 1, "", not_found, std::nullopt);
}

struct LoggedEvent {
  int id;
  std::string text;
};

// The service's events of the last `within` in the Application log, oldest
// first, each with its text as Event Viewer shows it: formatted from the
// message table of the executable the source names.
std::vector<LoggedEvent> service_events(std::chrono::milliseconds within) {
  std::vector<LoggedEvent> got;
  const std::wstring query =
      L"*[System[Provider[@Name='OmbrelService'] and TimeCreated[timediff(@SystemTime) <= " +
      std::to_wstring(within.count()) + L"]]]";
  const EVT_HANDLE results = EvtQuery(nullptr, L"Application", query.c_str(),
                                      EvtQueryChannelPath | EvtQueryForwardDirection);
  if (results == nullptr) {
    ADD_FAILURE() << "EvtQuery: " << GetLastError();
    return got;
  }
  const EVT_HANDLE publisher = EvtOpenPublisherMetadata(nullptr, L"OmbrelService", nullptr, 0, 0);
  const EVT_HANDLE system = EvtCreateRenderContext(0, nullptr, EvtRenderContextSystem);
  std::array<EVT_HANDLE, 16> events{};
  DWORD returned = 0;
  while (EvtNext(results, static_cast<DWORD>(events.size()), events.data(), 5000, 0, &returned)) {
    for (DWORD i = 0; i < returned; ++i) {
      LoggedEvent event{-1, "(no message)"};
      DWORD used = 0;
      DWORD count = 0;
      EvtRender(system, events[i], EvtRenderEventValues, 0, nullptr, &used, &count);
      std::vector<BYTE> values(used);
      if (EvtRender(system, events[i], EvtRenderEventValues, used, values.data(), &used, &count)) {
        event.id = reinterpret_cast<const EVT_VARIANT*>(values.data())[EvtSystemEventID].UInt16Val;
      }
      EvtFormatMessage(publisher, events[i], 0, 0, nullptr, EvtFormatMessageEvent, 0, nullptr,
                       &used);
      std::wstring text(used, L'\0');
      if (EvtFormatMessage(publisher, events[i], 0, 0, nullptr, EvtFormatMessageEvent, used,
                           text.data(), &used)) {
        text.resize(wcslen(text.c_str()));
        event.text = utf16_to_utf8(std::u16string(text.begin(), text.end()));
      }
      got.push_back(std::move(event));
      EvtClose(events[i]);
    }
  }
  EvtClose(system);
  if (publisher != nullptr) EvtClose(publisher);
  EvtClose(results);
  return got;
}

TEST(HostService, EventsAreReadBackOnWindows) {
  OMBREL_REAL_WINDOWS_ONLY(
      "Wine's event log keeps nothing: ReportEventW succeeds and stores no event");
  ASSERT_NO_FATAL_FAILURE(wait_for_idle_manager());
  // Below the root, where only administrators may change it: the profile's
  // %TEMP% is a folder `install` rightly refuses.
  const testsupport::InstallDir root("events");
  // The cores lie in `root`, not beside this copy: the connect fails.
  const std::string service = copy_service_into(root.file("installed"));
  const Uninstall uninstall{service};
  const auto began = std::chrono::steady_clock::now();
  const Ran installed = run_program(service, {"install"});
  ASSERT_EQ(installed.code, 0) << installed.err;
  ASSERT_TRUE(testsupport::wait_until([] { return service_state() == 4; }, 30s));
  const std::string connect =
      "{\"cmd\":\"connect\",\"proxy_only\":true,\"nodes\":[{\"id\":\"x\",\"address\":"
      "\"192.0.2.1\",\"port\":443,\"remark\":\"one\",\"protocol\":{\"Trojan\":{"
      "\"password\":\"pw\",\"sni\":\"s\"}},\"raw\":\"\"}]}\n";
  std::string reply;
  ASSERT_TRUE(testsupport::wait_until(
      [&] {
        auto client = platform::PipeClient::connect(platform::default_pipe_name(), 5s);
        if (!client || !client->write_all(connect)) return false;
        reply = client->read_to_end().value_or("");
        return !reply.empty();
      },
      60s));
  EXPECT_NE(reply.find("core_start_failed"), std::string::npos) << reply;
  const Ran stopped = run_program(SC, {"stop", "OmbrelService"});
  EXPECT_EQ(stopped.code, 0) << stopped.err;
  ASSERT_TRUE(testsupport::wait_until([] { return service_state() == 1; }, 30s));

  const auto within = std::chrono::duration_cast<std::chrono::milliseconds>(
                          std::chrono::steady_clock::now() - began) +
                      5s;
  const std::vector<LoggedEvent> events = service_events(within);
  std::string seen;
  for (const auto& e : events) seen += std::to_string(e.id) + " " + e.text + "\n";
  const auto has = [&](int id, const std::string& start) {
    return std::any_of(events.begin(), events.end(), [&](const LoggedEvent& e) {
      return e.id == id && e.text.starts_with(start);
    });
  };
  EXPECT_TRUE(has(1, "служба запущена")) << seen;
  EXPECT_TRUE(has(3, "ядра не запущены: ")) << seen;
  EXPECT_TRUE(has(2, "служба остановлена")) << seen;
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
  // A service's program in a profile's %TEMP% is not how anything is
  // installed: below the root, as the other services of these tests.
  testsupport::TempDir dir("late control", testsupport::Where::BelowRoot);
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

// A proxy core built as a real one is (the Go stand-in, which loads the
// system libraries a Go program needs at its start) carries a connection
// the service's document sends it to. Under Wine, where no LocalService is
// logged on, the start falls back to the service's account: the tunnel
// comes up all the same and the service says why once, however often the
// core is started. On Windows as the system account the core runs as
// LocalService and nothing is said.
TEST(HostService, AGoProxyCoreCarriesAConnectionInTheCoresAccountOrSaysOnceWhyNot) {
  auto target = testsupport::TcpListener::open("127.0.0.1");
  ASSERT_TRUE(target);
  ASSERT_FALSE(testsupport::connect_loopback(10809)) << "another program holds 10809";
  e2e::ServiceSetup setup("go-core");
  setup.prepare = [](const testsupport::InstallDir& install, const std::string&) {
    std::filesystem::remove(fs_path(install.xray));
    testsupport::install_program(install.path(), "standin-go-xray", "xray.exe");
  };
  e2e::RunningService service(setup);
  const std::string& xray = service.install().xray;
  const std::string connect =
      "{\"cmd\":\"connect\",\"proxy_only\":true,\"nodes\":[{\"id\":\"t\","
      "\"address\":\"127.0.0.1\",\"port\":" +
      std::to_string(target->port) +
      ",\"remark\":\"DE\",\"protocol\":{\"Trojan\":{\"password\":\"p\","
      "\"sni\":\"\"}},\"raw\":\"\"}]}\n";
  const std::string connected = "{\"state\":\"connected\",\"node\":\"DE\",\"proxy_port\":10809}\n";
  const std::string fell_back = "ядро прокси запущено от имени службы: ";
  for (int start = 1; start <= 2; ++start) {
    SCOPED_TRACE(start);
    std::filesystem::remove(fs_path(testsupport::record_path(xray, ".seen")));
    ASSERT_EQ(service.ask(connect), connected);
    ASSERT_TRUE(testsupport::wait_until([&] {
      return testsupport::read_record(xray, ".seen").value_or("").find("listen 10809") !=
             std::string::npos;
    })) << testsupport::read_record(xray, ".error").value_or("(no error)");
    EXPECT_TRUE(testsupport::connect_loopback(10809, "hello"));
    const std::string through = "connected 127.0.0.1:" + std::to_string(target->port);
    EXPECT_TRUE(testsupport::wait_until([&] {
      return testsupport::read_record(xray, ".seen").value_or("").find(through) !=
             std::string::npos;
    })) << testsupport::read_record(xray, ".seen").value_or("(nothing seen)");
    EXPECT_EQ(service.ask("{\"cmd\":\"disconnect\"}\n"), e2e::DISCONNECTED);
  }
  const std::string said = service.stderr_text();
  const auto first = said.find(fell_back);
  if (testsupport::real_windows() && testsupport::system_account()) {
    EXPECT_EQ(first, std::string::npos) << said;
  } else if (!testsupport::real_windows()) {
    ASSERT_NE(first, std::string::npos) << said;
    EXPECT_EQ(said.find(fell_back, first + 1), std::string::npos) << said;
  }
}

}  // namespace
}  // namespace ombrel::host_e2e
