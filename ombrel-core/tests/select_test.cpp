#include "select.hpp"

#include <algorithm>
#include <set>

#include <gtest/gtest.h>

namespace ombrel {
namespace {

// Appended rather than concatenated: g++ 12 at -O3 warns falsely (-Wrestrict)
// on "literal" + std::string.
std::string name_of(std::size_t i) {
  std::string name = "n";
  name += std::to_string(i);
  return name;
}

// Node i has id "n<i>" and, unless renamed, the remark "n<i>". A Trojan node
// without a password is not usable.
ServerNodes nodes_of(std::size_t count, std::set<std::size_t> unusable = {}) {
  ServerNodes nodes;
  for (std::size_t i = 0; i < count; ++i) {
    const std::string name = name_of(i);
    nodes.push_back({name, "198.51.100." + std::to_string(i % 250), 443, name,
                     Trojan{unusable.contains(i) ? "" : "secret", ""}, ""});
  }
  return nodes;
}

std::vector<std::string> remarks(std::initializer_list<int> positions) {
  std::vector<std::string> out;
  for (int p : positions) out.push_back(name_of(static_cast<std::size_t>(p)));
  return out;
}

std::vector<std::string> ids(const ServerNodes& nodes) {
  std::vector<std::string> out;
  for (const auto& node : nodes) out.push_back(node.id);
  return out;
}

std::vector<std::string> every(int first, int last, int step = 1) {
  std::vector<std::string> out;
  for (int i = first; i <= last; i += step) out.push_back(name_of(static_cast<std::size_t>(i)));
  return out;
}

struct Row {
  const char* what;
  std::size_t count;
  std::set<std::size_t> unusable;
  std::vector<std::string> seen;
  std::vector<std::string> failed;
  std::uint64_t counter;
  std::vector<std::string> chosen;  // ids, in order
};

const std::uint64_t MAX_COUNTER = ~std::uint64_t{0};

TEST(SelectNodes, Table) {
  const Row rows[] = {
      {"nothing offered", 0, {}, {}, {}, 0, {}},
      {"nothing usable", 3, {0, 1, 2}, {}, {}, 0, {}},
      {"few, none failed: all in order", 5, {}, remarks({3}), {}, 7, every(0, 4)},
      {"unusable nodes are passed over", 5, {0, 3}, {}, {}, 0, remarks({1, 2, 4})},
      {"failed ones after the healthy", 5, {}, {}, remarks({3, 1}), 0, remarks({0, 2, 4, 1, 3})},
      {"failed ones rotated", 5, {}, {}, remarks({1, 3}), 1, remarks({0, 2, 4, 3, 1})},
      {"rotation by the largest counter",
       5,
       {},
       {},
       remarks({1, 3}),
       MAX_COUNTER,
       remarks({0, 2, 4, 3, 1})},
      {"at most two failed added back",
       7,
       {},
       {},
       remarks({0, 1, 2, 3}),
       3,
       remarks({4, 5, 6, 3, 0})},
      {"eleven healthy leave room for one failed",
       14,
       {},
       {},
       remarks({2, 5, 9}),
       4,
       remarks({0, 1, 3, 4, 6, 7, 8, 10, 11, 12, 13, 5})},
      {"twelve healthy leave no room", 15, {}, {}, remarks({0, 1, 2}), 0, every(3, 14)},
      {"all failed: all tried again, nothing appended",
       4,
       {},
       {},
       remarks({0, 1, 2, 3}),
       1,
       every(0, 3)},
      {"failed names that match no node change nothing", 3, {}, {}, {"gone", ""}, 0, every(0, 2)},
      {"many, none seen, counter 0: the first twelve", 20, {}, {}, {}, 0, every(0, 11)},
      {"twenty, none seen, any counter: still the first twelve", 20, {}, {}, {}, 7, every(0, 11)},
      {"thirty, even counter: every second from 0", 30, {}, {}, {}, 4, every(0, 22, 2)},
      {"thirty, odd counter: every second from 1", 30, {}, {}, {}, 5, every(1, 23, 2)},
      {"thirty, odd counter near the top", 30, {}, {}, {}, MAX_COUNTER, every(1, 23, 2)},
      {"ten of twenty seen, counter 3",
       20,
       {},
       every(1, 19, 2),
       {},
       3,
       remarks({7, 9, 11, 13, 15, 17, 19, 1, 0, 4, 8, 14})},
      {"all seen: eight picks wrap around the seen list",
       20,
       {},
       every(0, 19),
       {},
       15,
       remarks({15, 16, 17, 18, 19, 0, 1, 2, 3, 6, 9, 12})},
      {"seen and failed: the failure wins",
       14,
       {},
       remarks({0, 1}),
       remarks({0}),
       0,
       remarks({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12})},
      {"many, all failed: the long list over all of them",
       14,
       {},
       remarks({13}),
       every(0, 13),
       0,
       remarks({13, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10})},
      {"unusable nodes take no place in the long list", 16, {0, 1, 2}, {}, {}, 1, every(3, 14)},
  };
  for (const auto& row : rows) {
    const auto nodes = nodes_of(row.count, row.unusable);
    EXPECT_EQ(ids(select_nodes(nodes, row.counter, row.seen, row.failed)), row.chosen) << row.what;
  }
}

TEST(SelectNodes, NodesSharingAFailedRemarkAreSetAsideTogether) {
  auto nodes = nodes_of(4);
  nodes[1].remark = nodes[3].remark = "twin";
  const std::vector<std::string> failed = {"twin"};
  EXPECT_EQ(ids(select_nodes(nodes, 0, {}, failed)), remarks({0, 2, 1, 3}));
  EXPECT_EQ(ids(select_nodes(nodes, 1, {}, failed)), remarks({0, 2, 3, 1}));
  // Chosen by position: the same remark twice is two nodes, each once.
  auto seen_twins = nodes_of(14);
  seen_twins[5].remark = seen_twins[9].remark = "twin";
  const std::vector<std::string> seen = {"twin"};
  const auto chosen = ids(select_nodes(seen_twins, 1, seen, {}));
  ASSERT_EQ(chosen.size(), MAX_NODES);
  EXPECT_EQ(chosen[0], "n9");
  EXPECT_EQ(chosen[1], "n5");
}

// Over many shapes: never more than MAX_NODES, never a node twice, never an
// unusable one, and as many as the rules allow.
TEST(SelectNodes, SizeAndDistinctnessOverASweep) {
  for (std::size_t count = 0; count <= 40; count += 3) {
    for (std::uint64_t counter = 0; counter < 25; ++counter) {
      std::set<std::size_t> unusable;
      std::vector<std::string> seen, failed;
      for (std::size_t i = 0; i < count; ++i) {
        if ((i * 7 + counter) % 11 == 0) unusable.insert(i);
        if ((i + counter) % 3 == 0) seen.push_back(name_of(i));
        if ((i * 5 + counter) % 4 == 0) failed.push_back(name_of(i));
      }
      const auto nodes = nodes_of(count, unusable);
      const auto chosen = ids(select_nodes(nodes, counter, seen, failed));
      const std::set<std::string> distinct(chosen.begin(), chosen.end());
      EXPECT_EQ(distinct.size(), chosen.size());
      std::size_t usable = count - unusable.size(), healthy = 0;
      for (std::size_t i = 0; i < count; ++i) {
        const auto name = name_of(i);
        if (!unusable.contains(i) &&
            std::find(failed.begin(), failed.end(), name) == failed.end()) {
          ++healthy;
        }
        if (unusable.contains(i)) {
          EXPECT_FALSE(distinct.contains(name));
        }
      }
      const std::size_t candidates = healthy ? healthy : usable;
      const std::size_t expected =
          candidates > MAX_NODES
              ? MAX_NODES
              : candidates +
                    std::min({MAX_NODES - candidates, usable - candidates, MAX_FAILED_FALLBACK});
      EXPECT_EQ(chosen.size(), expected) << count << " nodes, counter " << counter;
    }
  }
}

}  // namespace
}  // namespace ombrel
