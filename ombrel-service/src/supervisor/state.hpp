#pragma once
// The one record behind the state lock: what the user asked for, what runs,
// and the watchdog that brings lost cores back with growing delays.
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "base/clock.hpp"
#include "base/error.hpp"
#include "platform/host/event_log.hpp"
#include "supervisor/launch.hpp"

namespace ombrel::supervisor {

inline constexpr std::string_view GIVE_UP_MESSAGE =
    "Не удалось поднять туннель. Проверьте, не занят ли сетевой адаптер другим VPN.";
inline constexpr std::string_view CORE_START_FAILED = "core_start_failed";
inline constexpr std::uint32_t RESTART_LIMIT = 3;

// What a status request (or a successful connect) reports.
struct ViewConnected {
  std::string node;
  std::optional<std::uint16_t> proxy_port;  // the handle's port, as stored
  friend bool operator==(const ViewConnected&, const ViewConnected&) = default;
};
struct ViewConnecting {
  friend bool operator==(const ViewConnecting&, const ViewConnecting&) = default;
};
struct ViewError {
  std::string message;  // code is always CORE_START_FAILED
  friend bool operator==(const ViewError&, const ViewError&) = default;
};
struct ViewDisconnected {
  friend bool operator==(const ViewDisconnected&, const ViewDisconnected&) = default;
};
using StateView = std::variant<ViewConnected, ViewConnecting, ViewError, ViewDisconnected>;

struct ServiceState {
  std::optional<RunningCores> cores;
  std::optional<CoreLaunch> desired;
  std::optional<std::string> last_error;
  std::uint32_t backoff_step = 0;
  std::uint32_t restart_attempts = 0;
};

// Starting cores, injectable so that the state logic is tested without
// processes.
using StartCoresFn = std::function<Result<RunningCores>(const CoreLaunch&)>;
// Where the watchdog says what it could not do; standard error (and with it
// the service's log) unless set.
using SayFn = std::function<void(const std::string& line)>;

// The service state together with its lock, shared by the pipe server, the
// watchdog and the service main.
class SharedState {
 public:
  SharedState();  // real cores in the service's folders
  explicit SharedState(StartCoresFn start);

  // Takes the state lock. No exception escapes a locked region of ours, so
  // the lock is never left held and the state stays usable.
  std::unique_lock<std::mutex> lock() { return std::unique_lock<std::mutex>(mutex_); }
  ServiceState& state() { return state_; }  // only with the lock held
  const StartCoresFn& start_cores_fn() const { return start_; }
  void set_diagnostics(SayFn say) { say_ = std::move(say); }
  // The line, and where it tells of an event, the event (at most once a
  // minute for each kind, platform/host/event_log.hpp).
  void say(const std::string& line, std::optional<platform::EventKind> event = std::nullopt) const;

 private:
  std::mutex mutex_;
  ServiceState state_;
  StartCoresFn start_;
  SayFn say_;
};

// Each of these is called with the state lock held.
// Connected on success (node = display label); ViewError on a failed start.
StateView on_connect(SharedState& shared, const CoreLaunch& launch);
void on_disconnect(SharedState& shared);
StateView on_status(SharedState& shared);
void on_service_stop(SharedState& shared);

// Timing of the watchdog, injectable so that tests run fast.
struct WatchdogTiming {
  std::chrono::milliseconds tick{1000};
  std::chrono::milliseconds stable_run{30000};
  // Delay before restart n (n = backoff step): 2^min(n,3) units.
  std::chrono::milliseconds delay_unit{1000};
};

// Marks the channel in use as seen; by default the process-wide registry.
using MarkSeenFn = std::function<void(const std::string& remark)>;

// The wait before a restart at back-off step `step`: 2^min(step,3) units.
std::chrono::milliseconds restart_delay(std::uint32_t step, std::chrono::milliseconds unit);

// The watchdog thread's body: runs until `keep_running` returns false
// (never, in the service). Takes the state lock itself, once per cycle;
// `after_cycle`, when given, runs after each cycle without it.
void run_watchdog(SharedState& shared, const WatchdogTiming& timing, const MarkSeenFn& mark_seen,
                  const Clock& clock, const std::function<bool()>& keep_running,
                  const std::function<void()>& after_cycle = {});

// The service's watchdog: real timing, the process-wide registry (whose
// waiting failed marks it also saves once they are due), the system clock;
// never returns.
void run_watchdog(SharedState& shared);

}  // namespace ombrel::supervisor
