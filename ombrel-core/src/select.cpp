#include "select.hpp"

#include <algorithm>
#include <functional>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "outbound.hpp"

namespace ombrel {
namespace {

using NodeRefs = std::vector<std::reference_wrapper<const ServerNode>>;

// Membership by remark, byte for byte. Views into texts the caller keeps.
class RemarkSet {
 public:
  explicit RemarkSet(std::span<const std::string> remarks) : set_(remarks.begin(), remarks.end()) {}
  explicit RemarkSet(const NodeRefs& nodes) {
    for (const ServerNode& node : nodes) set_.insert(node.remark);
  }
  bool contains(const ServerNode& node) const { return set_.contains(node.remark); }

 private:
  std::unordered_set<std::string_view> set_;
};

ServerNodes short_list(const NodeRefs& usable, const NodeRefs& candidates,
                       std::uint64_t connect_counter) {
  ServerNodes result(candidates.begin(), candidates.end());
  if (result.size() >= MAX_NODES) return result;

  // Usable nodes that are not candidates by remark: the recently failed ones
  // when the candidates are the healthy nodes, none otherwise.
  const RemarkSet candidate_remarks(candidates);
  NodeRefs others;
  for (const ServerNode& node : usable) {
    if (!candidate_remarks.contains(node)) others.push_back(node);
  }
  if (others.empty()) return result;

  const std::size_t m = others.size();
  const std::size_t start = connect_counter % m;
  const std::size_t k = std::min({MAX_NODES - result.size(), m, MAX_FAILED_FALLBACK});
  for (std::size_t j = 0; j < k; ++j) result.push_back(others[(start + j) % m]);
  return result;
}

ServerNodes long_list(const NodeRefs& candidates, std::uint64_t connect_counter,
                      const RemarkSet& seen) {
  ServerNodes result;
  std::vector<bool> picked(candidates.size(), false);

  std::vector<std::size_t> seen_positions;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (seen.contains(candidates[i])) seen_positions.push_back(i);
  }
  if (!seen_positions.empty()) {
    const std::size_t s = seen_positions.size();
    const std::size_t start = connect_counter % s;
    for (std::size_t j = 0; j < std::min(s, MAX_SEEN_PICKS); ++j) {
      const std::size_t i = seen_positions[(start + j) % s];
      picked[i] = true;
      result.push_back(candidates[i]);
    }
  }

  std::vector<std::size_t> rest;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    if (!picked[i]) rest.push_back(i);
  }
  const std::size_t r = rest.size();
  const std::size_t m = std::min(r, MAX_NODES - result.size());
  if (m == 0) return result;
  // Spread evenly over the rest; the counter shifts the comb within a step.
  const std::size_t step = r / m;
  const std::size_t offset = connect_counter % step;
  for (std::size_t j = 0; j < m; ++j) result.push_back(candidates[rest[offset + j * step]]);
  return result;
}

}  // namespace

ServerNodes select_nodes(std::span<const ServerNode> nodes, std::uint64_t connect_counter,
                         std::span<const std::string> recent_seen,
                         std::span<const std::string> recent_failed) {
  const NodeRefs usable = usable_nodes(nodes);
  const RemarkSet failed(recent_failed);
  NodeRefs healthy;
  for (const ServerNode& node : usable) {
    if (!failed.contains(node)) healthy.push_back(node);
  }
  // When every usable node failed lately, all of them are tried again.
  const NodeRefs& candidates = healthy.empty() ? usable : healthy;
  if (candidates.size() <= MAX_NODES) return short_list(usable, candidates, connect_counter);
  return long_list(candidates, connect_counter, RemarkSet(recent_seen));
}

}  // namespace ombrel
