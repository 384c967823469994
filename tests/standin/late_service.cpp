// Stands in for a service whose control handler is called after the
// registration it was made with is gone, as the dispatcher may do once the
// real service main has returned:
//   standin-late_service NAME
// The service main registers the handler, reports running and drops the
// registration; it then puts freed memory to other use at once, as a busy
// process would, writes <exe>.returned and waits for a stop. Each control
// the handler gets is added to <exe>.controls as its number, a line each.
// On a stop the service main reports the service stopped through a
// registration made anew, and the program ends.
#include <array>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/host/service.hpp"
#include "standin.hpp"

namespace {

namespace scm = ombrel::platform::scm;

std::string g_name;
std::string g_exe;
std::mutex g_mutex;
std::condition_variable g_changed;
std::string g_controls;
bool g_stop = false;

std::uint32_t handler(std::uint32_t control, std::uint32_t, void*, void*) {
  std::lock_guard lock(g_mutex);
  g_controls += std::to_string(control) + "\n";
  standin::write_record(g_exe + ".controls", g_controls);
  if (control == scm::CONTROL_STOP) g_stop = true;
  g_changed.notify_all();
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
  std::vector<std::unique_ptr<std::array<unsigned char, 16>>> reuse;
  for (int i = 0; i < 4096; ++i) {
    reuse.push_back(std::make_unique<std::array<unsigned char, 16>>());
    reuse.back()->fill(0xA5);
  }
  standin::write_record(g_exe + ".returned", "");
  {
    std::unique_lock lock(g_mutex);
    if (!g_changed.wait_for(lock, standin::LONGEST_STAY, [] { return g_stop; })) return;
  }
  if (auto again = ombrel::platform::register_control_handler(g_name, handler, nullptr)) {
    (void)(*again)->report_status(
        {.service_type = scm::TYPE_OWN_PROCESS, .current_state = scm::STATE_STOPPED});
  }
}

}  // namespace

int main(int argc, char** argv) {
  const auto exe = ombrel::platform::current_exe_path();
  const std::vector<std::string> args = ombrel::platform::program_arguments(argc, argv);
  if (!exe || args.empty()) return 100;
  g_exe = *exe;
  g_name = args[0];
  const bool dispatched =
      ombrel::platform::run_service_dispatcher(g_name, service_main).has_value();
  ombrel::platform::end_process(dispatched ? 0 : 1);
}
