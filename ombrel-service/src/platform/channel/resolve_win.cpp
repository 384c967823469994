#include <winsock2.h>
// After winsock2.h:
#include <ws2tcpip.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "base/text.hpp"
#include "platform/channel/resolve.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {
namespace {

// Winsock must be started once per process before the first lookup; it is
// never cleaned up, the lookups may come until the process ends.
const Result<void>& winsock_started() {
  static const Result<void> started = []() -> Result<void> {
    WSADATA data;
    const int rc = ::WSAStartup(MAKEWORD(2, 2), &data);
    if (rc != 0) return fail(os_error(static_cast<unsigned long>(rc)));
    return {};
  }();
  return started;
}

}  // namespace

Result<std::vector<ResolvedAddress>> resolve_host(const std::string& host) {
  if (const auto& started = winsock_started(); !started) return fail(started.error());
  const std::u16string wide16 = utf8_to_utf16(host);
  const std::wstring wide(wide16.begin(), wide16.end());

  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  // One entry per address rather than one per socket kind.
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* found = nullptr;
  const int rc = ::GetAddrInfoW(wide.c_str(), nullptr, &hints, &found);
  if (rc != 0) return fail(os_error(static_cast<unsigned long>(rc)));
  const std::unique_ptr<ADDRINFOW, decltype(&::FreeAddrInfoW)> owner(found, &::FreeAddrInfoW);

  std::vector<ResolvedAddress> out;
  for (const ADDRINFOW* a = found; a != nullptr; a = a->ai_next) {
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
