#include "singbox.hpp"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "ipaddr.hpp"
#include "json_text.hpp"
#include "unicase.hpp"

namespace ombrel {
namespace {

using nlohmann::json;

// A resolver reached by address, so that resolving it needs no DNS of its own.
constexpr std::string_view DOH_ADDRESS = "https://1.1.1.1/dns-query";

json domain_resolver() {
  return {{"server", "dns-proxy"}, {"strategy", "prefer_ipv4"}};
}

std::vector<std::string> direct_process_names(const TunnelRouting& routing) {
  std::vector<std::string> names(DIRECT_PROCESSES.begin(), DIRECT_PROCESSES.end());
  if (routing.only_listed) return names;
  for (const auto& app : routing.bypass_apps) {
    auto name = process_name_of(app);
    if (name.empty() || std::find(names.begin(), names.end(), name) != names.end()) continue;
    names.push_back(std::move(name));
  }
  return names;
}

std::vector<std::string> listed_process_names(const TunnelRouting& routing) {
  std::vector<std::string> names;
  for (const auto& app : routing.bypass_apps) {
    if (auto name = process_name_of(app); !name.empty()) names.push_back(std::move(name));
  }
  return names;
}

std::optional<json> site_rule(const TunnelRouting& routing) {
  json domains = json::array();
  json suffixes = json::array();
  for (const auto& site : routing.sites) {
    if (auto host = site_host(site)) {
      suffixes.push_back("." + *host);
      domains.push_back(std::move(*host));
    }
  }
  if (domains.empty()) return std::nullopt;
  return json{{"domain", std::move(domains)},
              {"domain_suffix", std::move(suffixes)},
              {"outbound", routing.only_listed ? "proxy" : "direct"}};
}

json route_rules(const TunnelRouting& routing) {
  json rules = json::array();
  rules.push_back({{"outbound", "direct"}, {"process_name", direct_process_names(routing)}});
  rules.push_back({{"action", "sniff"}});
  rules.push_back({{"action", "hijack-dns"}, {"protocol", "dns"}});
  if (routing.only_listed) {
    if (auto names = listed_process_names(routing); !names.empty()) {
      rules.push_back({{"outbound", "proxy"}, {"process_name", std::move(names)}});
    }
  }
  if (auto sites = site_rule(routing)) rules.push_back(std::move(*sites));
  rules.push_back({{"ip_is_private", true}, {"outbound", "direct"}});
  return rules;
}

[[noreturn]] void serialisation_failed() {
  std::fputs("конфиг сериализуется\n", stderr);
  std::abort();
}

}  // namespace

std::string process_name_of(std::string_view entry) {
  const auto separator = entry.find_last_of("/\\");
  if (separator != std::string_view::npos) entry.remove_prefix(separator + 1);
  return lower_case(trim_white_space(entry));
}

std::optional<std::string> site_host(std::string_view entry) {
  const std::string lowered = lower_case(trim_white_space(entry));
  std::string_view host = lowered;
  if (const auto scheme = host.rfind("://"); scheme != std::string_view::npos) {
    host.remove_prefix(scheme + 3);
  }
  host = host.substr(0, host.find('/'));
  host = host.substr(0, host.find('?'));
  if (const auto at = host.rfind('@'); at != std::string_view::npos) host.remove_prefix(at + 1);
  host = host.substr(0, host.find(':'));
  while (!host.empty() && host.front() == '.') host.remove_prefix(1);
  while (!host.empty() && host.back() == '.') host.remove_suffix(1);
  if (host.find('.') == std::string_view::npos || host.find(' ') != std::string_view::npos) {
    return std::nullopt;
  }
  return std::string(host);
}

std::vector<std::string> exclusion_cidrs(std::span<const std::string> addresses) {
  std::vector<std::string> cidrs;
  for (const auto& address : addresses) {
    const auto ip = parse_ip_address(address);
    if (!ip) continue;
    cidrs.push_back(ip_text(*ip) + (std::holds_alternative<Ipv4>(*ip) ? "/32" : "/128"));
  }
  std::sort(cidrs.begin(), cidrs.end());
  cidrs.erase(std::unique(cidrs.begin(), cidrs.end()), cidrs.end());
  return cidrs;
}

std::string build_singbox_config(std::uint16_t socks_port, const TunnelRouting& routing,
                                 std::span<const std::string> server_addresses) {
  json doc = json::object();
  doc["dns"] = {
      {"servers",
       json::array({{{"address", DOH_ADDRESS}, {"detour", "proxy"}, {"tag", "dns-proxy"}}})}};
  doc["inbounds"] = json::array({{
      {"address", json::array({"172.19.0.1/30"})},
      {"auto_route", true},
      {"interface_name", "Ombrel-tun"},
      {"mtu", 1500},
      {"route_exclude_address", exclusion_cidrs(server_addresses)},
      {"sniff", true},
      {"sniff_override_destination", true},
      {"stack", "mixed"},
      {"strict_route", true},
      {"tag", "tun-in"},
      {"type", "tun"},
  }});
  doc["log"] = {{"level", "info"}, {"timestamp", true}};
  doc["outbounds"] = json::array({
      {
          {"domain_resolver", domain_resolver()},
          {"server", "127.0.0.1"},
          {"server_port", socks_port},
          {"tag", "proxy"},
          {"type", "socks"},
          {"udp_fragment", true},
      },
      {
          {"domain_resolver", domain_resolver()},
          {"tag", "direct"},
          {"type", "direct"},
      },
  });
  doc["route"] = {
      {"auto_detect_interface", true},
      {"final", routing.only_listed ? "direct" : "proxy"},
      {"rules", route_rules(routing)},
  };
  try {
    // Text that is not UTF-8 cannot come from a parsed request; should it
    // reach here all the same, it is written with replacement characters
    // rather than losing the tunnel.
    return json_text(doc, 2);
  } catch (const json::exception&) {
    serialisation_failed();
  }
}

}  // namespace ombrel
