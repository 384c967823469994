#include "ipaddr.hpp"

#include <vector>

namespace ombrel {
namespace {

std::optional<Ipv4> parse_ipv4(std::string_view text) {
  Ipv4 out{};
  std::size_t part = 0;
  std::size_t at = 0;
  while (true) {
    std::size_t digits = 0;
    unsigned value = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 4) {
      value = value * 10 + static_cast<unsigned>(text[at] - '0');
      ++digits, ++at;
    }
    if (digits == 0 || digits > 3 || value > 255) return std::nullopt;
    if (digits > 1 && text[at - digits] == '0') return std::nullopt;
    out[part++] = static_cast<std::uint8_t>(value);
    if (part == 4) break;
    if (at >= text.size() || text[at] != '.') return std::nullopt;
    ++at;
  }
  if (at != text.size()) return std::nullopt;
  return out;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::optional<std::uint16_t> parse_group(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  unsigned value = 0;
  for (char c : text) {
    const int digit = hex_value(c);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<unsigned>(digit);
  }
  return static_cast<std::uint16_t>(value);
}

// Groups separated by ':'; the last may be a dotted IPv4 address standing for
// two groups when `ipv4_tail` allows it. Empty text is no group at all.
std::optional<std::vector<std::uint16_t>> parse_groups(std::string_view text, bool ipv4_tail) {
  std::vector<std::uint16_t> groups;
  if (text.empty()) return groups;
  while (true) {
    const auto colon = text.find(':');
    const auto piece = text.substr(0, colon);
    if (colon == std::string_view::npos && ipv4_tail && piece.find('.') != std::string_view::npos) {
      const auto v4 = parse_ipv4(piece);
      if (!v4) return std::nullopt;
      groups.push_back(static_cast<std::uint16_t>(((*v4)[0] << 8) | (*v4)[1]));
      groups.push_back(static_cast<std::uint16_t>(((*v4)[2] << 8) | (*v4)[3]));
      return groups;
    }
    const auto group = parse_group(piece);
    if (!group) return std::nullopt;
    groups.push_back(*group);
    if (colon == std::string_view::npos) return groups;
    text.remove_prefix(colon + 1);
  }
}

std::optional<Ipv6> parse_ipv6(std::string_view text) {
  std::vector<std::uint16_t> groups;
  const auto gap = text.find("::");
  if (gap == std::string_view::npos) {
    auto all = parse_groups(text, true);
    if (!all || all->size() != 8) return std::nullopt;
    groups = std::move(*all);
  } else {
    const auto head = parse_groups(text.substr(0, gap), false);
    const auto tail_text = text.substr(gap + 2);
    if (tail_text.find("::") != std::string_view::npos) return std::nullopt;
    const auto tail = parse_groups(tail_text, true);
    // "::" stands for at least one zero group.
    if (!head || !tail || head->size() + tail->size() > 7) return std::nullopt;
    groups = *head;
    groups.resize(8 - tail->size(), 0);
    groups.insert(groups.end(), tail->begin(), tail->end());
  }
  Ipv6 out{};
  for (std::size_t i = 0; i < 8; ++i) {
    out[2 * i] = static_cast<std::uint8_t>(groups[i] >> 8);
    out[2 * i + 1] = static_cast<std::uint8_t>(groups[i] & 0xFF);
  }
  return out;
}

std::string v4_text(const Ipv4& a) {
  return std::to_string(a[0]) + '.' + std::to_string(a[1]) + '.' + std::to_string(a[2]) + '.' +
         std::to_string(a[3]);
}

std::string v6_text(const Ipv6& a) {
  bool mapped = a[10] == 0xFF && a[11] == 0xFF;
  for (std::size_t i = 0; i < 10; ++i) mapped = mapped && a[i] == 0;
  if (mapped) return "::ffff:" + v4_text({a[12], a[13], a[14], a[15]});

  std::uint16_t groups[8];
  for (std::size_t i = 0; i < 8; ++i)
    groups[i] = static_cast<std::uint16_t>(a[2 * i] << 8 | a[2 * i + 1]);
  std::size_t best_start = 8, best_length = 0;
  for (std::size_t i = 0; i < 8;) {
    if (groups[i] != 0) {
      ++i;
      continue;
    }
    std::size_t j = i;
    while (j < 8 && groups[j] == 0) ++j;
    if (j - i > best_length) best_start = i, best_length = j - i;
    i = j;
  }
  if (best_length < 2) best_start = 8;

  static constexpr char HEX[] = "0123456789abcdef";
  std::string out;
  for (std::size_t i = 0; i < 8; ++i) {
    if (i == best_start) {
      out += "::";
      i += best_length - 1;
      continue;
    }
    if (!out.empty() && out.back() != ':') out += ':';
    bool started = false;
    for (int shift = 12; shift >= 0; shift -= 4) {
      const int digit = (groups[i] >> shift) & 0xF;
      if (digit != 0 || started || shift == 0) {
        out += HEX[digit];
        started = true;
      }
    }
  }
  return out;
}

}  // namespace

std::optional<IpAddress> parse_ip_address(std::string_view text) {
  if (auto v4 = parse_ipv4(text)) return IpAddress{*v4};
  if (auto v6 = parse_ipv6(text)) return IpAddress{*v6};
  return std::nullopt;
}

std::string ip_text(const IpAddress& address) {
  if (const auto* v4 = std::get_if<Ipv4>(&address)) return v4_text(*v4);
  return v6_text(std::get<Ipv6>(address));
}

}  // namespace ombrel
