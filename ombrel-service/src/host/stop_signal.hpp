#pragma once
// The stop signal: a one-way channel of empty messages from whoever may ask
// the service to stop (the control handler, a signal thread, `main`) to the
// thread that tears the workers down. When every sending end is gone no stop
// can ever come, so the receiver treats that as a stop too rather than
// waiting forever.
#include <chrono>
#include <memory>
#include <utility>

namespace ombrel::host {

namespace detail {
struct StopChannel;
}

// A sending end; copies are further sending ends of the same channel.
class StopSender {
 public:
  StopSender(const StopSender& other);
  StopSender& operator=(const StopSender& other);
  StopSender(StopSender&& other) noexcept;
  StopSender& operator=(StopSender&& other) noexcept;
  ~StopSender();

  // Sends one message; false when the receiving end is gone.
  bool send() const;

 private:
  friend std::pair<StopSender, class StopReceiver> make_stop_signal();
  explicit StopSender(std::shared_ptr<detail::StopChannel> channel);
  void drop() noexcept;
  std::shared_ptr<detail::StopChannel> channel_;
};

// The receiving end; there is exactly one.
class StopReceiver {
 public:
  StopReceiver(StopReceiver&& other) noexcept = default;
  StopReceiver& operator=(StopReceiver&& other) noexcept;
  StopReceiver(const StopReceiver&) = delete;
  StopReceiver& operator=(const StopReceiver&) = delete;
  ~StopReceiver();

  // Blocks until a message arrives (and takes it) or every sender is gone.
  void wait();
  // The same with a limit; false when the time ran out first.
  bool wait_for(std::chrono::milliseconds timeout);

 private:
  friend std::pair<StopSender, StopReceiver> make_stop_signal();
  explicit StopReceiver(std::shared_ptr<detail::StopChannel> channel);
  void drop() noexcept;
  std::shared_ptr<detail::StopChannel> channel_;
};

std::pair<StopSender, StopReceiver> make_stop_signal();

}  // namespace ombrel::host
