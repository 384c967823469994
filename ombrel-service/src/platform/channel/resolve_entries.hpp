#pragma once
// What both systems' lookups share: their resolvers' entries differ only in
// type. Included after the system's socket headers, by resolve_*.cpp only.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/channel/resolve.hpp"

namespace ombrel::platform {

// The addresses of a resolver's list of entries (`addrinfo`, `ADDRINFOW`),
// in its order, each once.
template <typename Entry>
std::vector<ResolvedAddress> resolved_addresses(const Entry* found) {
  std::vector<ResolvedAddress> out;
  for (const Entry* a = found; a != nullptr; a = a->ai_next) {
    ResolvedAddress r;
    if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(a->ai_addr);
      std::memcpy(r.bytes.data(), &in->sin_addr, 4);
    } else if (a->ai_family == AF_INET6 && a->ai_addrlen >= sizeof(sockaddr_in6)) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr);
      r.v6 = true;
      std::memcpy(r.bytes.data(), &in6->sin6_addr, 16);
    } else {
      continue;
    }
    if (std::find(out.begin(), out.end(), r) == out.end()) out.push_back(r);
  }
  return out;
}

}  // namespace ombrel::platform
