#include "outbound.hpp"
#include "overloaded.hpp"

#include <utility>
#include <variant>

namespace ombrel {
namespace {

using nlohmann::json;

bool refused(const Vless& v) {
  if (v.public_key.empty() || v.short_id.empty()) return true;
  // Byte comparison on purpose: "TCP" or "tcp " would reach the core as an
  // unknown transport and fail only once the core is running.
  return v.network != "xhttp" && v.network != "grpc" && v.network != "tcp";
}
bool refused(const Trojan& t) {
  return t.password.empty();
}
bool refused(const Hysteria2& h) {
  return h.password.empty();
}

bool refused(const ServerNode& node) {
  return std::visit([](const auto& p) { return refused(p); }, node.protocol);
}

json keepalive_sockopt() {
  json o = json::object();
  o["tcpKeepAliveIdle"] = 60;
  o["tcpKeepAliveInterval"] = 15;
  return o;
}

json vless_outbound(const ServerNode& node, const Vless& v, std::string_view tag) {
  json user = json::object();
  user["encryption"] = "none";
  if (!v.flow.empty()) user["flow"] = v.flow;
  user["id"] = v.uuid;

  json server = json::object();
  server["address"] = node.address;
  server["port"] = node.port;
  server["users"] = json::array({user});

  json reality = json::object();
  reality["fingerprint"] = v.fingerprint;
  reality["publicKey"] = v.public_key;
  reality["serverName"] = v.sni;
  reality["shortId"] = v.short_id;

  json stream = json::object();
  stream["network"] = v.network;
  stream["realitySettings"] = std::move(reality);
  stream["security"] = "reality";
  stream["sockopt"] = keepalive_sockopt();
  if (v.network == "grpc") {
    json grpc = json::object();
    grpc["authority"] = v.authority;
    grpc["serviceName"] = v.service_name;
    stream["grpcSettings"] = std::move(grpc);
  } else if (v.network == "xhttp") {
    json xhttp = json::object();
    xhttp["host"] = v.host;
    xhttp["path"] = v.path;
    stream["xhttpSettings"] = std::move(xhttp);
  }

  json out = json::object();
  out["protocol"] = "vless";
  out["settings"] = json::object({{"vnext", json::array({std::move(server)})}});
  out["streamSettings"] = std::move(stream);
  out["tag"] = tag;
  return out;
}

json trojan_outbound(const ServerNode& node, const Trojan& t, std::string_view tag) {
  json server = json::object();
  server["address"] = node.address;
  server["password"] = t.password;
  server["port"] = node.port;

  json stream = json::object();
  stream["network"] = "tcp";
  stream["security"] = "tls";
  stream["sockopt"] = keepalive_sockopt();
  stream["tlsSettings"] = json::object({{"serverName", t.sni}});

  json out = json::object();
  out["protocol"] = "trojan";
  out["settings"] = json::object({{"servers", json::array({std::move(server)})}});
  out["streamSettings"] = std::move(stream);
  out["tag"] = tag;
  return out;
}

json hysteria2_outbound(const ServerNode& node, const Hysteria2& h, std::string_view tag) {
  json settings = json::object();
  settings["address"] = node.address;
  settings["port"] = node.port;
  settings["version"] = 2;

  json tls = json::object();
  if (h.insecure) tls["allowInsecure"] = true;
  tls["alpn"] = json::array({"h3"});
  tls["serverName"] = h.sni;

  json quic = json::object();
  quic["keepAlivePeriod"] = 10;
  quic["maxIdleTimeout"] = 30;
  json finalmask = json::object();
  finalmask["quicParams"] = std::move(quic);
  if (!h.obfs_password.empty()) {
    json mask = json::object();
    mask["settings"] = json::object({{"password", h.obfs_password}});
    mask["type"] = "salamander";
    finalmask["udp"] = json::array({std::move(mask)});
  }

  json hysteria = json::object();
  hysteria["auth"] = h.password;
  hysteria["version"] = 2;

  // QUIC runs over UDP, so the TCP keep-alive socket options do not apply.
  json stream = json::object();
  stream["finalmask"] = std::move(finalmask);
  stream["hysteriaSettings"] = std::move(hysteria);
  stream["network"] = "hysteria";
  stream["security"] = "tls";
  stream["tlsSettings"] = std::move(tls);

  json out = json::object();
  out["protocol"] = "hysteria";
  out["settings"] = std::move(settings);
  out["streamSettings"] = std::move(stream);
  out["tag"] = tag;
  return out;
}

}  // namespace

std::optional<json> xray_outbound(const ServerNode& node, std::string_view tag) {
  if (refused(node)) return std::nullopt;
  return std::visit(Overloaded{
                        [&](const Vless& v) { return vless_outbound(node, v, tag); },
                        [&](const Trojan& t) { return trojan_outbound(node, t, tag); },
                        [&](const Hysteria2& h) { return hysteria2_outbound(node, h, tag); },
                    },
                    node.protocol);
}

std::vector<std::reference_wrapper<const ServerNode>> usable_nodes(
    std::span<const ServerNode> nodes) {
  // Same verdict as xray_outbound(node, PROBE_TAG) without building the
  // object: selection runs this over every node a request offers.
  std::vector<std::reference_wrapper<const ServerNode>> kept;
  for (const ServerNode& node : nodes) {
    if (!refused(node)) kept.push_back(std::cref(node));
  }
  return kept;
}

}  // namespace ombrel
