// Who listens on loopback: the test's own sockets, found by their owner.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <iostream>

#include "platform/channel/ports.hpp"
#include "platform/process/proclist.hpp"

namespace ombrel::platform {
namespace {

struct Listener {
  int fd = -1;
  std::uint16_t port = 0;
  ~Listener() {
    if (fd >= 0) ::close(fd);
  }
};

// A listener on a free port at `address` ("127.0.0.1", "0.0.0.0", "::", ...).
void listen_at(const char* address, Listener& out) {
  sockaddr_storage storage{};
  socklen_t size = 0;
  const bool v6 = std::strchr(address, ':') != nullptr;
  if (v6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&storage);
    a->sin6_family = AF_INET6;
    ASSERT_EQ(::inet_pton(AF_INET6, address, &a->sin6_addr), 1);
    size = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&storage);
    a->sin_family = AF_INET;
    ASSERT_EQ(::inet_pton(AF_INET, address, &a->sin_addr), 1);
    size = sizeof *a;
  }
  out.fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(out.fd, 0);
  const auto* a = reinterpret_cast<const sockaddr*>(&storage);
  if (::bind(out.fd, a, size) != 0) {
    std::cout << address << " cannot be bound here\n";
    return;
  }
  ASSERT_EQ(::listen(out.fd, 1), 0);
  ASSERT_EQ(::getsockname(out.fd, reinterpret_cast<sockaddr*>(&storage), &size), 0);
  out.port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&storage)->sin_port);
}

TEST(LoopbackListeners, FindsWhoeverTakesConnectionsTo127001) {
  const struct {
    const char* address;
    bool takes_loopback;
  } cases[] = {
      {"127.0.0.1", true},        {"0.0.0.0", true},    {"::", true},
      {"::ffff:127.0.0.1", true}, {"127.0.0.2", false}, {"::1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    Listener listener;
    listen_at(c.address, listener);
    if (listener.port == 0) continue;  // skipped: no such address here
    const std::uint16_t ports[] = {listener.port};
    auto found = loopback_listeners(ports);
    ASSERT_TRUE(found) << found.error().to_string();
    if (c.takes_loopback) {
      EXPECT_EQ(*found, (std::vector<PortListener>{{listener.port, current_process_id()}}));
    } else {
      EXPECT_TRUE(found->empty());
    }
  }
  EXPECT_TRUE(loopback_listeners({}).value().empty());
}

}  // namespace
}  // namespace ombrel::platform
