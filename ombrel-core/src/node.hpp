#pragma once
// A server node as the desktop application sends it in a `connect` request.
// The configuration builders read these; the wire decoding lives with the
// control channel.
#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace ombrel {

struct Vless {
  std::string uuid;
  std::string sni;
  std::string public_key;
  std::string short_id;
  std::string flow;
  std::string fingerprint;
  std::string network;
  std::string service_name;
  std::string authority;
  std::string host;
  std::string path;
  friend bool operator==(const Vless&, const Vless&) = default;
};

struct Trojan {
  std::string password;
  std::string sni;
  friend bool operator==(const Trojan&, const Trojan&) = default;
};

struct Hysteria2 {
  std::string password;
  std::string sni;
  bool insecure = false;
  std::string obfs_password;
  friend bool operator==(const Hysteria2&, const Hysteria2&) = default;
};

using Protocol = std::variant<Vless, Trojan, Hysteria2>;

struct ServerNode {
  std::string id;
  std::string address;
  std::uint16_t port = 0;
  // Display name and, byte for byte, the node's identity in the registry and
  // the log watcher.
  std::string remark;
  Protocol protocol;
  std::string raw;
  friend bool operator==(const ServerNode&, const ServerNode&) = default;
};

using ServerNodes = std::vector<ServerNode>;

}  // namespace ombrel
