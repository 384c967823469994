#pragma once
// IP address literals: strict parsing (no brackets, port, zone or spaces;
// IPv4 octets without leading zeros, so "010.0.0.1" is not read as octal or
// decimal by guess) and the canonical text form.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace ombrel {

using Ipv4 = std::array<std::uint8_t, 4>;
using Ipv6 = std::array<std::uint8_t, 16>;
using IpAddress = std::variant<Ipv4, Ipv6>;

std::optional<IpAddress> parse_ip_address(std::string_view text);

// Dotted decimal for IPv4; RFC 5952 for IPv6 (lower case, no leading zeros,
// the longest run of two or more zero groups shortened to "::", the first of
// equal runs; IPv4-mapped addresses as "::ffff:a.b.c.d").
std::string ip_text(const IpAddress& address);

}  // namespace ombrel
