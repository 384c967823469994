#pragma once
// The machine's own record of what happened to the service, where an
// administrator looks first: on Windows the Application log, source
// "OmbrelService", each event's text the line the service writes to its own
// log (the executable's message table, event_messages.mc, holds one insert
// per message). The Linux port has no such log: the line is already on
// standard error, and it stays there alone.
#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "base/clock.hpp"
#include "base/error.hpp"

namespace ombrel::platform {

enum class EventKind : std::uint8_t {
  Started,
  Stopped,
  CoresFailed,
  GaveUp,
  UpdateApplied,
  UpdateRefused,
  UnsafeFolder,
  PipeHeld,
  DataFolderNotReady,
  CoreAsService,
};

enum class EventLevel : std::uint8_t { Information, Warning, Error };

struct EventType {
  std::uint16_t id;  // as Event Viewer shows it
  EventLevel level;
};

// The id and level of each kind; the message table carries the same
// (checked when the Windows build compiles).
constexpr EventType event_type(EventKind kind) {
  switch (kind) {
    case EventKind::Started:
      return {1, EventLevel::Information};
    case EventKind::Stopped:
      return {2, EventLevel::Information};
    case EventKind::CoresFailed:
      return {3, EventLevel::Error};
    case EventKind::GaveUp:
      return {4, EventLevel::Error};
    case EventKind::UpdateApplied:
      return {5, EventLevel::Information};
    case EventKind::UpdateRefused:
      return {6, EventLevel::Warning};
    case EventKind::UnsafeFolder:
      return {7, EventLevel::Warning};
    case EventKind::PipeHeld:
      return {8, EventLevel::Error};
    case EventKind::DataFolderNotReady:
      return {9, EventLevel::Error};
    case EventKind::CoreAsService:
      return {10, EventLevel::Warning};
  }
  return {0, EventLevel::Error};
}

// An event is not reported again within a minute of the last one of its
// kind from the same source: the service itself, or one caller (a client of
// the control channel). A client can cause several kinds at will (a refused
// update, which carries its own text, or cores that fail for a port it
// holds), and the Application log is the whole machine's; limited per kind
// alone, a client's event would hide the service's own of that kind, or
// another client's, for the minute. The events of a source and kind that
// were not reported are counted in the next one reported
// (" (пропущено таких событий: N)").
inline constexpr std::chrono::seconds EVENT_REPEAT_AFTER{60};

// Reports `line` (one line, without its line feed) as an event of `kind`,
// unless its source reported one of that kind within EVENT_REPEAT_AFTER.
// The source is the caller of the innermost `EventCaller` alive on this
// thread, else the service. Never fails the caller; before `open_event_log`
// it goes nowhere.
void report_event(EventKind kind, std::string_view line);

// While it lives, the events reported on this thread are the caller's:
// the pipe server holds one while it handles a client's request. `who`
// names the caller ("uid 1000", a SID); it is asked only when an event is
// reported, and an empty name is one unknown caller.
class EventCaller {
 public:
  explicit EventCaller(std::function<std::string()> who);
  EventCaller(const EventCaller&) = delete;
  EventCaller& operator=(const EventCaller&) = delete;
  ~EventCaller();

 private:
  std::function<std::string()> who_;
  EventCaller* outer_;
  friend void report_event(EventKind, std::string_view);
};

// Opens the Application log for source `source`, for the rest of the
// process. Nothing on Linux.
void open_event_log(std::string_view source);

// Tests: reports go to `sink` instead of the system's log, the minute
// measured on `clock`, and every kind counts as never reported. An empty
// sink puts the system's log back.
using EventSink = std::function<void(EventKind kind, std::uint16_t id, std::string_view text)>;
void send_events_to(EventSink sink, const Clock* clock = nullptr);

// `install` and `uninstall`: the source in the Application log, its
// messages in the table of the executable `message_file`. Registering again
// leaves one source with the new settings; removing a source that is not
// there succeeds. Linux: nothing to do, both succeed.
Result<void> register_event_source(std::string_view source, std::string_view message_file);
Result<void> remove_event_source(std::string_view source);

}  // namespace ombrel::platform
