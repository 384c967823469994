#include <windows.h>

#include <thread>
#include <vector>

#include "base/text.hpp"
#include "platform/files/paths.hpp"
#include "platform/handle_win.hpp"
#include "platform/host/event_log.hpp"
#include "platform/host/service.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {
namespace {

static_assert(scm::RIGHT_CONNECT == SC_MANAGER_CONNECT);
static_assert(scm::RIGHT_CREATE_SERVICE == SC_MANAGER_CREATE_SERVICE);
static_assert(scm::RIGHT_CHANGE_CONFIG == SERVICE_CHANGE_CONFIG);
static_assert(scm::RIGHT_QUERY_STATUS == SERVICE_QUERY_STATUS);
static_assert(scm::RIGHT_START == SERVICE_START);
static_assert(scm::RIGHT_STOP == SERVICE_STOP);
static_assert(scm::RIGHT_DELETE == DELETE);
static_assert(scm::TYPE_OWN_PROCESS == SERVICE_WIN32_OWN_PROCESS);
static_assert(scm::START_AUTOMATIC == SERVICE_AUTO_START);
static_assert(scm::ERRORS_NORMAL == SERVICE_ERROR_NORMAL);
static_assert(scm::STATE_STOPPED == SERVICE_STOPPED);
static_assert(scm::STATE_RUNNING == SERVICE_RUNNING);
static_assert(scm::ACCEPTS_STOP == SERVICE_ACCEPT_STOP);
static_assert(scm::ACCEPTS_SHUTDOWN == SERVICE_ACCEPT_SHUTDOWN);
static_assert(scm::CONTROL_STOP == SERVICE_CONTROL_STOP);
static_assert(scm::CONTROL_INTERROGATE == SERVICE_CONTROL_INTERROGATE);
static_assert(scm::CONTROL_SHUTDOWN == SERVICE_CONTROL_SHUTDOWN);
static_assert(scm::HANDLER_NOT_IMPLEMENTED == ERROR_CALL_NOT_IMPLEMENTED);

// Owns one handle of the service control manager.
class ScHandle {
 public:
  explicit ScHandle(SC_HANDLE h) : h_(h) {}
  ScHandle(const ScHandle&) = delete;
  ScHandle& operator=(const ScHandle&) = delete;
  ~ScHandle() {
    if (h_ != nullptr) CloseServiceHandle(h_);
  }
  SC_HANDLE get() const { return h_; }

 private:
  SC_HANDLE h_;
};

Result<void> ok_or_last_error(BOOL ok) {
  if (!ok) return fail(last_os_error());
  return {};
}

class WinService final : public Service {
 public:
  explicit WinService(SC_HANDLE h) : handle_(h) {}

  Result<void> change_config(const ServiceSettings& s) override {
    const std::wstring path = wide(s.binary_path);
    const std::wstring display = wide(s.display_name);
    // An empty list of dependencies (two terminating NULs) clears any old
    // ones and an empty group the old group. The account is named: a null
    // one would keep whatever an administrator had changed it to.
    return ok_or_last_error(ChangeServiceConfigW(handle_.get(), s.service_type, s.start_type,
                                                 s.error_control, path.c_str(), L"", nullptr, L"\0",
                                                 L"LocalSystem", L"", display.c_str()));
  }

  Result<void> set_description(std::string_view description) override {
    std::wstring text = wide(description);
    SERVICE_DESCRIPTIONW info{text.data()};
    return ok_or_last_error(
        ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_DESCRIPTION, &info));
  }

  Result<void> set_failure_actions(const FailureActions& actions) override {
    std::vector<SC_ACTION> steps;
    for (const std::uint32_t delay : actions.restart_delays_ms) {
      steps.push_back(SC_ACTION{SC_ACTION_RESTART, delay});
    }
    // No reboot message and no command: only restarts.
    SERVICE_FAILURE_ACTIONSW info{};
    info.dwResetPeriod = actions.reset_after_s;
    info.cActions = static_cast<DWORD>(steps.size());
    info.lpsaActions = steps.data();
    OMBREL_TRY(ok_or_last_error(
        ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_FAILURE_ACTIONS, &info)));
    SERVICE_FAILURE_ACTIONS_FLAG flag{actions.on_non_crash_failures ? TRUE : FALSE};
    if (ChangeServiceConfig2W(handle_.get(), SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag)) return {};
    // A manager that does not know this setting (Wine's) still restarts
    // after a crash, which is what matters most; anything else is a failure.
    if (GetLastError() == ERROR_INVALID_LEVEL) return {};
    return fail(last_os_error());
  }

  Result<std::uint32_t> query_state() override {
    SERVICE_STATUS status{};
    if (!QueryServiceStatus(handle_.get(), &status)) return fail(last_os_error());
    return status.dwCurrentState;
  }

  Result<void> start() override {
    return ok_or_last_error(StartServiceW(handle_.get(), 0, nullptr));
  }

  Result<void> send_stop() override {
    SERVICE_STATUS status{};
    return ok_or_last_error(ControlService(handle_.get(), SERVICE_CONTROL_STOP, &status));
  }

  Result<void> remove() override { return ok_or_last_error(DeleteService(handle_.get())); }

 private:
  ScHandle handle_;
};

class WinServiceManager final : public ServiceManager {
 public:
  explicit WinServiceManager(SC_HANDLE h) : handle_(h) {}

  Result<std::unique_ptr<Service>> open_service(std::string_view name,
                                                std::uint32_t access) override {
    const std::wstring w = wide(name);
    SC_HANDLE h = OpenServiceW(handle_.get(), w.c_str(), access);
    if (h == nullptr) return fail(last_os_error());
    return std::make_unique<WinService>(h);
  }

  Result<std::unique_ptr<Service>> create_service(const ServiceSettings& s,
                                                  std::uint32_t access) override {
    const std::wstring name = wide(s.name);
    const std::wstring display = wide(s.display_name);
    const std::wstring path = wide(s.binary_path);
    SC_HANDLE h = CreateServiceW(handle_.get(), name.c_str(), display.c_str(), access,
                                 s.service_type, s.start_type, s.error_control, path.c_str(),
                                 nullptr, nullptr, L"\0", nullptr, nullptr);
    if (h == nullptr) return fail(last_os_error());
    return std::make_unique<WinService>(h);
  }

 private:
  ScHandle handle_;
};

class WinServiceControl final : public ServiceControl {
 public:
  Result<std::unique_ptr<ServiceManager>> open_manager(std::uint32_t access) override {
    SC_HANDLE h = OpenSCManagerW(nullptr, nullptr, access);
    if (h == nullptr) return fail(last_os_error());
    return std::make_unique<WinServiceManager>(h);
  }

  Result<std::string> own_executable_path() override { return current_exe_path(); }

  Result<void> register_event_source(std::string_view name,
                                     std::string_view message_file) override {
    return platform::register_event_source(name, message_file);
  }

  Result<void> remove_event_source(std::string_view name) override {
    return platform::remove_event_source(name);
  }

  void sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

// The dispatcher carries no context to the service main, so the one service
// of this process is remembered here.
ServiceMainFn g_service_main = nullptr;

void WINAPI service_main_entry(DWORD argc, LPWSTR* argv) {
  std::vector<std::string> args;
  for (DWORD i = 0; i < argc; ++i) {
    const std::wstring_view w(argv[i]);
    args.push_back(utf16_to_utf8(std::u16string(w.begin(), w.end())));
  }
  if (g_service_main != nullptr) g_service_main(args);
}

struct HandlerBinding {
  ControlHandlerFn handler;
  void* context;
};

DWORD WINAPI handler_entry(DWORD control, DWORD event_type, LPVOID event_data, LPVOID binding) {
  const auto* b = static_cast<const HandlerBinding*>(binding);
  return b->handler(control, event_type, event_data, b->context);
}

class WinServiceRegistration final : public ServiceRegistration {
 public:
  explicit WinServiceRegistration(SERVICE_STATUS_HANDLE handle) : handle_(handle) {}

  Result<void> report_status(const ServiceStatusReport& r) override {
    SERVICE_STATUS status{};
    status.dwServiceType = r.service_type;
    status.dwCurrentState = r.current_state;
    status.dwControlsAccepted = r.controls_accepted;
    status.dwWin32ExitCode = r.win32_exit_code;
    status.dwServiceSpecificExitCode = r.service_exit_code;
    status.dwCheckPoint = r.check_point;
    status.dwWaitHint = r.wait_hint;
    return ok_or_last_error(SetServiceStatus(handle_, &status));
  }

 private:
  // A status handle is not closed: it lives as long as the service.
  SERVICE_STATUS_HANDLE handle_;
};

// The dispatcher keeps calling the handler until the process ends, also
// after the service main (and with it the registration) is gone, so the
// binding it is given is never freed. One is made per start of the service
// main, which a process sees once, rarely a few times.
const HandlerBinding* lasting_binding(ControlHandlerFn handler, void* context) {
  return new HandlerBinding{handler, context};
}

}  // namespace

ServiceControl& system_service_control() {
  static WinServiceControl control;
  return control;
}

Result<void> service_manager_present() {
  return {};
}

Result<void> run_service_dispatcher(std::string_view name, ServiceMainFn service_main) {
  g_service_main = service_main;
  std::wstring w = wide(name);
  SERVICE_TABLE_ENTRYW table[] = {{w.data(), service_main_entry}, {nullptr, nullptr}};
  return ok_or_last_error(StartServiceCtrlDispatcherW(table));
}

Result<std::unique_ptr<ServiceRegistration>> register_control_handler(std::string_view name,
                                                                      ControlHandlerFn handler,
                                                                      void* context) {
  const std::wstring w = wide(name);
  SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandlerExW(
      w.c_str(), handler_entry, const_cast<HandlerBinding*>(lasting_binding(handler, context)));
  if (h == nullptr) return fail(last_os_error());
  return std::make_unique<WinServiceRegistration>(h);
}

namespace {
// Nobody reads a console program's status.
class ConsoleRegistration final : public ServiceRegistration {
 public:
  Result<void> report_status(const ServiceStatusReport&) override { return {}; }
};
}  // namespace

Result<std::unique_ptr<ServiceRegistration>> register_console_stop(ControlHandlerFn, void*) {
  return std::make_unique<ConsoleRegistration>();
}

std::optional<std::uint32_t> running_service_pid(std::string_view name) {
  const ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (manager.get() == nullptr) return std::nullopt;
  const std::wstring w = wide(name);
  const ScHandle service(OpenServiceW(manager.get(), w.c_str(), SERVICE_QUERY_STATUS));
  if (service.get() == nullptr) return std::nullopt;
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  if (!QueryServiceStatusEx(service.get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                            sizeof status, &needed)) {
    return std::nullopt;
  }
  if (status.dwCurrentState == SERVICE_STOPPED || status.dwProcessId == 0) return std::nullopt;
  return static_cast<std::uint32_t>(status.dwProcessId);
}

}  // namespace ombrel::platform
