#include "platform/files/io_bound.hpp"

namespace ombrel::platform {

namespace {

thread_local BoundedIo* current_scope = nullptr;

}  // namespace

BoundedIo::BoundedIo(IoWatcher& watcher, std::chrono::milliseconds stall,
                     std::chrono::steady_clock::time_point deadline)
    : watcher_(watcher), stall_(stall), deadline_(deadline), outer_(current_scope) {
  current_scope = this;
}

BoundedIo::~BoundedIo() {
  current_scope = outer_;
}

std::chrono::milliseconds BoundedIo::bound_span() const {
  if (outcome_ != Ran::PastDeadline) return stall_;
  return std::chrono::round<std::chrono::milliseconds>(deadline_ - began_);
}

std::string span_text(std::chrono::milliseconds span) {
  const auto ms = span.count();
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " с";
  return std::to_string(ms) + " мс";
}

std::string unanswered_text(std::string_view path, std::chrono::milliseconds span) {
  return std::string(path) + " не ответил за " + span_text(span);
}

BoundedCall::BoundedCall() : scope_(current_scope) {
  if (scope_ == nullptr) return;
  start_ = std::chrono::steady_clock::now();
  auto at = start_ + scope_->stall_;
  deadline_first_ = scope_->deadline_ <= at;
  if (deadline_first_) at = scope_->deadline_;
  // A scope that has run into a bound lets no further call through.
  if (scope_->outcome_ != BoundedIo::Ran::InTime) at = start_;
  scope_->watcher_.arm(at);
}

BoundedCall::~BoundedCall() {
  if (scope_ == nullptr) return;
  const bool cancelled = scope_->watcher_.disarm();
  if (scope_->outcome_ != BoundedIo::Ran::InTime) return;
  const auto end = std::chrono::steady_clock::now();
  if (cancelled) {
    scope_->outcome_ = deadline_first_ ? BoundedIo::Ran::PastDeadline : BoundedIo::Ran::Stalled;
  } else if (end >= scope_->deadline_) {
    scope_->outcome_ = BoundedIo::Ran::PastDeadline;
  } else if (end - start_ >= scope_->stall_) {
    scope_->outcome_ = BoundedIo::Ran::Stalled;
  }
}

}  // namespace ombrel::platform
