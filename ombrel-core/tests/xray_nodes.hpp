#pragma once
// Server nodes for the proxy-core document tests, and the nodes behind the
// golden documents under tests/golden/.
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "node.hpp"

namespace ombrel::testing {

// text + number. Spelled out because g++ 12 at -O3 reports a false
// -Wrestrict overlap for "literal" + std::to_string(n).
inline std::string numbered(std::string text, std::size_t n) {
  text += std::to_string(n);
  return text;
}

inline ServerNode node_of(std::string address, std::uint16_t port, Protocol protocol,
                          std::string remark = "узел") {
  return ServerNode{"id-" + address,   std::move(address),  port,
                    std::move(remark), std::move(protocol), numbered("raw://", port)};
}

inline Vless vless(std::string network) {
  Vless v;
  v.uuid = "0b6f2d35-6c71-4a4c-9a3f-7d2f7c1e9a10";
  v.sni = "www.example.com";
  v.public_key = "Q7mG2WcQkY3vB8nJ0tZr5xH1pL4sD6fA9uE2yK7iO3M";
  v.short_id = "6ba85179e30d4fc2";
  v.fingerprint = "chrome";
  v.network = std::move(network);
  return v;
}

inline Trojan trojan(std::string password = "trojan-secret", std::string sni = "t.example.net") {
  return Trojan{std::move(password), std::move(sni)};
}

inline Hysteria2 hysteria2(bool insecure = false, std::string obfs = "",
                           std::string password = "hy2-secret") {
  return Hysteria2{std::move(password), "h.example.org", insecure, std::move(obfs)};
}

// n usable nodes, the protocols taking turns.
inline std::vector<ServerNode> mixed_nodes(std::size_t n) {
  std::vector<ServerNode> nodes;
  for (std::size_t i = 0; i < n; ++i) {
    const std::string addr = numbered("203.0.113.", i % 250);
    const auto port = static_cast<std::uint16_t>(10000 + i);
    const std::string remark = numbered("node ", i);
    switch (i % 5) {
      case 0:
        nodes.push_back(node_of(addr, port, vless("tcp"), remark));
        break;
      case 1:
        nodes.push_back(node_of(addr, port, vless("grpc"), remark));
        break;
      case 2:
        nodes.push_back(node_of(addr, port, vless("xhttp"), remark));
        break;
      case 3:
        nodes.push_back(node_of(addr, port, trojan(), remark));
        break;
      default:
        nodes.push_back(node_of(addr, port, hysteria2(i % 2 == 0, "obfs"), remark));
        break;
    }
  }
  return nodes;
}

// The keys of a JSON object in written order.
inline std::vector<std::string> keys_of(const nlohmann::json& object) {
  std::vector<std::string> keys;
  for (const auto& [key, value] : object.items()) keys.push_back(key);
  return keys;
}

}  // namespace ombrel::testing
