// Who listens on loopback, as the system tells it: the test's own sockets,
// found with their owner.
#include <gtest/gtest.h>

#include "listener.hpp"
#include "platform/channel/ports.hpp"
#include "platform/process/proclist.hpp"

namespace ombrel::platform {
namespace {

TEST(LoopbackListeners, FindsWhoeverTakesConnectionsTo127001) {
  // The IPv6 rows are Linux's, where the IPv6 wildcard and the IPv4-mapped
  // form take IPv4 too.
  const struct {
    const char* address;
    bool takes_loopback;
  } cases[] = {
      {"127.0.0.1", true},        {"0.0.0.0", true},    {"::", true},
      {"::ffff:127.0.0.1", true}, {"127.0.0.2", false}, {"::1", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.address);
    auto listener = testsupport::TcpListener::open(c.address);
    if (!listener) continue;  // skipped: no such address here
    const std::uint16_t ports[] = {listener->port};
    auto found = loopback_listeners(ports);
    ASSERT_TRUE(found) << found.error().to_string();
    std::vector<PortListener> want;
    if (c.takes_loopback) want.push_back({listener->port, current_process_id()});
    if (!want.empty() && !testsupport::listener_owners_named() && found->size() == 1 &&
        !found->front().pid) {
      want.front().pid.reset();
    }
    EXPECT_EQ(*found, want);
  }
  EXPECT_TRUE(loopback_listeners({}).value().empty());
}

}  // namespace
}  // namespace ombrel::platform
