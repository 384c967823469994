#pragma once
// The service control manager, from both sides: the installer's (open the
// manager, create, configure, start, stop, query and delete a service) and
// the running service's (the dispatcher, the control handler and status
// reports).
//
// The Linux port has no manager. Opening it fails with one fixed message; the
// service's own start is mapped onto the same calls so that the service code
// above runs unchanged: the dispatcher calls the service main at once on the
// calling thread, registering the control handler routes SIGTERM and SIGINT
// to it as the stop control, and status reports go nowhere.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"

namespace ombrel::platform {

// The Windows numbers, spelled here so that code on both targets uses them.
// The names avoid the macros of <windows.h>.
namespace scm {
// Access to the manager.
inline constexpr std::uint32_t RIGHT_CONNECT = 0x1;
inline constexpr std::uint32_t RIGHT_CREATE_SERVICE = 0x2;
// Access to one service.
inline constexpr std::uint32_t RIGHT_CHANGE_CONFIG = 0x2;
inline constexpr std::uint32_t RIGHT_QUERY_STATUS = 0x4;
inline constexpr std::uint32_t RIGHT_START = 0x10;
inline constexpr std::uint32_t RIGHT_STOP = 0x20;
inline constexpr std::uint32_t RIGHT_DELETE = 0x10000;

inline constexpr std::uint32_t TYPE_OWN_PROCESS = 0x10;
inline constexpr std::uint32_t START_AUTOMATIC = 2;
inline constexpr std::uint32_t ERRORS_NORMAL = 1;

inline constexpr std::uint32_t STATE_STOPPED = 1;
inline constexpr std::uint32_t STATE_START_PENDING = 2;
inline constexpr std::uint32_t STATE_STOP_PENDING = 3;
inline constexpr std::uint32_t STATE_RUNNING = 4;

inline constexpr std::uint32_t ACCEPTS_STOP = 0x1;
inline constexpr std::uint32_t ACCEPTS_SHUTDOWN = 0x4;

inline constexpr std::uint32_t CONTROL_STOP = 1;
inline constexpr std::uint32_t CONTROL_PAUSE = 2;
inline constexpr std::uint32_t CONTROL_CONTINUE = 3;
inline constexpr std::uint32_t CONTROL_INTERROGATE = 4;
inline constexpr std::uint32_t CONTROL_SHUTDOWN = 5;
inline constexpr std::uint32_t CONTROL_PARAMCHANGE = 6;

// Answers of a control handler.
inline constexpr std::uint32_t HANDLER_DONE = 0;
inline constexpr std::uint32_t HANDLER_NOT_IMPLEMENTED = 120;
}  // namespace scm

// What a service is registered with. The rest is fixed: no load order group,
// no tag, no dependencies, the LocalSystem account without a password.
struct ServiceSettings {
  std::string name;
  std::string display_name;
  // The command line the manager runs, already quoted where it needs it.
  std::string binary_path;
  std::uint32_t service_type = scm::TYPE_OWN_PROCESS;
  std::uint32_t start_type = scm::START_AUTOMATIC;
  std::uint32_t error_control = scm::ERRORS_NORMAL;

  friend bool operator==(const ServiceSettings&, const ServiceSettings&) = default;
};

// What the manager does when the service's process ends without reporting
// the service stopped (or stops it with an error exit code, with
// `on_non_crash_failures`): restart it after each delay in turn, the last
// one repeating, and count failures afresh after `reset_after_s` seconds
// without one.
struct FailureActions {
  std::uint32_t reset_after_s = 0;
  std::vector<std::uint32_t> restart_delays_ms;
  bool on_non_crash_failures = false;

  friend bool operator==(const FailureActions&, const FailureActions&) = default;
};

// One opened service; dropping it closes its handle.
class Service {
 public:
  virtual ~Service() = default;
  // Applies all the settings in one configuration change.
  virtual Result<void> change_config(const ServiceSettings& settings) = 0;
  virtual Result<void> set_description(std::string_view description) = 0;
  // Needs the right to start the service, besides changing its settings.
  virtual Result<void> set_failure_actions(const FailureActions& actions) = 0;
  // The current state (scm::STATE_*).
  virtual Result<std::uint32_t> query_state() = 0;
  // Starts the service with no arguments.
  virtual Result<void> start() = 0;
  virtual Result<void> send_stop() = 0;
  // Marks the service for deletion; it goes when its last handle is closed.
  virtual Result<void> remove() = 0;
};

// An opened manager; dropping it closes its handle.
class ServiceManager {
 public:
  virtual ~ServiceManager() = default;
  virtual Result<std::unique_ptr<Service>> open_service(std::string_view name,
                                                        std::uint32_t access) = 0;
  virtual Result<std::unique_ptr<Service>> create_service(const ServiceSettings& settings,
                                                          std::uint32_t access) = 0;
};

// The way in: the manager of the local machine and what installing needs
// besides it. An interface so that the installer's steps can be tested
// against a pretend manager.
class ServiceControl {
 public:
  virtual ~ServiceControl() = default;
  // The manager of the local machine, default database.
  virtual Result<std::unique_ptr<ServiceManager>> open_manager(std::uint32_t access) = 0;
  // The full path of the running executable.
  virtual Result<std::string> own_executable_path() = 0;
  // The service's source in the Application log, its messages in the table
  // of `message_file` (platform/host/event_log.hpp).
  virtual Result<void> register_event_source(std::string_view name,
                                             std::string_view message_file) = 0;
  virtual Result<void> remove_event_source(std::string_view name) = 0;
  virtual void sleep(std::chrono::milliseconds duration) = 0;
};

// The real manager (on Linux: one whose every opening fails).
ServiceControl& system_service_control();

// Succeeds where a service control manager exists; on Linux fails with the
// port's message, so that the command words can refuse before doing anything.
Result<void> service_manager_present();

// The process the manager runs service `name` in, while it runs (any state
// but stopped); empty when it is stopped, not installed, or the manager
// cannot be asked (always on Linux). For clients that must know whether the
// channel's server is the service.
std::optional<std::uint32_t> running_service_pid(std::string_view name);

// --- The running service's side ---------------------------------------------

// A service status record; fields not named here are 0.
struct ServiceStatusReport {
  std::uint32_t service_type = 0;
  std::uint32_t current_state = 0;
  std::uint32_t controls_accepted = 0;
  std::uint32_t win32_exit_code = 0;
  std::uint32_t service_exit_code = 0;
  std::uint32_t check_point = 0;
  std::uint32_t wait_hint = 0;

  friend bool operator==(const ServiceStatusReport&, const ServiceStatusReport&) = default;
};

// Called by the dispatcher on a thread of its own with the service's
// arguments (as UTF-8).
using ServiceMainFn = void (*)(const std::vector<std::string>& args);

// Hands the calling thread to the service control dispatcher with one service
// table entry. Returns once the service has stopped, or the system's error
// when the dispatcher cannot be reached (a program started by hand).
Result<void> run_service_dispatcher(std::string_view name, ServiceMainFn service_main);

// The control handler's shape: control code, event type, event data and the
// context given at registration; returns the answer to the system.
using ControlHandlerFn = std::uint32_t (*)(std::uint32_t control, std::uint32_t event_type,
                                           void* event_data, void* context);

// The service's registration with the manager, for status reports.
class ServiceRegistration {
 public:
  virtual ~ServiceRegistration() = default;
  virtual Result<void> report_status(const ServiceStatusReport& status) = 0;
};

// Registers `handler` for service `name`; `context` is handed to every call.
// The system may call the handler until the process ends, also after the
// registration is dropped and the service main has returned: `context`
// must live as long as the process.
Result<std::unique_ptr<ServiceRegistration>> register_control_handler(std::string_view name,
                                                                      ControlHandlerFn handler,
                                                                      void* context);

// For the workers run in a console ("run"): hands the stop the console has
// to `handler` as CONTROL_STOP. Linux: SIGTERM and SIGINT, as for the
// service. Windows: nothing (Ctrl+C ends the console program as ever).
Result<std::unique_ptr<ServiceRegistration>> register_console_stop(ControlHandlerFn handler,
                                                                   void* context);

}  // namespace ombrel::platform
