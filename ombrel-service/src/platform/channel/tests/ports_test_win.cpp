// Who listens on loopback, as the system's listener table tells it: the
// test's own socket, found with its owner.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on

#include <gtest/gtest.h>

#include "platform/channel/ports.hpp"
#include "platform/process/proclist.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

TEST(LoopbackListeners, FindsWhoeverTakesConnectionsTo127001) {
  WSADATA wsa{};
  ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
  const struct {
    ULONG address;
    bool takes_loopback;
  } cases[] = {{INADDR_LOOPBACK, true}, {INADDR_ANY, true}, {0x7f000002, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(s, INVALID_SOCKET);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(c.address);
    int size = sizeof addr;
    if (bind(s, reinterpret_cast<const sockaddr*>(&addr), size) != 0) {
      closesocket(s);
      continue;  // 127.0.0.2 is not everywhere a local address
    }
    ASSERT_EQ(listen(s, 1), 0);
    ASSERT_EQ(getsockname(s, reinterpret_cast<sockaddr*>(&addr), &size), 0);
    const std::uint16_t ports[] = {ntohs(addr.sin_port)};
    auto found = loopback_listeners(ports);
    closesocket(s);
    ASSERT_TRUE(found) << found.error().to_string();
    if (c.takes_loopback) {
      ASSERT_EQ(found->size(), 1u);
      EXPECT_EQ(found->front().port, ports[0]);
      // Wine's table names no owner.
      if (testsupport::real_windows() || found->front().pid) {
        EXPECT_EQ(found->front().pid, current_process_id());
      }
    } else {
      EXPECT_TRUE(found->empty());
    }
  }
  WSACleanup();
}

}  // namespace
}  // namespace ombrel::platform
