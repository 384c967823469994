#pragma once
// One proxy-core outbound per server node, and the filter that keeps the
// nodes the proxy core can be told about. Node selection and the document
// builder share the filter, so a node that cannot be expressed is never
// chosen and never takes a tag.
#include <functional>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "node.hpp"

namespace ombrel {

// Tag used only to try a node; it never reaches a document.
inline constexpr std::string_view PROBE_TAG = "_probe";

// The node's outbound object tagged `tag`, or nullopt when the node is
// refused. Refusal depends on the node alone, never on the tag:
//   Trojan, Hysteria2: empty password;
//   Vless: empty public_key or short_id, or network other than exactly
//          "xhttp", "grpc" or "tcp".
// Every other field is copied as it stands, empty or not.
std::optional<nlohmann::json> xray_outbound(const ServerNode& node, std::string_view tag);

// The nodes, in input order, for which xray_outbound yields an object.
// The references point into `nodes`.
std::vector<std::reference_wrapper<const ServerNode>> usable_nodes(
    std::span<const ServerNode> nodes);

}  // namespace ombrel
