// The Linux port keeps no log of events: each event's line is already on
// standard error (and in the service's own log), and a second copy there
// would only repeat it.
#include "platform/host/event_log.hpp"

namespace ombrel::platform {

void report_to_system(const EventType&, std::string_view) {}

void open_event_log(std::string_view) {}

Result<void> register_event_source(std::string_view, std::string_view) {
  return {};
}

Result<void> remove_event_source(std::string_view) {
  return {};
}

}  // namespace ombrel::platform
