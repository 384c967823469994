#pragma once
// The service's life: the entry the dispatcher calls, the control handler,
// the status reports, and the workers that run until a stop arrives. The
// workers also run in a console (the command word "run").
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.hpp"
#include "host/stop_signal.hpp"
#include "platform/host/service.hpp"

namespace ombrel::host {

// One start's service state, seen through what the host does with it. Each
// function holds its own share of the state.
struct WorkerState {
  // Bodies of the two long-lived threads; never joined.
  std::function<void()> serve_pipe;
  std::function<void()> watchdog;
  // The teardown: under the state lock, nothing desired any more and the
  // running cores stopped and waited for.
  std::function<void()> on_service_stop;
};

// The pieces the workers are made of. `service_workers()` (wiring.cpp) gives
// the real ones; tests give their own.
struct Workers {
  // Ends cores left running by an earlier run; how many it ended.
  std::function<std::size_t()> cleanup_orphans;
  // The start-up update check; runs on a detached thread.
  std::function<void()> startup_update_check;
  // A fresh service state with its initial values.
  std::function<WorkerState()> make_state;
  // Diagnostic lines (standard error in the real service).
  std::function<void(std::string_view)> write_stderr;
  // Opens the service's own log, before anything else is written; empty in
  // tests that keep no log.
  std::function<void()> start_log;
};

Workers service_workers();

// Starts the workers and blocks until a stop message arrives (or every
// sender is gone), then tears the connection down and returns. The pipe
// server and watchdog threads are left to end with the process.
void run_workers(StopReceiver& stop);
void run_workers(StopReceiver& stop, const Workers& workers);

// The command word "run": the workers in the console until the console's
// stop (Linux: SIGTERM or SIGINT, as for the service; Windows: none, the
// process runs until it is ended). Returns once they have stopped.
void run_console(const Workers& workers);

// The system's control handler; `context` is the StopSender to use.
std::uint32_t control_handler(std::uint32_t control, std::uint32_t event_type, void* event_data,
                              void* context);

// The service main the dispatcher calls; the arguments are ignored.
void service_main(const std::vector<std::string>& args);

// The steps of the service main, with the registration and the workers
// injected for tests.
using RegisterHandler = std::function<Result<std::unique_ptr<platform::ServiceRegistration>>(
    platform::ControlHandlerFn handler, void* context)>;
void run_service_main(const RegisterHandler& register_handler, const Workers& workers);

// Hands the process to the service control dispatcher; returns once the
// service has stopped. On Linux: runs the service until SIGTERM or SIGINT.
Result<void> run_as_service();

// Ends the process with `exit_code` once the service's log has written what
// it holds (for at most a few seconds). Static objects are not destroyed:
// detached threads may still be using them.
[[noreturn]] void end_process(int exit_code);

}  // namespace ombrel::host
