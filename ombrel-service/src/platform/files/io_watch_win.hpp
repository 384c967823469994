#pragma once
// The watcher that cancels a thread's stalled synchronous call (Windows).
// Only `*_win.cpp` files include this header.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/files/io_bound.hpp"
#include "platform/handle_win.hpp"

namespace ombrel::platform {

// Bounds blocking calls on handles opened for synchronous I/O (the control
// pipe, offered files). A stalled call cannot time out by itself; instead
// this watcher's thread cancels it with CancelSynchronousIo once its
// deadline has passed, or at once on a stop request. It keeps cancelling
// until the call has returned, which closes the gap between arming and the
// call actually blocking.
class IoWatch final : public IoWatcher {
  using milliseconds = std::chrono::milliseconds;
  using steady_clock = std::chrono::steady_clock;

 public:
  IoWatch() : worker_([this] { run(); }) {}
  IoWatch(const IoWatch&) = delete;
  IoWatch& operator=(const IoWatch&) = delete;
  ~IoWatch() {
    {
      std::lock_guard lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    worker_.join();
  }

  // Before a blocking call on this thread; no deadline waits for `fire` only.
  void arm(std::optional<steady_clock::time_point> deadline) override {
    const DWORD id = GetCurrentThreadId();
    std::lock_guard lock(mutex_);
    if (!target_ || target_id_ != id) {
      DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), target_.put(),
                      0, FALSE, DUPLICATE_SAME_ACCESS);
      target_id_ = id;
    }
    armed_ = true;
    firing_ = false;
    fired_ = false;
    deadline_ = deadline;
    // The worker looks again by itself at `wakes_at_`; it needs waking only
    // for an earlier deadline. Waking it for every call would cost a thread
    // switch per read and write (the status round trip, under Wine, by a
    // half).
    if (deadline && *deadline < wakes_at_) wake_.notify_all();
  }

  // Cancels the armed call now (a stop request); stays in force until disarm.
  void fire() {
    std::lock_guard lock(mutex_);
    if (!armed_) return;
    firing_ = true;
    wake_.notify_all();
  }

  // After the call; true when it was cancelled (or about to be).
  bool disarm() override {
    std::lock_guard lock(mutex_);
    armed_ = false;
    return fired_;
  }

 private:
  void run() {
    std::unique_lock lock(mutex_);
    while (!quit_) {
      if (!armed_) {
        wakes_at_ = steady_clock::time_point::max();
        wake_.wait(lock);
        continue;
      }
      if (!firing_) {
        if (deadline_ && steady_clock::now() >= *deadline_) {
          firing_ = true;
        } else {
          if (deadline_) {
            wakes_at_ = *deadline_;
            wake_.wait_until(lock, *deadline_);
          } else {
            wakes_at_ = steady_clock::time_point::max();
            wake_.wait(lock);
          }
          continue;
        }
      }
      fired_ = true;
      CancelSynchronousIo(target_.get());
      wakes_at_ = steady_clock::now() + milliseconds(20);
      wake_.wait_until(lock, wakes_at_);
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  UniqueHandle target_;
  DWORD target_id_ = 0;
  bool armed_ = false;
  bool firing_ = false;
  bool fired_ = false;
  bool quit_ = false;
  std::optional<steady_clock::time_point> deadline_;
  // When the worker next looks at the armed call without being woken.
  steady_clock::time_point wakes_at_ = steady_clock::time_point::max();
  std::thread worker_;
};

}  // namespace ombrel::platform
