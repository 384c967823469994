// Cost of building the proxy-core document: the value tree alone and the
// tree plus its written text, for typical and oversized node lists.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "config.hpp"

namespace {

using namespace ombrel;

std::string numbered(std::string text, std::size_t n) {
  text += std::to_string(n);
  return text;
}

std::vector<ServerNode> mixed_nodes(std::size_t n) {
  std::vector<ServerNode> nodes;
  nodes.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    ServerNode node;
    node.id = numbered("id-", i);
    node.address = numbered("203.0.113.", i % 250);
    node.port = static_cast<std::uint16_t>(10000 + i);
    node.remark = numbered("Узел ", i);
    switch (i % 3) {
      case 0: {
        static const char* const networks[] = {"tcp", "grpc", "xhttp"};
        Vless v;
        v.uuid = "0b6f2d35-6c71-4a4c-9a3f-7d2f7c1e9a10";
        v.sni = "www.example.com";
        v.public_key = "Q7mG2WcQkY3vB8nJ0tZr5xH1pL4sD6fA9uE2yK7iO3M";
        v.short_id = "6ba85179e30d4fc2";
        v.flow = (i / 3) % 3 == 0 ? "xtls-rprx-vision" : "";
        v.fingerprint = "chrome";
        v.network = networks[(i / 3) % 3];
        v.service_name = "tunnel";
        v.path = "/загрузка";
        node.protocol = v;
        break;
      }
      case 1:
        node.protocol = Trojan{"trojan-secret", "t.example.net"};
        break;
      default:
        node.protocol = Hysteria2{"hy2-secret", "h.example.org", i % 2 == 0, "obfs"};
        break;
    }
    nodes.push_back(std::move(node));
  }
  return nodes;
}

void per_node(benchmark::State& state, std::size_t nodes) {
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * nodes));
  state.counters["per_node"] =
      benchmark::Counter(static_cast<double>(nodes), benchmark::Counter::kIsIterationInvariantRate |
                                                         benchmark::Counter::kInvert);
}

void BM_BuildDocument(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto nodes = mixed_nodes(n);
  for (auto _ : state) {
    auto cfg = build_xray_config(nodes, local_proxy_for(true));
    benchmark::DoNotOptimize(cfg);
  }
  per_node(state, n);
}

void BM_BuildAndWrite(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const auto nodes = mixed_nodes(n);
  for (auto _ : state) {
    auto text = build_xray_config(nodes, local_proxy_for(true))->text();
    benchmark::DoNotOptimize(text);
  }
  per_node(state, n);
}

BENCHMARK(BM_BuildDocument)->Arg(12)->Arg(60)->Arg(600)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BuildAndWrite)->Arg(12)->Arg(60)->Arg(600)->Unit(benchmark::kMicrosecond);

}  // namespace
