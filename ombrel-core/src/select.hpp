#pragma once
// Which of a connection's nodes the proxy core is given: nodes that failed
// lately are set aside while others remain, nodes seen working lately are
// preferred, and the connect counter spreads successive connections over the
// rest.
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "node.hpp"

namespace ombrel {

inline constexpr std::size_t MAX_NODES = 12;
// Most recently seen nodes taken when there are more candidates than MAX_NODES.
inline constexpr std::size_t MAX_SEEN_PICKS = 8;
// Most recently failed nodes added back when there are fewer.
inline constexpr std::size_t MAX_FAILED_FALLBACK = 2;

// Copies of the chosen nodes, at most MAX_NODES, in the order they are to be
// tagged. Only usable nodes are chosen, none twice (by position: nodes that
// share a remark are distinct nodes). A node belongs to `recent_seen` or
// `recent_failed` when its remark equals an entry byte for byte; the order of
// those lists does not matter. `connect_counter` is the value of the
// process-wide counter taken for this connection (0 for the first).
ServerNodes select_nodes(std::span<const ServerNode> nodes, std::uint64_t connect_counter,
                         std::span<const std::string> recent_seen,
                         std::span<const std::string> recent_failed);

}  // namespace ombrel
