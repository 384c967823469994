// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
// clang-format on

#include <algorithm>
#include <vector>

#include "platform/channel/ports.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {

Result<std::vector<PortListener>> loopback_listeners(std::span<const std::uint16_t> ports) {
  std::vector<PortListener> found;
  if (ports.empty()) return found;
  // The table may grow between the size query and the read.
  std::vector<unsigned char> buffer(16 * 1024);
  DWORD size = static_cast<DWORD>(buffer.size());
  DWORD r = ERROR_INSUFFICIENT_BUFFER;
  for (int round = 0; round < 4 && r == ERROR_INSUFFICIENT_BUFFER; ++round) {
    buffer.resize(size);
    r = GetExtendedTcpTable(buffer.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_LISTENER, 0);
  }
  if (r != NO_ERROR) return fail(os_error(r));
  const auto* table = reinterpret_cast<const MIB_TCPTABLE_OWNER_PID*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW_OWNER_PID& row = table->table[i];
    const std::uint32_t address = ntohl(row.dwLocalAddr);
    if (address != INADDR_LOOPBACK && address != INADDR_ANY) continue;
    const auto port = ntohs(static_cast<u_short>(row.dwLocalPort));
    if (std::find(ports.begin(), ports.end(), port) == ports.end()) continue;
    // 0 is no process's id (Wine gives it for every socket).
    std::optional<std::uint32_t> pid;
    if (row.dwOwningPid != 0) pid = static_cast<std::uint32_t>(row.dwOwningPid);
    found.push_back({port, pid});
  }
  return found;
}

}  // namespace ombrel::platform
