#pragma once
// The watchdog on a thread of its own for the length of a test.
#include <atomic>
#include <string>
#include <thread>

#include "supervisor/state.hpp"

namespace ombrel::supervisor::testing {

class Watchdog {
 public:
  Watchdog(
      SharedState& shared, WatchdogTiming timing, const Clock& clock = system_clock(),
      MarkSeenFn mark_seen = [](const std::string&) {})
      : thread_([this, &shared, timing, &clock, mark_seen] {
          run_watchdog(shared, timing, mark_seen, clock, [this] { return running_.load(); });
        }) {}
  ~Watchdog() {
    running_ = false;
    thread_.join();
  }

 private:
  std::atomic<bool> running_{true};
  std::thread thread_;
};

}  // namespace ombrel::supervisor::testing
