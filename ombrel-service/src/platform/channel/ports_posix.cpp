#include <dirent.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "platform/channel/ports.hpp"
#include "platform/files/files.hpp"
#include "platform/oserror.hpp"

namespace ombrel::platform {
namespace {

// NLMSG_OK and NLMSG_NEXT compare a signed length with the header's unsigned
// one, which clang's sign-compare warning refuses.
bool message_fits(const nlmsghdr* h, std::size_t left) {
  return left >= sizeof(nlmsghdr) && h->nlmsg_len >= sizeof(nlmsghdr) && h->nlmsg_len <= left;
}

nlmsghdr* next_message(nlmsghdr* h, std::size_t& left) {
  const std::size_t step = NLMSG_ALIGN(h->nlmsg_len);
  left = step < left ? left - step : 0;
  return reinterpret_cast<nlmsghdr*>(reinterpret_cast<char*>(h) + step);
}

// /proc/net/tcp's state column for a listening socket.
constexpr std::string_view LISTEN_STATE = "0A";

std::optional<std::uint32_t> hex_word(std::string_view text) {
  std::uint32_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The kernel prints an address as its 32-bit words in host order; copying
// the words back gives the address's bytes in network order.
template <std::size_t N>
std::optional<std::array<unsigned char, N>> address_bytes(std::string_view hex) {
  if (hex.size() != N * 2) return std::nullopt;
  std::array<unsigned char, N> bytes{};
  for (std::size_t w = 0; w < N / 4; ++w) {
    const auto word = hex_word(hex.substr(w * 8, 8));
    if (!word) return std::nullopt;
    std::memcpy(bytes.data() + w * 4, &*word, 4);
  }
  return bytes;
}

// Addresses at which a listener takes connections made to 127.0.0.1.
bool takes_loopback_v4(const std::array<unsigned char, 4>& a) {
  static constexpr std::array<unsigned char, 4> LOOPBACK{127, 0, 0, 1};
  return a == LOOPBACK || a == std::array<unsigned char, 4>{};
}

bool takes_loopback_v6(const std::array<unsigned char, 16>& a) {
  if (a == std::array<unsigned char, 16>{}) return true;  // "::", dual-stack by default
  static constexpr std::array<unsigned char, 12> MAPPED{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  if (!std::equal(MAPPED.begin(), MAPPED.end(), a.begin())) return false;
  return takes_loopback_v4({a[12], a[13], a[14], a[15]});
}

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && line[i] == ' ') ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ') ++i;
    if (i > start) out.push_back(line.substr(start, i - start));
  }
  return out;
}

// Socket inode -> port, for the listeners of one table.
template <std::size_t N>
Result<void> scan_table(const char* path, std::span<const std::uint16_t> ports,
                        std::map<std::string, std::uint16_t>& inodes) {
  auto text = read_file(path);
  if (!text) {
    // A kernel without IPv6 has no tcp6 table, and no listener there.
    if (N == 16) return {};
    return fail(std::move(text.error()).wrapped(std::string("не прочитать ") + path));
  }
  std::string_view rest = *text;
  rest.remove_prefix(std::min(rest.size(), rest.find('\n') + 1));  // the heading
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    const std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    // sl local_address rem_address st tx:rx tr:when retrnsmt uid timeout inode
    const auto f = fields(line);
    if (f.size() < 10 || f[3] != LISTEN_STATE) continue;
    const std::size_t colon = f[1].find(':');
    if (colon == std::string_view::npos) continue;
    const auto address = address_bytes<N>(f[1].substr(0, colon));
    const auto port = hex_word(f[1].substr(colon + 1));
    if (!address || !port) continue;
    bool takes = false;
    if constexpr (N == 4) {
      takes = takes_loopback_v4(*address);
    } else {
      takes = takes_loopback_v6(*address);
    }
    if (!takes || std::find(ports.begin(), ports.end(), *port) == ports.end()) continue;
    inodes.emplace("socket:[" + std::string(f[9]) + "]", static_cast<std::uint16_t>(*port));
  }
  return {};
}

constexpr int TCP_LISTEN_STATE = 10;

bool takes_loopback(int family, const __be32 (&src)[4]) {
  if (family == AF_INET) {
    std::array<unsigned char, 4> a{};
    std::memcpy(a.data(), src, 4);
    return takes_loopback_v4(a);
  }
  std::array<unsigned char, 16> a{};
  std::memcpy(a.data(), src, 16);
  return takes_loopback_v6(a);
}

// The listeners of one family from the kernel's socket diagnostics, which
// walk only the listening sockets: reading /proc/net/tcp walks every
// connection's hash bucket and took some milliseconds per start even with
// nothing in them. Fails where the diagnostics are not offered.
Result<void> ask_sock_diag(int family, std::span<const std::uint16_t> ports,
                           std::map<std::string, std::uint16_t>& inodes) {
  const int fd = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (fd < 0) return fail(last_os_error());
  const std::unique_ptr<int, void (*)(int*)> owned(new int(fd), [](int* p) {
    ::close(*p);
    delete p;
  });
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } ask{};
  ask.header.nlmsg_len = sizeof ask;
  ask.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  ask.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  ask.request.sdiag_family = static_cast<__u8>(family);
  ask.request.sdiag_protocol = IPPROTO_TCP;
  ask.request.idiag_states = 1u << TCP_LISTEN_STATE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(fd, &ask, sizeof ask, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
    return fail(last_os_error());
  }
  alignas(nlmsghdr) char buf[16384];
  while (true) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(last_os_error());
    }
    std::size_t left = static_cast<std::size_t>(n);
    for (auto* h = reinterpret_cast<nlmsghdr*>(buf); message_fits(h, left);
         h = next_message(h, left)) {
      if (h->nlmsg_type == NLMSG_DONE) return {};
      if (h->nlmsg_type == NLMSG_ERROR) {
        const auto* e = static_cast<const nlmsgerr*>(NLMSG_DATA(h));
        return fail(os_error(static_cast<unsigned long>(-e->error)));
      }
      if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
      const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
      const auto port = static_cast<std::uint16_t>(ntohs(m->id.idiag_sport));
      if (!takes_loopback(m->idiag_family, m->id.idiag_src)) continue;
      if (std::find(ports.begin(), ports.end(), port) == ports.end()) continue;
      inodes.emplace("socket:[" + std::to_string(m->idiag_inode) + "]", port);
    }
    if (n == 0) return {};
  }
}

// Which process holds each socket: the one with a descriptor on it. Only
// walked when a listener was found, which a start normally finds none of.
void find_owners(const std::map<std::string, std::uint16_t>& inodes,
                 std::map<std::string, std::uint32_t>& owners) {
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return;
  char target[64];
  while (const dirent* entry = ::readdir(proc.get())) {
    std::uint32_t pid = 0;
    const std::string_view name = entry->d_name;
    const auto [end, ec] = std::from_chars(name.data(), name.data() + name.size(), pid);
    if (ec != std::errc() || end != name.data() + name.size()) continue;
    const std::string fd_dir = "/proc/" + std::string(name) + "/fd";
    std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir(fd_dir.c_str()), ::closedir);
    if (!fds) continue;  // gone, or another user's and we are not root
    while (const dirent* fd = ::readdir(fds.get())) {
      if (fd->d_name[0] == '.') continue;
      const std::string link = fd_dir + "/" + fd->d_name;
      const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
      if (n <= 0) continue;
      const std::string_view seen(target, static_cast<std::size_t>(n));
      if (!seen.starts_with("socket:[")) continue;
      if (const auto found = inodes.find(std::string(seen)); found != inodes.end()) {
        owners.emplace(found->first, pid);
      }
    }
    if (owners.size() == inodes.size()) return;
  }
}

}  // namespace

Result<std::vector<PortListener>> loopback_listeners(std::span<const std::uint16_t> ports) {
  std::vector<PortListener> found;
  if (ports.empty()) return found;
  std::map<std::string, std::uint16_t> inodes;
  if (!ask_sock_diag(AF_INET, ports, inodes) || !ask_sock_diag(AF_INET6, ports, inodes)) {
    // No socket diagnostics here (a kernel built without them): the tables.
    inodes.clear();
    OMBREL_TRY(scan_table<4>("/proc/net/tcp", ports, inodes));
    OMBREL_TRY(scan_table<16>("/proc/net/tcp6", ports, inodes));
  }
  if (inodes.empty()) return found;
  std::map<std::string, std::uint32_t> owners;
  find_owners(inodes, owners);
  for (const auto& [inode, port] : inodes) {
    PortListener listener{port, std::nullopt};
    if (const auto owner = owners.find(inode); owner != owners.end()) listener.pid = owner->second;
    found.push_back(listener);
  }
  std::sort(found.begin(), found.end(),
            [](const PortListener& a, const PortListener& b) { return a.port < b.port; });
  return found;
}

}  // namespace ombrel::platform
