// A TCP socket on 127.0.0.1 for the tests and benchmarks that carry pages
// through a real core (Linux only): one copy, so that a bound that keeps a
// silent core from hanging them is set in one place.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

namespace ombrel::testsupport {

class LoopbackSocket {
 public:
  explicit LoopbackSocket(int fd = -1) : fd_(fd) {}
  LoopbackSocket(LoopbackSocket&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  LoopbackSocket& operator=(LoopbackSocket&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  ~LoopbackSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }
  bool send_all(std::string_view bytes) const {
    for (ssize_t n; !bytes.empty(); bytes.remove_prefix(static_cast<std::size_t>(n))) {
      if ((n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) return false;
    }
    return true;
  }
  // Up to `count` bytes, fewer only at the end of the stream or on a failure.
  std::string receive(std::size_t count = SIZE_MAX) const {
    std::string got;
    char buf[4096];
    for (ssize_t n; got.size() < count; got.append(buf, static_cast<std::size_t>(n))) {
      if ((n = ::recv(fd_, buf, std::min(sizeof buf, count - got.size()), 0)) <= 0) break;
    }
    return got;
  }
  std::uint16_t port() const {
    sockaddr_in addr{};
    socklen_t size = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &size);
    return ntohs(addr.sin_port);
  }

 private:
  int fd_;
};

// Connected to 127.0.0.1:`port`, or listening on a free port when `port` is
// 0; every read and write bounded by `bound_seconds`. An invalid socket when
// it cannot be had.
inline LoopbackSocket loopback_socket(std::uint16_t port, long bound_seconds, int backlog = 16) {
  LoopbackSocket s(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  const timeval bound{bound_seconds, 0};
  ::setsockopt(s.fd(), SOL_SOCKET, SO_RCVTIMEO, &bound, sizeof bound);
  ::setsockopt(s.fd(), SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const auto* a = reinterpret_cast<const sockaddr*>(&addr);
  if (port != 0) return ::connect(s.fd(), a, sizeof addr) == 0 ? std::move(s) : LoopbackSocket();
  if (::bind(s.fd(), a, sizeof addr) != 0 || ::listen(s.fd(), backlog) != 0)
    return LoopbackSocket();
  return s;
}

}  // namespace ombrel::testsupport
