#include "host/runtime.hpp"

#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "host/identity.hpp"
#include "platform/host/event_log.hpp"
#include "platform/process/process.hpp"
#include "serving/service_log.hpp"

namespace ombrel::host {
namespace {

namespace scm = platform::scm;

constexpr platform::ServiceStatusReport RUNNING_REPORT{
    .service_type = scm::TYPE_OWN_PROCESS,
    .current_state = scm::STATE_RUNNING,
    .controls_accepted = scm::ACCEPTS_STOP | scm::ACCEPTS_SHUTDOWN,
};
constexpr platform::ServiceStatusReport STOPPED_REPORT{
    .service_type = scm::TYPE_OWN_PROCESS,
    .current_state = scm::STATE_STOPPED,
};

// A thread that cannot be created ends the process (std::thread throws and
// nothing catches it), which is the intent: a service without its workers
// is worse than none.
template <class F>
void start_detached(F&& body) {
  std::thread(std::forward<F>(body)).detach();
}

// For the workers that start the cores: they make them on their own thread,
// which therefore stays until the process ends, even once its work is over.
template <class F>
void start_lasting(F&& body) {
  std::thread([body = std::forward<F>(body)]() mutable {
    platform::make_thread_lasting();
    body();
    platform::outlive_children_of_this_thread();
  }).detach();
}

}  // namespace

void run_workers(StopReceiver& stop) {
  run_workers(stop, service_workers());
}

void run_workers(StopReceiver& stop, const Workers& workers) {
  const std::size_t ended = workers.cleanup_orphans();
  if (ended != 0) {
    workers.write_stderr("добито осиротевших ядер: " + std::to_string(ended) + "\n");
  }
  start_detached(workers.startup_update_check);
  const WorkerState state = workers.make_state();
  start_lasting(state.serve_pipe);
  start_lasting(state.watchdog);
  stop.wait();
  state.on_service_stop();
}

std::uint32_t control_handler(std::uint32_t control, std::uint32_t, void*, void* context) {
  switch (control) {
    case scm::CONTROL_STOP:
    case scm::CONTROL_SHUTDOWN:
      // The teardown runs on the service main's thread, not here.
      (void)static_cast<const StopSender*>(context)->send();
      return scm::HANDLER_DONE;
    case scm::CONTROL_INTERROGATE:
      return scm::HANDLER_DONE;
    default:
      return scm::HANDLER_NOT_IMPLEMENTED;
  }
}

// The sender the control handler is given. The dispatcher may call the
// handler on its own thread at any time until the process ends, also while
// and after the service main returns, so the sender must outlive every
// service main: each one's is kept for the life of the process, in storage
// that is never destroyed, not even while the process ends.
namespace {
StopSender* lasting_sender(const StopSender& sender) {
  static auto* const mutex = new std::mutex;
  static auto* const senders = new std::vector<std::unique_ptr<StopSender>>;
  std::lock_guard lock(*mutex);
  senders->push_back(std::make_unique<StopSender>(sender));
  return senders->back().get();
}
}  // namespace

void run_service_main(const RegisterHandler& register_handler, const Workers& workers) {
  auto [sender, receiver] = make_stop_signal();
  // Opening the log may wait on the disk; the manager waits for "running"
  // first. A failure before that opens it to be written down.
  const auto start_log = [&] {
    if (workers.start_log) workers.start_log();
  };
  const auto report_failure = [&](const Error& error) {
    start_log();
    workers.write_stderr("служба остановлена с ошибкой: " + error.to_string() + "\n");
  };
  const auto say_event = [&](platform::EventKind kind, const std::string& line) {
    workers.write_stderr(line + "\n");
    platform::report_event(kind, line);
  };

  auto registration = context(register_handler(control_handler, lasting_sender(sender)),
                              "не удалось зарегистрировать обработчик управления");
  if (!registration) return report_failure(registration.error());
  platform::ServiceRegistration& service = **registration;

  if (auto running = service.report_status(RUNNING_REPORT); !running) {
    // No worker has started, so there is nothing to tear down. The stopped
    // report is still tried: without it the dispatcher never returns and
    // the process would hang on as a service that never started.
    (void)service.report_status(STOPPED_REPORT);
    return report_failure(running.error());
  }
  start_log();
  platform::open_event_log(SERVICE_NAME);
  say_event(platform::EventKind::Started, "служба запущена");
  run_workers(receiver, workers);
  say_event(platform::EventKind::Stopped, "служба остановлена");
  if (auto stopped = service.report_status(STOPPED_REPORT); !stopped) {
    report_failure(stopped.error());
  }
}

void service_main(const std::vector<std::string>&) {
  run_service_main(
      [](platform::ControlHandlerFn handler, void* context) {
        return platform::register_control_handler(SERVICE_NAME, handler, context);
      },
      service_workers());
}

Result<void> run_as_service() {
  return context(platform::run_service_dispatcher(SERVICE_NAME, service_main),
                 "не удалось передать управление диспетчеру служб");
}

void run_console(const Workers& workers) {
  if (workers.start_log) workers.start_log();
  platform::open_event_log(SERVICE_NAME);
  auto [sender, receiver] = make_stop_signal();
  // Kept for the life of the process either way, so that the workers never
  // take the loss of every sender for a stop.
  StopSender* const lasting = lasting_sender(sender);
  // Held to the end: dropping it would cut the stop off from the handler.
  auto route = platform::register_console_stop(control_handler, lasting);
  if (!route) {
    workers.write_stderr("остановка по сигналу недоступна: " + route.error().to_string() + "\n");
  }
  run_workers(receiver, workers);
}

void end_process(int exit_code) {
  (void)serving::flush_service_log(std::chrono::seconds(2));
  platform::end_process(exit_code);
}

}  // namespace ombrel::host
