#pragma once
// The proxy core's configuration document, built from the chosen server
// nodes. Pure: equal inputs give byte-equal text.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "node.hpp"

namespace ombrel {

// Local SOCKS port of the proxy core in proxy-only mode; HTTP is one above.
inline constexpr std::uint16_t PROXY_ONLY_PORT = 10808;
// Local SOCKS port the tunnel core forwards to in tunnel mode.
inline constexpr std::uint16_t TUN_SOCKS_PORT = 10820;

// Probed through every node outbound in the balanced form; answers 204 with
// an empty body.
inline constexpr std::string_view PROBE_URL = "https://www.gstatic.com/generate_204";

// Where the local inbounds listen: SOCKS on 127.0.0.1:port and, when
// with_http, HTTP on 127.0.0.1:port+1.
struct LocalProxy {
  std::uint16_t port = TUN_SOCKS_PORT;
  bool with_http = false;
  friend bool operator==(const LocalProxy&, const LocalProxy&) = default;
};

// proxy_only: SOCKS 10808 and HTTP 10809; otherwise SOCKS 10820 only.
LocalProxy local_proxy_for(bool proxy_only);

struct XrayConfig {
  // The value tree; every object is key-ordered.
  nlohmann::json document;
  // The written form handed to the core: keys in ascending byte order,
  // two-space indentation, non-ASCII as UTF-8, no final newline. Cannot fail;
  // a byte sequence that is not UTF-8 is written as U+FFFD.
  std::string text() const;
};

// The document for `nodes` in their order, or nullopt when none of them can
// be expressed (the caller's "no_usable_nodes"). One usable node gives the
// single form (its outbound tagged "proxy"); two or more the balanced form
// (tags "p0", "p1", ... by position among the usable nodes, a least-load
// balancer and background probing).
std::optional<XrayConfig> build_xray_config(std::span<const ServerNode> nodes,
                                            const LocalProxy& local_proxy);

}  // namespace ombrel
