// Stands in for a service whose service main returns while the service
// still runs, for the test of a control that the dispatcher delivers after
// the service main and its registration are gone:
//   standin-late_service NAME
// The service main registers the handler, reports running, drops the
// registration, writes <exe>.returned and returns. Each control the
// handler gets is added to <exe>.controls as its number, a line each; a
// stop also reports the service stopped, through a registration made for
// it, so that the dispatcher returns and the program ends.
#include <mutex>
#include <string>

#include "platform/service.hpp"
#include "standin.hpp"

namespace {

namespace scm = ombrel::platform::scm;

std::string g_name;
std::string g_exe;
std::mutex g_mutex;
std::string g_controls;

std::uint32_t handler(std::uint32_t control, std::uint32_t, void*, void*) {
  std::lock_guard lock(g_mutex);
  g_controls += std::to_string(control) + "\n";
  standin::write_record(g_exe + ".controls", g_controls);
  if (control == scm::CONTROL_STOP) {
    if (auto again = ombrel::platform::register_control_handler(g_name, handler, nullptr)) {
      (void)(*again)->report_status(
          {.service_type = scm::TYPE_OWN_PROCESS, .current_state = scm::STATE_STOPPED});
    }
  }
  return scm::HANDLER_DONE;
}

void service_main(const std::vector<std::string>&) {
  {
    auto registration = ombrel::platform::register_control_handler(g_name, handler, nullptr);
    if (!registration) return;
    (void)(*registration)
        ->report_status({.service_type = scm::TYPE_OWN_PROCESS,
                         .current_state = scm::STATE_RUNNING,
                         .controls_accepted = scm::ACCEPTS_STOP | scm::ACCEPTS_SHUTDOWN});
  }
  standin::write_record(g_exe + ".returned", "");
}

}  // namespace

int main(int argc, char** argv) {
  const auto exe = ombrel::platform::current_exe_path();
  const std::vector<std::string> args = ombrel::platform::program_arguments(argc, argv);
  if (!exe || args.empty()) return 100;
  g_exe = *exe;
  g_name = args[0];
  ombrel::platform::end_process(ombrel::platform::run_service_dispatcher(g_name, service_main) ? 0
                                                                                               : 1);
}
