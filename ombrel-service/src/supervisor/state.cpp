#include "supervisor/state.hpp"

#include <algorithm>
#include <exception>
#include <thread>
#include <utility>

#include "base/text.hpp"
#include "platform/host/console.hpp"
#include "platform/host/event_log.hpp"
#include "registry/registry.hpp"

namespace ombrel::supervisor {
namespace {

// Over the exception's own text, when a start ended in an exception rather
// than an error (out of memory, a failing injected starter).
constexpr std::string_view START_ABORTED = "сбой при запуске ядер";
constexpr std::string_view RESTART_FAILED = "ядра не перезапущены: ";
constexpr std::string_view START_FAILED = "ядра не запущены: ";

void reset_counters(ServiceState& s) noexcept {
  s.backoff_step = 0;
  s.restart_attempts = 0;
}

std::int64_t channel_in_use(const RunningCores& cores) noexcept {
  if (!cores.current_channel) return serving::NO_CHANNEL;
  return cores.current_channel->load(std::memory_order_relaxed);
}

// The label of the channel in use, or the display label while none that the
// labels cover has been seen.
const std::string& active_node(const RunningCores& cores) noexcept {
  const std::int64_t channel = channel_in_use(cores);
  if (channel >= 0 && static_cast<std::uint64_t>(channel) < cores.channel_labels.size()) {
    return cores.channel_labels[static_cast<std::size_t>(channel)];
  }
  return cores.display_label;
}

// Whether both cores still run. A tunnel core that cannot be polled is
// given the benefit of the doubt; a proxy core that cannot be polled counts
// as lost.
bool cores_running(RunningCores& cores) noexcept {
  try {
    if (cores.singbox) {
      const auto polled = cores.singbox->try_wait();
      if (polled && polled->has_value()) return false;
    }
    const auto polled = cores.xray.try_wait();
    return polled && !polled->has_value();
  } catch (...) {
    return false;
  }
}

// Drops the cores of `s` if one of them has exited; dropping ends and reaps
// whatever still runs.
void drop_dead_cores(ServiceState& s) noexcept {
  if (s.cores && !cores_running(*s.cores)) s.cores.reset();
}

// A start that throws is a failed start like any other.
Result<RunningCores> start_guarded(const StartCoresFn& start, const CoreLaunch& launch) {
  try {
    return start(launch);
  } catch (const std::exception& e) {
    return fail(Error(e.what()).wrapped(std::string(START_ABORTED)));
  } catch (...) {
    return fail(std::string(START_ABORTED));
  }
}

ViewConnected connected_view(const RunningCores& cores) {
  return ViewConnected{active_node(cores), cores.proxy_port};
}

// One watchdog cycle, entered and left with the state lock held; the lock
// is let go only for the restart delay.
void watchdog_cycle(SharedState& shared, std::unique_lock<std::mutex>& lock,
                    const WatchdogTiming& timing, const MarkSeenFn& mark_seen, const Clock& clock,
                    const std::function<bool()>& keep_running) {
  ServiceState& s = shared.state();
  if (s.cores) {
    RunningCores& cores = *s.cores;
    const std::int64_t channel = channel_in_use(cores);
    if (channel >= 0 && static_cast<std::uint64_t>(channel) < cores.channel_remarks.size()) {
      try {
        mark_seen(cores.channel_remarks[static_cast<std::size_t>(channel)]);
      } catch (...) {
        // The registry is a hint for the next selection; the tunnel goes on.
      }
    }
    if (clock.monotonic() - cores.started_at >= timing.stable_run) {
      reset_counters(s);
      s.last_error.reset();
    }
    if (cores_running(cores)) return;
    s.cores.reset();
  }
  if (!s.desired) return;
  if (s.restart_attempts >= RESTART_LIMIT) {
    s.desired.reset();
    reset_counters(s);
    s.last_error = std::string(GIVE_UP_MESSAGE);
    shared.say(std::string(GIVE_UP_MESSAGE), platform::EventKind::GaveUp);
    return;
  }

  const CoreLaunch launch = *s.desired;
  const auto delay = restart_delay(s.backoff_step, timing.delay_unit);
  ++s.backoff_step;
  lock.unlock();
  std::this_thread::sleep_for(delay);
  lock.lock();
  // A request may have changed what is wanted meanwhile: a disconnect, or a
  // connect that failed, succeeded or asked for other nodes. The old copy
  // must not bring back a connection the user has since replaced; the next
  // cycle deals with whatever is wanted now.
  if (s.cores || !s.desired || *s.desired != launch || !keep_running()) return;
  auto started = start_guarded(shared.start_cores_fn(), launch);
  ++s.restart_attempts;
  if (started) {
    s.cores = std::move(*started);
  } else {
    // Among the reasons: another process took a core's port after the
    // previous start, and the proxy core exited for it; the message names
    // the port and the process.
    s.last_error = started.error().to_string();
    shared.say(std::string(RESTART_FAILED) + *s.last_error, platform::EventKind::CoresFailed);
  }
}

}  // namespace

SharedState::SharedState()
    : SharedState([](const CoreLaunch& launch) { return start_cores(launch); }) {}

SharedState::SharedState(StartCoresFn start) : start_(std::move(start)) {}

void SharedState::say(const std::string& line, std::optional<platform::EventKind> event) const {
  if (say_) {
    say_(line);
  } else {
    platform::write_stderr(escape_controls(line) + "\n");
  }
  if (event) platform::report_event(*event, escape_controls(line));
}

StateView on_connect(SharedState& shared, const CoreLaunch& launch) {
  ServiceState& s = shared.state();
  s.cores.reset();
  reset_counters(s);
  s.last_error.reset();
  s.desired.reset();
  s.desired.emplace(launch);
  auto started = start_guarded(shared.start_cores_fn(), launch);
  if (!started) {
    s.desired.reset();
    s.last_error = started.error().to_string();
    shared.say(std::string(START_FAILED) + *s.last_error, platform::EventKind::CoresFailed);
    return ViewError{*s.last_error};
  }
  s.cores = std::move(*started);
  return connected_view(*s.cores);
}

void on_disconnect(SharedState& shared) {
  ServiceState& s = shared.state();
  s.desired.reset();
  reset_counters(s);
  s.last_error.reset();
  s.cores.reset();
}

StateView on_status(SharedState& shared) {
  ServiceState& s = shared.state();
  drop_dead_cores(s);
  if (s.cores) return connected_view(*s.cores);
  if (s.desired) return ViewConnecting{};
  if (s.last_error) return ViewError{*s.last_error};
  return ViewDisconnected{};
}

void on_service_stop(SharedState& shared) {
  ServiceState& s = shared.state();
  s.desired.reset();
  s.cores.reset();
}

std::chrono::milliseconds restart_delay(std::uint32_t step, std::chrono::milliseconds unit) {
  return unit * (1u << std::min<std::uint32_t>(step, 3));
}

void run_watchdog(SharedState& shared, const WatchdogTiming& timing, const MarkSeenFn& mark_seen,
                  const Clock& clock, const std::function<bool()>& keep_running,
                  const std::function<void()>& after_cycle) {
  while (keep_running()) {
    std::this_thread::sleep_for(timing.tick);
    try {
      {
        auto lock = shared.lock();
        watchdog_cycle(shared, lock, timing, mark_seen, clock, keep_running);
      }
      if (after_cycle) after_cycle();
    } catch (...) {
      // Out of memory in the middle of a cycle: the state is left whole and
      // the next tick tries again.
    }
  }
}

void run_watchdog(SharedState& shared) {
  // The registry's own saver writes every failed mark once due. The one case
  // it misses is a saver that could not be started (no thread to be had when
  // a burst began): the marks would then wait for the next registry call or
  // the stop, and a crash meanwhile would lose more than a second of them.
  // This round's `save_pending` writes them a cycle late instead; with the
  // saver running it finds nothing due.
  run_watchdog(
      shared, WatchdogTiming{},
      [](const std::string& remark) { registry::channel_registry().mark_seen(remark); },
      system_clock(), [] { return true; }, [] { registry::channel_registry().save_pending(); });
}

}  // namespace ombrel::supervisor
