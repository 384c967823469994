#pragma once
// The tunnel core's document: a TUN inbound that captures the machine's
// traffic, a SOCKS outbound into the proxy core, a direct outbound, and the
// per-application and per-site rules of the connection. Pure: equal inputs
// give byte-equal documents.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ombrel {

// Processes that never enter the tunnel: the cores themselves and the service.
inline constexpr std::array<std::string_view, 6> DIRECT_PROCESSES = {
    "xray.exe", "sing-box.exe", "ombrel-service.exe", "xray", "sing-box", "ombrel-service"};

// The user's routing choices of a connection.
struct TunnelRouting {
  // Executable paths or bare file names, in the order received.
  std::vector<std::string> bypass_apps;
  // Host names or URLs, in the order received.
  std::vector<std::string> sites;
  // false: the listed apps and sites bypass the tunnel, everything else is
  // proxied; true: only they are proxied, everything else goes direct.
  bool only_listed = false;
};

// The document text: keys of every object in ascending byte order, two-space
// indentation, no final newline. `server_addresses` are the addresses of the
// nodes handed to the proxy core, so that their traffic is kept out of the
// tunnel. Never fails.
std::string build_singbox_config(std::uint16_t socks_port, const TunnelRouting& routing,
                                 std::span<const std::string> server_addresses);

// The file name of an app entry (after the last '/' or '\'), trimmed of white
// space and lower-cased; empty when nothing is left.
std::string process_name_of(std::string_view entry);

// The host named by a site entry (a host name or a URL), lower-cased, or
// nullopt when the entry names none (no '.' in it, or a space).
std::optional<std::string> site_host(std::string_view entry);

// "a.b.c.d/32" and RFC 5952 "x::y/128" for the addresses that are IP
// literals (host names are left out), sorted by bytes, without duplicates.
std::vector<std::string> exclusion_cidrs(std::span<const std::string> addresses);

}  // namespace ombrel
