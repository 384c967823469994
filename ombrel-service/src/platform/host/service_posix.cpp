#include <pthread.h>
#include <signal.h>

#include <cerrno>
#include <mutex>
#include <thread>

#include "platform/host/service.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {
namespace {

constexpr const char* NO_SERVICE_MANAGER = "управление службой доступно только в Windows";

class NoServiceControl final : public ServiceControl {
 public:
  Result<std::unique_ptr<ServiceManager>> open_manager(std::uint32_t) override {
    return fail(NO_SERVICE_MANAGER);
  }
  Result<std::string> own_executable_path() override { return fail(NO_SERVICE_MANAGER); }
  Result<void> register_event_source(std::string_view, std::string_view) override {
    return fail(NO_SERVICE_MANAGER);
  }
  Result<void> remove_event_source(std::string_view) override { return fail(NO_SERVICE_MANAGER); }
  void sleep(std::chrono::milliseconds duration) override { std::this_thread::sleep_for(duration); }
};

// The handler the signal thread calls, cleared when the registration goes so
// that a late signal never reaches a service main that has returned.
struct SignalRoute {
  std::mutex mutex;
  ControlHandlerFn handler = nullptr;
  void* context = nullptr;
};

class SignalRegistration final : public ServiceRegistration {
 public:
  explicit SignalRegistration(std::shared_ptr<SignalRoute> route) : route_(std::move(route)) {}
  ~SignalRegistration() override {
    std::lock_guard lock(route_->mutex);
    route_->handler = nullptr;
    route_->context = nullptr;
  }
  // Nobody listens to the status of a Linux service.
  Result<void> report_status(const ServiceStatusReport&) override { return {}; }

 private:
  std::shared_ptr<SignalRoute> route_;
};

}  // namespace

ServiceControl& system_service_control() {
  static NoServiceControl control;
  return control;
}

Result<void> service_manager_present() {
  return fail(NO_SERVICE_MANAGER);
}

Result<void> run_service_dispatcher(std::string_view name, ServiceMainFn service_main) {
  service_main({std::string(name)});
  return {};
}

Result<std::unique_ptr<ServiceRegistration>> register_control_handler(std::string_view,
                                                                      ControlHandlerFn handler,
                                                                      void* context) {
  // Blocked here, before the workers' threads exist, the two signals stay
  // blocked in every thread started later and reach only sigwait below.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  if (const int rc = pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr); rc != 0) {
    return fail(os_error(static_cast<unsigned long>(rc)));
  }
  auto route = std::make_shared<SignalRoute>();
  route->handler = handler;
  route->context = context;
  std::thread([route, stop_signals] {
    for (;;) {
      int signal = 0;
      if (sigwait(&stop_signals, &signal) != 0) continue;
      std::lock_guard lock(route->mutex);
      if (route->handler != nullptr) {
        route->handler(scm::CONTROL_STOP, 0, nullptr, route->context);
      }
    }
  }).detach();
  return std::make_unique<SignalRegistration>(std::move(route));
}

Result<std::unique_ptr<ServiceRegistration>> register_console_stop(ControlHandlerFn handler,
                                                                   void* context) {
  return register_control_handler({}, handler, context);
}

std::optional<std::uint32_t> running_service_pid(std::string_view) {
  return std::nullopt;
}

}  // namespace ombrel::platform
