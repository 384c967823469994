#pragma once
// Time is injected so that registry ageing, probe windows and restart back-off
// can be tested without sleeping.
#include <chrono>
#include <cstdint>

namespace ombrel {

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall-clock milliseconds since the Unix epoch.
  virtual std::int64_t wall_ms() const = 0;
  // Monotonic time, for restart timing.
  virtual std::chrono::steady_clock::time_point monotonic() const = 0;
};

class SystemClock final : public Clock {
 public:
  std::int64_t wall_ms() const override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }
  std::chrono::steady_clock::time_point monotonic() const override {
    return std::chrono::steady_clock::now();
  }
};

// The process-wide clock used where none is injected.
inline const Clock& system_clock() {
  static const SystemClock clock;
  return clock;
}

}  // namespace ombrel
