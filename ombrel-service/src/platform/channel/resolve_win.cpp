#include <winsock2.h>
// After winsock2.h:
#include <ws2tcpip.h>

#include <memory>
#include <string>

#include "base/text.hpp"
#include "platform/channel/resolve.hpp"
#include "platform/channel/resolve_entries.hpp"
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
  return resolved_addresses(found);
}

}  // namespace ombrel::platform
