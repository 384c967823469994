// The one place where the service's real workers are put together. Until the
// supervisor, control and selfupdate pieces are connected here, the service
// starts nothing and only waits for its stop.
#include "host/runtime.hpp"
#include "platform/console.hpp"

namespace ombrel::host {

Workers service_workers() {
  Workers workers;
  workers.cleanup_orphans = [] { return std::size_t{0}; };
  workers.startup_update_check = [] {};
  workers.make_state = [] {
    WorkerState state;
    state.serve_pipe = [] {};
    state.watchdog = [] {};
    state.on_service_stop = [] {};
    return state;
  };
  workers.write_stderr = platform::write_stderr;
  return workers;
}

}  // namespace ombrel::host
