#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <memory>

#include "platform/channel/resolve.hpp"
#include "platform/channel/resolve_entries.hpp"

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
  return resolved_addresses(found);
}

}  // namespace ombrel::platform
