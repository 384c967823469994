// Linux: one pidfd per process in an epoll set. A pidfd becomes readable
// when its process ends, and epoll hands out ready descriptors in the order
// they became ready; one event per call, each armed once, gives the order.
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "exit_order.hpp"

namespace ombrel::supervisor::testing {

struct ExitOrder::Impl {
  int epoll = -1;
  std::vector<int> pidfds;
  std::size_t watched = 0;
};

ExitOrder::ExitOrder(const std::vector<std::uint32_t>& pids) : impl_(std::make_unique<Impl>()) {
  impl_->epoll = ::epoll_create1(EPOLL_CLOEXEC);
  EXPECT_GE(impl_->epoll, 0);
  for (const std::uint32_t pid : pids) {
    const int fd = static_cast<int>(::syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    EXPECT_GE(fd, 0) << "pidfd_open " << pid;
    if (fd < 0) continue;
    impl_->pidfds.push_back(fd);
    epoll_event event{};
    event.events = EPOLLIN | EPOLLONESHOT;
    event.data.u32 = pid;
    EXPECT_EQ(::epoll_ctl(impl_->epoll, EPOLL_CTL_ADD, fd, &event), 0);
    ++impl_->watched;
  }
}

ExitOrder::~ExitOrder() {
  for (const int fd : impl_->pidfds) ::close(fd);
  if (impl_->epoll >= 0) ::close(impl_->epoll);
}

std::vector<std::uint32_t> ExitOrder::order(std::chrono::milliseconds timeout) {
  std::vector<std::uint32_t> ended;
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (ended.size() < impl_->watched) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    epoll_event event{};
    const int n = ::epoll_wait(impl_->epoll, &event, 1,
                               static_cast<int>(std::max<long long>(0, left.count())));
    if (n <= 0) break;
    ended.push_back(event.data.u32);
  }
  return ended;
}

}  // namespace ombrel::supervisor::testing
