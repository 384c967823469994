#include "host/stop_signal.hpp"

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace ombrel::host {
namespace detail {

struct StopChannel {
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t pending = 0;
  std::size_t senders = 0;
  bool receiver_alive = true;
};

}  // namespace detail

StopSender::StopSender(std::shared_ptr<detail::StopChannel> channel)
    : channel_(std::move(channel)) {
  std::lock_guard lock(channel_->mutex);
  ++channel_->senders;
}

StopSender::StopSender(const StopSender& other) : StopSender(other.channel_) {}

StopSender& StopSender::operator=(const StopSender& other) {
  if (this != &other) {
    drop();
    channel_ = other.channel_;
    std::lock_guard lock(channel_->mutex);
    ++channel_->senders;
  }
  return *this;
}

StopSender::StopSender(StopSender&& other) noexcept : channel_(std::move(other.channel_)) {}

StopSender& StopSender::operator=(StopSender&& other) noexcept {
  if (this != &other) {
    drop();
    channel_ = std::move(other.channel_);
  }
  return *this;
}

StopSender::~StopSender() {
  drop();
}

void StopSender::drop() noexcept {
  if (!channel_) return;
  {
    std::lock_guard lock(channel_->mutex);
    --channel_->senders;
  }
  channel_->changed.notify_all();
  channel_.reset();
}

bool StopSender::send() const {
  if (!channel_) return false;
  {
    std::lock_guard lock(channel_->mutex);
    if (!channel_->receiver_alive) return false;
    ++channel_->pending;
  }
  channel_->changed.notify_all();
  return true;
}

StopReceiver::StopReceiver(std::shared_ptr<detail::StopChannel> channel)
    : channel_(std::move(channel)) {}

StopReceiver& StopReceiver::operator=(StopReceiver&& other) noexcept {
  if (this != &other) {
    drop();
    channel_ = std::move(other.channel_);
  }
  return *this;
}

StopReceiver::~StopReceiver() {
  drop();
}

void StopReceiver::drop() noexcept {
  if (!channel_) return;
  // Held here so that the mutex outlives the lock even when this was the last owner.
  const std::shared_ptr<detail::StopChannel> channel = std::move(channel_);
  std::lock_guard lock(channel->mutex);
  channel->receiver_alive = false;
}

void StopReceiver::wait() {
  std::unique_lock lock(channel_->mutex);
  channel_->changed.wait(lock, [&] { return channel_->pending > 0 || channel_->senders == 0; });
  if (channel_->pending > 0) --channel_->pending;
}

bool StopReceiver::wait_for(std::chrono::milliseconds timeout) {
  std::unique_lock lock(channel_->mutex);
  if (!channel_->changed.wait_for(
          lock, timeout, [&] { return channel_->pending > 0 || channel_->senders == 0; })) {
    return false;
  }
  if (channel_->pending > 0) --channel_->pending;
  return true;
}

std::pair<StopSender, StopReceiver> make_stop_signal() {
  auto channel = std::make_shared<detail::StopChannel>();
  return {StopSender(channel), StopReceiver(channel)};
}

}  // namespace ombrel::host
