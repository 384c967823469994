// Connect preparation: `read_and_prepare` of the largest `connect` the
// control channel accepts (one line of 256 KiB less its line feed: mixed
// VLESS, Trojan and Hysteria2 nodes on IP-literal addresses, tunnel mode with
// applications and sites) against a bare DOM parse of the same bytes by the
// same JSON library; and how preparation grows from 60 to 600 nodes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bench_report.hpp"
#include "control/handling.hpp"
#include "control/pipe_server.hpp"
#include "control/protocol.hpp"

namespace {

using namespace ombrel;
using namespace ombrel::control;

ServerNode make_node(std::size_t i) {
  ServerNode node;
  node.id = "node-" + std::to_string(i);
  node.address = i % 4 == 3
                     ? "2001:db8:" + std::to_string(i % 9000) + "::1"
                     : "203.0." + std::to_string(i / 250 % 250) + "." + std::to_string(i % 250);
  node.port = static_cast<std::uint16_t>(443 + i % 3 * 1000);
  node.remark = "Узел " + std::to_string(i) + (i % 2 ? " app_premium" : " app_free");
  switch (i % 3) {
    case 0: {
      static const char* const networks[] = {"tcp", "grpc", "xhttp", "ws"};
      Vless v;
      v.uuid = "5f2c1a8e-3b7d-4e61-9a0c-2d4b6e8f1a3c";
      v.sni = "www.example.com";
      v.public_key = "Zx2m9K7qY4vN1pL8sR3tW6uA0bC5dE9fG2hJ4kM7nQ";
      v.short_id = "6ba85179e30d4fc2";
      v.flow = i % 2 ? "xtls-rprx-vision" : "";
      v.fingerprint = "chrome";
      v.network = networks[i / 3 % 4];
      v.service_name = v.network == "grpc" ? "tunnel" : "";
      v.path = v.network == "xhttp" || v.network == "ws" ? "/загрузка" : "";
      v.host = v.network == "ws" ? "cdn.example.com" : "";
      node.protocol = v;
      node.raw =
          "vless://" + v.uuid + "@" + node.address + ":443?security=reality#n" + std::to_string(i);
      break;
    }
    case 1:
      node.protocol = Trojan{"correct-horse-battery-staple", "de.example.org"};
      node.raw =
          "trojan://correct-horse-battery-staple@" + node.address + ":443#n" + std::to_string(i);
      break;
    default:
      node.protocol = Hysteria2{"hy2-secret-" + std::to_string(i), "h.example.org", i % 2 == 0,
                                i % 4 == 2 ? "obfs-secret" : ""};
      node.raw = "hysteria2://hy2-secret@" + node.address + ":443#n" + std::to_string(i);
      break;
  }
  return node;
}

Connect tunnel_connect() {
  Connect c;
  c.country = "Нидерланды";
  c.bypass_apps = {"C:\\Program Files\\Browser\\Browser.EXE", "Телеграм.exe", "D:\\Games\\game.exe",
                   "C:\\Tools\\Tool.exe"};
  c.sites = {"https://bank.example/login", "shop.example.org", "ПРИМЕР.РФ", "mail.example.com"};
  return c;
}

// The request line (without its line feed) with `count` nodes.
std::string line_with(std::size_t count) {
  Connect c = tunnel_connect();
  for (std::size_t i = 0; i < count; ++i) c.nodes.push_back(make_node(i));
  std::string line = write_request(c);
  line.pop_back();
  return line;
}

// The largest line the channel takes: as many nodes as fit, then the
// country name padded so that the line and its feed fill the limit exactly.
std::string largest_line(std::size_t& nodes) {
  Connect c = tunnel_connect();
  const auto size_of = [](const Connect& r) { return write_request(r).size(); };
  while (true) {
    c.nodes.push_back(make_node(c.nodes.size()));
    if (size_of(c) > MAX_REQUEST_BYTES) {
      c.nodes.pop_back();
      break;
    }
  }
  nodes = c.nodes.size();
  c.country += std::string(MAX_REQUEST_BYTES - size_of(c), ' ');
  std::string line = write_request(c);
  if (line.size() != MAX_REQUEST_BYTES) {
    std::fprintf(stderr, "line of %zu bytes\n", line.size());
    std::exit(1);
  }
  line.pop_back();
  return line;
}

// The registry's answer: every third remark seen lately, every seventh failed.
PrepareDeps deps_for(std::size_t nodes) {
  std::vector<std::string> seen, failed;
  for (std::size_t i = 0; i < nodes; ++i) {
    const std::string remark = make_node(i).remark;
    if (i % 3 == 0) seen.push_back(remark);
    if (i % 7 == 0) failed.push_back(remark);
  }
  static std::atomic<std::uint64_t> counter{0};
  PrepareDeps deps;
  deps.counter = &counter;
  deps.recent_seen = [seen] { return seen; };
  deps.recent_failed = [failed] { return failed; };
  deps.lookup = [](const std::string& host) -> Result<std::vector<IpAddress>> {
    std::fprintf(stderr, "unexpected lookup of %s\n", host.c_str());
    std::exit(1);
  };
  return deps;
}

double time_prepare(const std::string& line, const PrepareDeps& deps) {
  const auto start = std::chrono::steady_clock::now();
  const PreparedAction action = read_and_prepare(line, deps);
  const double t = bench::seconds_since(start);
  if (!std::holds_alternative<StartConnection>(action)) {
    std::fprintf(stderr, "the connect was refused\n");
    std::exit(1);
  }
  return t;
}

double time_parse(const std::string& line) {
  const auto start = std::chrono::steady_clock::now();
  const nlohmann::json tree = nlohmann::json::parse(line);
  const double t = bench::seconds_since(start);
  if (!tree.is_object()) std::exit(1);
  return t;
}

// Medians of `rounds` timings of each, taken in turn.
std::pair<double, double> medians(int rounds, const std::string& line, const PrepareDeps& deps,
                                  bool with_parse) {
  std::vector<double> prepare, parse;
  for (int i = 0; i < rounds; ++i) {
    prepare.push_back(time_prepare(line, deps));
    if (with_parse) parse.push_back(time_parse(line));
  }
  return {bench::quantile(prepare, 0.5), with_parse ? bench::quantile(parse, 0.5) : 0.0};
}

}  // namespace

int main() {
  std::size_t nodes = 0;
  const std::string largest = largest_line(nodes);
  const PrepareDeps deps = deps_for(nodes);
  medians(20, largest, deps, true);  // warm-up
  const auto [prepare, parse] = medians(200, largest, deps, true);
  bench::ratio_row("connect preparation, 256 KiB line (" + std::to_string(nodes) + " nodes)",
                   bench::millis(prepare), prepare, bench::millis(parse) + " (DOM parse)", parse,
                   bench::Bound::AtMost, 3.0);

  const std::string line60 = line_with(60), line600 = line_with(600);
  const PrepareDeps deps60 = deps_for(60), deps600 = deps_for(600);
  medians(50, line60, deps60, false);
  medians(20, line600, deps600, false);
  double t60 = 0, t600 = 0;
  // Interleaved, so that both sizes see the same machine.
  std::vector<double> a, b;
  for (int i = 0; i < 10; ++i) {
    a.push_back(medians(20, line60, deps60, false).first);
    b.push_back(medians(4, line600, deps600, false).first);
  }
  t60 = bench::quantile(a, 0.5);
  t600 = bench::quantile(b, 0.5);
  const double growth = t600 / t60;
  bench::row("connect preparation, growth 60 -> 600 nodes",
             "x" + bench::fixed(growth, 1) + " (" + bench::millis(t60) + " -> " +
                 bench::millis(t600) + ")",
             "x10 (linear)", bench::fixed(growth / 10, 2), "ratio <= 1.20", growth / 10 <= 1.2);
  return 0;
}
