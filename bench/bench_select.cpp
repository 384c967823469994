// Node selection and the tunnel-core document for large node lists, as a
// connect handles them: the selection first, then the document for the chosen
// nodes' addresses.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "select.hpp"
#include "singbox.hpp"

namespace {

using namespace ombrel;

ServerNodes make_nodes(std::size_t count) {
  ServerNodes nodes;
  for (std::size_t i = 0; i < count; ++i) {
    std::string address = i % 3 == 0   ? "203.0.113." + std::to_string(i % 250)
                          : i % 3 == 1 ? "2001:db8::" + std::to_string(i % 9999)
                                       : "node" + std::to_string(i) + ".example.net";
    Protocol protocol = i % 2 ? Protocol{Trojan{"secret", "t.example.net"}}
                              : Protocol{Hysteria2{"secret", "h.example.org", false, ""}};
    nodes.push_back({"id" + std::to_string(i), std::move(address), 443,
                     "Узел " + std::to_string(i) + " app_desktop", std::move(protocol), ""});
  }
  return nodes;
}

// Every third node seen lately, every seventh failed.
struct History {
  std::vector<std::string> seen;
  std::vector<std::string> failed;
};

History make_history(const ServerNodes& nodes) {
  History history;
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (i % 3 == 0) history.seen.push_back(nodes[i].remark);
    if (i % 7 == 0) history.failed.push_back(nodes[i].remark);
  }
  return history;
}

TunnelRouting make_routing() {
  return {{"C:\\Program Files\\Browser\\Browser.EXE", "Телеграм.exe", "/usr/bin/game",
           "D:/Tools/Tool.exe"},
          {"https://Example.com/path", "shop.example.org", "ПРИМЕР.РФ", "localhost"},
          false};
}

void BM_SelectNodes(benchmark::State& state) {
  const auto nodes = make_nodes(static_cast<std::size_t>(state.range(0)));
  const auto history = make_history(nodes);
  std::uint64_t counter = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(select_nodes(nodes, counter++, history.seen, history.failed));
  }
}
BENCHMARK(BM_SelectNodes)->Arg(60)->Arg(600);

void BM_SelectThenSingbox(benchmark::State& state) {
  const auto nodes = make_nodes(static_cast<std::size_t>(state.range(0)));
  const auto history = make_history(nodes);
  const auto routing = make_routing();
  std::uint64_t counter = 0;
  for (auto _ : state) {
    const auto chosen = select_nodes(nodes, counter++, history.seen, history.failed);
    std::vector<std::string> addresses;
    for (const auto& node : chosen) addresses.push_back(node.address);
    benchmark::DoNotOptimize(build_singbox_config(10820, routing, addresses));
  }
}
BENCHMARK(BM_SelectThenSingbox)->Arg(60)->Arg(600);

// The document with every node's address excluded, as if none were left out.
void BM_SingboxAllAddresses(benchmark::State& state) {
  const auto nodes = make_nodes(static_cast<std::size_t>(state.range(0)));
  std::vector<std::string> addresses;
  for (const auto& node : nodes) addresses.push_back(node.address);
  const auto routing = make_routing();
  for (auto _ : state) {
    benchmark::DoNotOptimize(build_singbox_config(10820, routing, addresses));
  }
}
BENCHMARK(BM_SingboxAllAddresses)->Arg(60)->Arg(600);

}  // namespace
