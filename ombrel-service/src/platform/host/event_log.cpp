// Which kinds may be reported now is decided the same way on both targets.
#include "platform/host/event_log.hpp"

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace ombrel::platform {

// The system's own log (event_log_win.cpp; nothing on Linux).
void report_to_system(const EventType& type, std::string_view text);

namespace {

// Whose events are reported on this thread (EventCaller); none: the
// service's own.
thread_local EventCaller* t_caller = nullptr;

// The service's own events, and each caller's ("?" an unknown one), by kind.
struct Source {
  std::optional<std::string> caller;
  EventKind kind;
  auto operator<=>(const Source&) const = default;
};

struct Run {
  std::chrono::steady_clock::time_point last;
  std::size_t suppressed = 0;
};

// At most this many sources are remembered; the least recent one that has
// nothing left to count makes room. More callers than this in a minute are
// more than one machine's users, and an earlier event being forgotten only
// lets the next one through.
constexpr std::size_t SOURCES_KEPT = 256;

struct Reports {
  std::mutex mutex;
  EventSink sink;
  const Clock* clock = nullptr;
  std::map<Source, Run> runs;
};

// Never destroyed: late threads may still report while the process ends.
Reports& reports() {
  static auto* const r = new Reports;
  return *r;
}

void make_room(std::map<Source, Run>& runs, std::chrono::steady_clock::time_point now) {
  std::erase_if(runs, [now](const auto& entry) {
    return entry.second.suppressed == 0 && now - entry.second.last >= EVENT_REPEAT_AFTER;
  });
  while (runs.size() >= SOURCES_KEPT) {
    auto oldest = runs.begin();
    for (auto it = runs.begin(); it != runs.end(); ++it) {
      if (it->second.last < oldest->second.last) oldest = it;
    }
    runs.erase(oldest);
  }
}

}  // namespace

EventCaller::EventCaller(std::function<std::string()> who)
    : who_(std::move(who)), outer_(t_caller) {
  t_caller = this;
}

EventCaller::~EventCaller() {
  t_caller = outer_;
}

void report_event(EventKind kind, std::string_view line) {
  Reports& r = reports();
  const EventType type = event_type(kind);
  Source source{std::nullopt, kind};
  if (t_caller != nullptr) {
    // Asked outside the lock: finding a caller may ask the system.
    std::string who = t_caller->who_ ? t_caller->who_() : std::string();
    source.caller = who.empty() ? "?" : std::move(who);
  }
  std::unique_lock lock(r.mutex);
  const Clock& clock = r.clock != nullptr ? *r.clock : system_clock();
  const auto now = clock.monotonic();
  auto found = r.runs.find(source);
  if (found != r.runs.end() && now - found->second.last < EVENT_REPEAT_AFTER) {
    ++found->second.suppressed;
    return;
  }
  std::size_t suppressed = 0;
  if (found != r.runs.end()) {
    suppressed = found->second.suppressed;
    found->second = Run{now, 0};
  } else {
    make_room(r.runs, now);
    r.runs.emplace(std::move(source), Run{now, 0});
  }
  std::string text(line);
  if (suppressed != 0) text += " (пропущено таких событий: " + std::to_string(suppressed) + ")";
  if (r.sink) {
    const EventSink sink = r.sink;
    lock.unlock();
    sink(kind, type.id, text);
    return;
  }
  lock.unlock();
  report_to_system(type, text);
}

void send_events_to(EventSink sink, const Clock* clock) {
  Reports& r = reports();
  const std::lock_guard lock(r.mutex);
  r.sink = std::move(sink);
  r.clock = clock;
  r.runs.clear();
}

}  // namespace ombrel::platform
