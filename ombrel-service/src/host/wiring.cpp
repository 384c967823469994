// The one place where the service's real workers are put together.
#include <memory>
#include <mutex>

#include "control/handling.hpp"
#include "control/pipe_server.hpp"
#include "host/runtime.hpp"
#include "host/service_setup.hpp"
#include "platform/files/datadir.hpp"
#include "platform/files/paths.hpp"
#include "platform/host/console.hpp"
#include "platform/host/event_log.hpp"
#include "platform/process/process.hpp"
#include "platform/trust/install_folder.hpp"
#include "registry/registry.hpp"
#include "selfupdate/update.hpp"
#include "serving/service_log.hpp"
#include "supervisor/orphans.hpp"
#include "supervisor/state.hpp"

namespace ombrel::host {

namespace {

// Judged again at every start, now as the service's own account: a folder
// only the installing administrator's account could write is unsafe too.
// An unsafe folder takes no update, and no core starts from it either (the
// launcher judges the cores' images and their folder before every start):
// whoever may write there would have their program run as the service.
void check_install_folder_at_start() {
  auto dir = platform::install_dir();
  if (!dir) return;  // then no update can be staged either
  auto safe = platform::is_safe_install_folder(*dir);
  if (safe && *safe) return;
  std::string text = std::string(UNSAFE_FOLDER) + *dir;
  if (!safe) text += ": " + safe.error().to_string();
  text += " - " + std::string(selfupdate::UNSAFE_FOLDER_REFUSAL);
  platform::write_stderr(text + "\n");
  platform::report_event(platform::EventKind::UnsafeFolder, text);
  selfupdate::mark_install_folder_unsafe();
}

// The data folder's failures are the administrator's to mend; the service
// goes on either way, its state unchanged.
void say_data_folder_not_ready(const Error& error) {
  const std::string text = "папка данных не готова: " + error.to_string();
  platform::write_stderr(text + "\n");
  platform::report_event(platform::EventKind::DataFolderNotReady, text);
}

}  // namespace

Workers service_workers() {
  Workers workers;
  workers.cleanup_orphans = [] { return supervisor::kill_orphan_cores(); };
  workers.startup_update_check = [] { selfupdate::startup_update_check(); };
  workers.make_state = [] {
    // The data folder is made the service's own before anything is read
    // from it or written to it; the registry and the core launcher make
    // sure of it again before each of their writes.
    // A file there that could not be made anew (its holder may read on)
    // is told from now on, and so is one met while the log was opened.
    platform::report_renewal_failures_to(say_data_folder_not_ready);
    if (auto ensured = platform::ensure_private_data_dir(); !ensured) {
      say_data_folder_not_ready(ensured.error());
    }
    check_install_folder_at_start();
    // Owned by the two thread bodies, which live as long as the process: the
    // state must outlast them, however the process ends.
    auto shared = std::make_shared<supervisor::SharedState>();
    std::shared_ptr<control::RequestHandler> handler = control::make_state_handler(*shared);
    // Held by the pipe server while it serves a client.
    auto exchange = std::make_shared<std::mutex>();
    WorkerState state;
    state.serve_pipe = [shared, handler, exchange] {
      control::PipeServerOptions options;
      options.exchange_lock = exchange.get();
      control::serve_pipe(*handler, options);
    };
    state.watchdog = [shared] { supervisor::run_watchdog(*shared); };
    // An update that replaced the service ends here, where the process
    // takes the new build in place (`platform::PROGRAM_REPLACEABLE`; the
    // service manager restarts it elsewhere): the cores stop as at a stop,
    // and the state lock is held into the new build, so that no request or
    // watchdog round starts cores again in between. The log's writer
    // vanishes with the old program, so what it holds goes first.
    selfupdate::set_service_replacer(
        [shared, exchange](const std::string& program) -> Result<void> {
          // First the exchange in progress ends (the update's own reply among
          // them): a client would otherwise lose a reply to a request carried out.
          const std::lock_guard between_clients(*exchange);
          auto lock = shared->lock();
          supervisor::on_service_stop(*shared);
          registry::channel_registry().flush();
          platform::write_stderr("обновление: служба перезапускается из " + program + "\n");
          (void)serving::flush_service_log(std::chrono::seconds(2));
          return platform::replace_program(program);
        });
    state.on_service_stop = [shared] {
      {
        auto lock = shared->lock();
        supervisor::on_service_stop(*shared);
      }
      // Failed marks still waiting for their save are not lost with the stop.
      registry::channel_registry().flush();
    };
    return state;
  };
  workers.write_stderr = platform::write_stderr;
  workers.start_log = [] { serving::start_service_log(platform::data_dir()); };
  return workers;
}

}  // namespace ombrel::host
