#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <iostream>

#include "listener.hpp"

namespace ombrel::testsupport {

std::optional<TcpListener> TcpListener::open(const std::string& address) {
  sockaddr_storage storage{};
  const bool v6 = address.find(':') != std::string::npos;
  socklen_t size = v6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
  const int family = v6 ? AF_INET6 : AF_INET;
  void* host = v6 ? static_cast<void*>(&reinterpret_cast<sockaddr_in6*>(&storage)->sin6_addr)
                  : static_cast<void*>(&reinterpret_cast<sockaddr_in*>(&storage)->sin_addr);
  storage.ss_family = static_cast<sa_family_t>(family);
  if (::inet_pton(family, address.c_str(), host) != 1) {
    ADD_FAILURE() << "not an address: " << address;
    return std::nullopt;
  }
  TcpListener listener;
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    ADD_FAILURE() << "no socket: " << std::strerror(errno);
    return std::nullopt;
  }
  listener.socket = std::shared_ptr<void>(nullptr, [fd](void*) { ::close(fd); });
  auto* a = reinterpret_cast<sockaddr*>(&storage);
  if (::bind(fd, a, size) != 0) {
    std::cout << address << " cannot be bound here\n";
    return std::nullopt;
  }
  if (::listen(fd, 1) != 0 || ::getsockname(fd, a, &size) != 0) {
    ADD_FAILURE() << "no listener at " << address << ": " << std::strerror(errno);
    return std::nullopt;
  }
  listener.port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                           : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
  return listener;
}

bool connect_loopback(std::uint16_t port, const std::string& bytes) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  ::inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
  bool done = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  if (done && !bytes.empty()) {
    done =
        ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }
  ::close(fd);
  return done;
}

bool listener_owners_named() {
  return true;
}

}  // namespace ombrel::testsupport
