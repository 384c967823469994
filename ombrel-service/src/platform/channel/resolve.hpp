#pragma once
// Host-name lookup through the system's resolver, for the addresses of
// server nodes: the cores are handed IP addresses where the name can be
// resolved, so that their traffic can be kept out of the tunnel by address.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/error.hpp"

namespace ombrel::platform {

struct ResolvedAddress {
  bool v6 = false;
  // The address in network order: the first four bytes for IPv4.
  std::array<std::uint8_t, 16> bytes{};
  friend bool operator==(const ResolvedAddress&, const ResolvedAddress&) = default;
};

// Every address the resolver gives for `host`, in its order, each once. The
// time it takes is the resolver's. The error is the resolver's own text;
// an empty answer is no error.
Result<std::vector<ResolvedAddress>> resolve_host(const std::string& host);

}  // namespace ombrel::platform
