#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <memory>

#include "platform/channel/resolve.hpp"

namespace ombrel::platform {

Result<std::vector<ResolvedAddress>> resolve_host(const std::string& host) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  // One entry per address rather than one per socket kind.
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
  if (rc != 0) return fail(::gai_strerror(rc));
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);

  std::vector<ResolvedAddress> out;
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
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
