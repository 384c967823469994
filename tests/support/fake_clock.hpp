#pragma once
// A clock that stands still until a test moves it.
#include <atomic>
#include <chrono>
#include <cstdint>

#include "base/clock.hpp"

namespace ombrel::testsupport {

class FakeClock final : public Clock {
 public:
  explicit FakeClock(std::int64_t wall_ms = 1'700'000'000'000) : wall_ms_(wall_ms) {}

  std::int64_t wall_ms() const override { return wall_ms_.load(); }
  std::chrono::steady_clock::time_point monotonic() const override {
    return std::chrono::steady_clock::time_point(std::chrono::milliseconds(monotonic_ms_.load()));
  }

  void set_wall_ms(std::int64_t ms) { wall_ms_ = ms; }
  // Moves both clocks forward.
  void advance_ms(std::int64_t ms) {
    wall_ms_ += ms;
    monotonic_ms_ += ms;
  }

 private:
  std::atomic<std::int64_t> wall_ms_;
  std::atomic<std::int64_t> monotonic_ms_{0};
};

}  // namespace ombrel::testsupport
