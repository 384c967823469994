#pragma once
// Who listens on the loopback ports the cores are given. The cores take
// traffic of every user on 127.0.0.1: whoever listens there first, under
// any account, would receive it in their place, so a start looks before it
// makes the cores.
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/error.hpp"

namespace ombrel::platform {

struct PortListener {
  std::uint16_t port = 0;
  // The owner of the listening socket; none when the system does not say
  // (Linux: a socket no process of ours can see the descriptors of).
  std::optional<std::uint32_t> pid;
  friend bool operator==(const PortListener&, const PortListener&) = default;
};

// The TCP listeners that take connections made to 127.0.0.1 at any of
// `ports`: bound to 127.0.0.1 itself or to the wildcard address (on Linux
// also the IPv6 wildcard and the IPv4-mapped forms, which take IPv4 there
// too), with the process that owns each. Windows: the system's listener
// table with owning process ids; Linux: the socket's inode from the
// kernel's socket diagnostics (netlink; /proc/net/tcp and tcp6 where they
// are missing), then the processes' descriptors.
Result<std::vector<PortListener>> loopback_listeners(std::span<const std::uint16_t> ports);

}  // namespace ombrel::platform
