#pragma once
// Records the events the service reports, in place of the system's log,
// for as long as it lives; the minute between repeats is measured on
// `clock`.
#include <mutex>
#include <string>
#include <vector>

#include "fake_clock.hpp"
#include "platform/host/event_log.hpp"

namespace ombrel::testsupport {

struct ReportedEvent {
  platform::EventKind kind;
  std::uint16_t id;
  std::string text;
  friend bool operator==(const ReportedEvent&, const ReportedEvent&) = default;
};

class EventRecorder {
 public:
  EventRecorder() {
    platform::send_events_to(
        [this](platform::EventKind kind, std::uint16_t id, std::string_view text) {
          const std::lock_guard lock(mutex_);
          events_.push_back({kind, id, std::string(text)});
        },
        &clock);
  }
  EventRecorder(const EventRecorder&) = delete;
  EventRecorder& operator=(const EventRecorder&) = delete;
  ~EventRecorder() { platform::send_events_to({}); }

  std::vector<ReportedEvent> events() const {
    const std::lock_guard lock(mutex_);
    return events_;
  }

  FakeClock clock;

 private:
  mutable std::mutex mutex_;
  std::vector<ReportedEvent> events_;
};

}  // namespace ombrel::testsupport
