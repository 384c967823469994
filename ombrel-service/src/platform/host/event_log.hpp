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

// A kind reported within the last minute is not reported again: a client
// can cause several of these at will, and the Application log is the whole
// machine's.
inline constexpr std::chrono::seconds EVENT_REPEAT_AFTER{60};

// Reports `line` (one line, without its line feed) as an event of `kind`,
// unless the kind was reported within EVENT_REPEAT_AFTER. Never fails the
// caller; before `open_event_log` it goes nowhere.
void report_event(EventKind kind, std::string_view line);

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
