#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include <gtest/gtest.h>

#include "config.hpp"
#include "testsupport.hpp"
#include "xray_nodes.hpp"

namespace ombrel {
namespace {

using nlohmann::json;
using testing::hysteria2;
using testing::keys_of;
using testing::mixed_nodes;
using testing::node_of;
using testing::trojan;
using testing::vless;
using Keys = std::vector<std::string>;

std::vector<std::string> outbound_tags(const json& doc) {
  std::vector<std::string> tags;
  for (const json& o : doc["outbounds"]) tags.push_back(o["tag"]);
  return tags;
}

TEST(XrayConfig, LocalProxyFromMode) {
  EXPECT_EQ(local_proxy_for(true), (LocalProxy{10808, true}));
  EXPECT_EQ(local_proxy_for(false), (LocalProxy{10820, false}));
}

TEST(XrayConfig, FormFollowsUsableCount) {
  const ServerNode refused = node_of("192.0.2.1", 443, trojan(""));
  const ServerNode good = node_of("192.0.2.2", 443, vless("tcp"));
  struct Case {
    const char* name;
    std::vector<ServerNode> nodes;
    bool proxy_only;
    Keys top;
    Keys tags;
    std::vector<std::pair<std::string, int>> inbounds;
  };
  const Keys single_top = {"dns", "inbounds", "log", "outbounds", "routing"};
  const Keys balanced_top = {"burstObservatory", "dns",    "inbounds", "log",
                             "outbounds",        "policy", "routing",  "stats"};
  const Case cases[] = {
      {"one node, tunnel",
       {good},
       false,
       single_top,
       {"proxy", "direct", "block"},
       {{"socks-in", 10820}}},
      {"refused first, tunnel",
       {refused, good},
       false,
       single_top,
       {"proxy", "direct", "block"},
       {{"socks-in", 10820}}},
      {"one node, proxy only",
       {refused, good, refused},
       true,
       single_top,
       {"proxy", "direct", "block"},
       {{"socks-in", 10808}, {"http-in", 10809}}},
      {"three nodes, proxy only",
       mixed_nodes(3),
       true,
       balanced_top,
       {"p0", "p1", "p2", "direct", "block"},
       {{"socks-in", 10808}, {"http-in", 10809}}},
      {"refused ones take no number",
       {refused, good, refused, good},
       false,
       balanced_top,
       {"p0", "p1", "direct", "block"},
       {{"socks-in", 10820}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto cfg = build_xray_config(c.nodes, local_proxy_for(c.proxy_only));
    ASSERT_TRUE(cfg);
    const json& doc = cfg->document;
    EXPECT_EQ(keys_of(doc), c.top);
    EXPECT_EQ(outbound_tags(doc), c.tags);
    ASSERT_EQ(doc["inbounds"].size(), c.inbounds.size());
    for (std::size_t i = 0; i < c.inbounds.size(); ++i) {
      EXPECT_EQ(doc["inbounds"][i]["tag"], c.inbounds[i].first);
      EXPECT_EQ(doc["inbounds"][i]["port"], c.inbounds[i].second);
    }
    EXPECT_EQ(doc["routing"].contains("balancers"), c.top == balanced_top);
  }
}

TEST(XrayConfig, TwelveNodesKeepPositions) {
  const auto cfg = build_xray_config(mixed_nodes(12), local_proxy_for(false));
  ASSERT_TRUE(cfg);
  Keys want;
  for (std::size_t i = 0; i < 12; ++i) want.push_back(testing::numbered("p", i));
  want.insert(want.end(), {"direct", "block"});
  EXPECT_EQ(outbound_tags(cfg->document), want);
  // The outbounds follow the input, not the tags' text order ("p10" < "p2").
  EXPECT_EQ(cfg->document["outbounds"][10]["settings"]["vnext"][0]["port"], 10010);
}

TEST(XrayConfig, NothingWhenNoNodeIsUsable) {
  struct Case {
    const char* name;
    std::vector<ServerNode> nodes;
  };
  const Case cases[] = {
      {"empty", {}},
      {"all refused",
       {node_of("a", 1, trojan("")), node_of("b", 2, vless("ws")),
        node_of("c", 3, hysteria2(true, "m", ""))}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_FALSE(build_xray_config(c.nodes, local_proxy_for(true)));
  }
}

TEST(XrayConfig, HttpPortDoesNotWrap) {
  const auto cfg = build_xray_config(mixed_nodes(1), LocalProxy{65535, true});
  ASSERT_TRUE(cfg);
  EXPECT_EQ(cfg->document["inbounds"][1]["port"], 65536);
}

TEST(XrayConfig, WrittenForm) {
  std::vector<ServerNode> nodes = mixed_nodes(3);
  std::get<Vless>(nodes[2].protocol).path = "/загрузка";
  const auto cfg = build_xray_config(nodes, local_proxy_for(true));
  ASSERT_TRUE(cfg);
  const std::string text = cfg->text();
  EXPECT_EQ(text.front(), '{');
  EXPECT_EQ(text.back(), '}');
  EXPECT_NE(text.find("\n  \"stats\": {}\n}"), std::string::npos);
  EXPECT_NE(text.find("\"tolerance\": 0.1\n"), std::string::npos);
  EXPECT_NE(text.find("\"path\": \"/загрузка\""), std::string::npos);
  EXPECT_NE(text.find("\"statsOutboundDownlink\": true,\n      \"statsOutboundUplink\": true"),
            std::string::npos);
  EXPECT_EQ(json::parse(text), cfg->document);

  const auto again = build_xray_config(nodes, local_proxy_for(true));
  ASSERT_TRUE(again);
  EXPECT_EQ(again->text(), text);
}

// A node built by hand (not decoded from the wire) may carry bytes that are
// not UTF-8; writing must still succeed and stay parseable.
TEST(XrayConfig, InvalidUtf8IsReplacedNotThrown) {
  const ServerNode node = node_of("192.0.2.9", 443, trojan("pw\xff", "sni\xc3"));
  const auto cfg = build_xray_config(std::span(&node, 1), local_proxy_for(false));
  ASSERT_TRUE(cfg);
  std::string text;
  ASSERT_NO_THROW(text = cfg->text());
  EXPECT_NE(text.find("\"pw\xef\xbf\xbd\""), std::string::npos);
  EXPECT_TRUE(json::accept(text));
}

// ---- golden documents -----------------------------------------------------

std::string golden_path(const char* name) {
  return testsupport::utf8_path(testsupport::fs_path(testsupport::source_dir()) / "tests" /
                                "golden" / name);
}

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void expect_golden(const char* name, const std::string& text) {
  const std::string path = golden_path(name);
  if (std::getenv("OMBREL_UPDATE_GOLDEN")) {
    std::ofstream(path, std::ios::binary) << text;
  }
  const std::string want = read_bytes(path);
  ASSERT_FALSE(want.empty()) << path;
  EXPECT_EQ(text, want) << path;
}

TEST(XrayConfigGolden, Single) {
  Vless v = vless("tcp");
  v.flow = "xtls-rprx-vision";
  const std::vector<ServerNode> nodes = {
      node_of("198.51.100.20", 443, trojan(""), "Без пароля"),
      node_of("198.51.100.21", 443, v, "Нидерланды 🇳🇱 app_ios"),
  };
  const auto cfg = build_xray_config(nodes, local_proxy_for(false));
  ASSERT_TRUE(cfg);
  expect_golden("xray-single.json", cfg->text());
}

std::vector<ServerNode> balanced_golden_nodes() {
  Vless vision = vless("tcp");
  vision.flow = "xtls-rprx-vision";
  Vless grpc = vless("grpc");
  grpc.service_name = "tunnel";
  grpc.authority = "grpc.example.com";
  Vless xhttp = vless("xhttp");
  xhttp.host = "cdn.example.com";
  xhttp.path = "/загрузка";
  Vless xhttp_bare = vless("xhttp");
  xhttp_bare.path = "/";
  Vless grpc_bare = vless("grpc");
  grpc_bare.sni = "";
  Vless ws = vless("ws");
  return {
      node_of("198.51.100.1", 443, vision, "Германия 1"),
      node_of("198.51.100.2", 8443, grpc, "Германия 2"),
      node_of("198.51.100.3", 443, ws, "Старый ws"),
      node_of("198.51.100.4", 2053, xhttp, "Финляндия"),
      node_of("198.51.100.5", 443, trojan(), "Trojan A"),
      node_of("198.51.100.6", 443, trojan("secret", ""), "Trojan без SNI"),
      node_of("198.51.100.7", 443, hysteria2(), "Hy2 plain"),
      node_of("198.51.100.8", 443, hysteria2(true, "obfs-pass"), "Hy2 obfs"),
      node_of("198.51.100.9", 443, hysteria2(false, "", ""), "Hy2 без пароля"),
      node_of("198.51.100.10", 443, xhttp_bare, "Польша"),
      node_of("198.51.100.11", 443, trojan("q\"uo\\te"), "Trojan escape"),
      node_of("2001:db8::12", 443, hysteria2(true, ""), "Hy2 v6"),
      node_of("198.51.100.13", 8443, grpc_bare, "Швеция"),
      node_of("198.51.100.14", 443, trojan(), "Trojan Z"),
  };
}

TEST(XrayConfigGolden, BalancedTwelve) {
  const auto nodes = balanced_golden_nodes();
  const auto cfg = build_xray_config(nodes, local_proxy_for(true));
  ASSERT_TRUE(cfg);
  ASSERT_EQ(cfg->document["outbounds"].size(), 14u);
  expect_golden("xray-balanced-12.json", cfg->text());
}

}  // namespace
}  // namespace ombrel
