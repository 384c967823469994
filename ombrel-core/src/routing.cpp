#include "routing.hpp"

#include <string>

namespace ombrel {
namespace {

using nlohmann::json;

template <std::size_t N>
json domain_entries(const std::array<std::string_view, N>& names) {
  json list = json::array();
  for (std::string_view name : names) list.push_back("domain:" + std::string(name));
  return list;
}

json field_rule(const char* match_key, json match, const char* outbound) {
  json rule = json::object();
  rule[match_key] = std::move(match);
  rule["outboundTag"] = outbound;
  rule["type"] = "field";
  return rule;
}

json balancer() {
  json settings = json::object();
  settings["expected"] = 1;
  settings["maxRTT"] = "8s";
  settings["tolerance"] = 0.1;

  json strategy = json::object();
  strategy["settings"] = std::move(settings);
  strategy["type"] = "leastLoad";

  json b = json::object();
  b["selector"] = json::array({"p"});
  b["strategy"] = std::move(strategy);
  b["tag"] = "proxy";
  return b;
}

}  // namespace

json xray_routing(std::size_t usable_count) {
  const bool balanced = usable_count >= 2;

  json cidrs = json::array();
  for (std::string_view cidr : PRIVATE_CIDRS) cidrs.push_back(cidr);

  json rules = json::array();
  rules.push_back(field_rule("domain", domain_entries(AD_DOMAINS), "block"));
  rules.push_back(field_rule("domain", domain_entries(NATIONAL_ZONES), "direct"));
  rules.push_back(field_rule("ip", std::move(cidrs), "direct"));
  if (balanced) {
    json to_balancer = json::object();
    to_balancer["balancerTag"] = "proxy";
    to_balancer["network"] = "tcp,udp";
    to_balancer["type"] = "field";
    rules.push_back(std::move(to_balancer));
  }

  json routing = json::object();
  // Resolve only when no domain rule matched, so the ad and zone rules see
  // names and the private-address rule still catches names that resolve
  // inside the local network.
  routing["domainStrategy"] = "IPIfNonMatch";
  routing["rules"] = std::move(rules);
  if (balanced) routing["balancers"] = json::array({balancer()});
  return routing;
}

}  // namespace ombrel
