// Which kinds may be reported now is decided the same way on both targets.
#include "platform/host/event_log.hpp"

#include <array>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>

namespace ombrel::platform {

// The system's own log (event_log_win.cpp; nothing on Linux).
void report_to_system(const EventType& type, std::string_view text);

namespace {

constexpr std::size_t KINDS = static_cast<std::size_t>(EventKind::CoreAsService) + 1;

struct Reports {
  std::mutex mutex;
  EventSink sink;
  const Clock* clock = nullptr;
  std::array<std::optional<std::chrono::steady_clock::time_point>, KINDS> last{};
};

// Never destroyed: late threads may still report while the process ends.
Reports& reports() {
  static auto* const r = new Reports;
  return *r;
}

}  // namespace

void report_event(EventKind kind, std::string_view line) {
  Reports& r = reports();
  const EventType type = event_type(kind);
  std::unique_lock lock(r.mutex);
  const Clock& clock = r.clock != nullptr ? *r.clock : system_clock();
  const auto now = clock.monotonic();
  auto& last = r.last[static_cast<std::size_t>(kind)];
  if (last && now - *last < EVENT_REPEAT_AFTER) return;
  last = now;
  if (r.sink) {
    const EventSink sink = r.sink;
    lock.unlock();
    sink(kind, type.id, line);
    return;
  }
  lock.unlock();
  report_to_system(type, line);
}

void send_events_to(EventSink sink, const Clock* clock) {
  Reports& r = reports();
  const std::lock_guard lock(r.mutex);
  r.sink = std::move(sink);
  r.clock = clock;
  r.last = {};
}

}  // namespace ombrel::platform
