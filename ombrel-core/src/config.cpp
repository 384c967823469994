#include "config.hpp"

#include <cstddef>
#include <utility>
#include <vector>

#include "json_text.hpp"
#include "outbound.hpp"
#include "routing.hpp"

namespace ombrel {
namespace {

using nlohmann::json;

json sniffing() {
  json s = json::object();
  s["destOverride"] = json::array({"http", "tls"});
  s["enabled"] = true;
  return s;
}

json inbounds(const LocalProxy& local) {
  json socks = json::object();
  socks["listen"] = "127.0.0.1";
  socks["port"] = local.port;
  socks["protocol"] = "socks";
  socks["settings"] = json::object({{"auth", "noauth"}, {"udp", true}});
  socks["sniffing"] = sniffing();
  socks["tag"] = "socks-in";

  json list = json::array({std::move(socks)});
  if (local.with_http) {
    json http = json::object();
    http["listen"] = "127.0.0.1";
    // Widened so that port 65535 cannot wrap round to 0, which the core
    // would take as "any free port".
    http["port"] = static_cast<std::uint32_t>(local.port) + 1;
    http["protocol"] = "http";
    http["sniffing"] = sniffing();
    http["tag"] = "http-in";
    list.push_back(std::move(http));
  }
  return list;
}

json fixed_outbound(const char* protocol, const char* tag) {
  json o = json::object();
  o["protocol"] = protocol;
  o["tag"] = tag;
  return o;
}

json burst_observatory() {
  json ping = json::object();
  ping["destination"] = PROBE_URL;
  ping["interval"] = "30s";
  ping["sampling"] = 4;
  ping["timeout"] = "8s";

  json o = json::object();
  o["pingConfig"] = std::move(ping);
  o["subjectSelector"] = json::array({"p"});
  return o;
}

json policy() {
  json system = json::object();
  system["statsOutboundDownlink"] = true;
  system["statsOutboundUplink"] = true;
  return json::object({{"system", std::move(system)}});
}

}  // namespace

LocalProxy local_proxy_for(bool proxy_only) {
  if (proxy_only) return LocalProxy{PROXY_ONLY_PORT, true};
  return LocalProxy{TUN_SOCKS_PORT, false};
}

std::string XrayConfig::text() const {
  // Replacing bad UTF-8 instead of throwing keeps writing infallible; text
  // decoded from the wire is valid UTF-8 already and passes unchanged.
  return json_text(document, 2);
}

std::optional<XrayConfig> build_xray_config(std::span<const ServerNode> nodes,
                                            const LocalProxy& local_proxy) {
  const auto usable = usable_nodes(nodes);
  if (usable.empty()) return std::nullopt;
  const bool balanced = usable.size() >= 2;

  json outbounds = json::array();
  for (std::size_t i = 0; i < usable.size(); ++i) {
    // Appended rather than "p" + to_string(i): g++ 12 at -O3 reports a false
    // -Wrestrict overlap for the operator+ form.
    std::string tag = balanced ? std::string("p").append(std::to_string(i)) : "proxy";
    auto outbound = xray_outbound(usable[i].get(), tag);
    if (!outbound) return std::nullopt;
    outbounds.push_back(std::move(*outbound));
  }
  outbounds.push_back(fixed_outbound("freedom", "direct"));
  outbounds.push_back(fixed_outbound("blackhole", "block"));

  json doc = json::object();
  doc["log"] = json::object({{"loglevel", "warning"}});
  doc["dns"] = json::object({{"servers", json::array({"1.1.1.1", "8.8.8.8"})}});
  doc["inbounds"] = inbounds(local_proxy);
  if (balanced) {
    doc["stats"] = json::object();
    doc["policy"] = policy();
    doc["burstObservatory"] = burst_observatory();
  }
  doc["outbounds"] = std::move(outbounds);
  doc["routing"] = xray_routing(usable.size());
  return XrayConfig{std::move(doc)};
}

}  // namespace ombrel
