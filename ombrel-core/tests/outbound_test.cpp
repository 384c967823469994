#include <gtest/gtest.h>

#include "outbound.hpp"
#include "xray_nodes.hpp"

namespace ombrel {
namespace {

using nlohmann::json;
using testing::hysteria2;
using testing::keys_of;
using testing::node_of;
using testing::trojan;
using testing::vless;

Vless vless_with(std::string network, void (*edit)(Vless&)) {
  Vless v = vless(std::move(network));
  edit(v);
  return v;
}

TEST(XrayOutbound, RefusalDependsOnTheNodeOnly) {
  struct Case {
    const char* name;
    Protocol protocol;
    bool usable;
  };
  const Case cases[] = {
      {"trojan empty password", trojan(""), false},
      {"trojan empty sni", trojan("pw", ""), true},
      {"hysteria2 empty password", hysteria2(false, "", ""), false},
      {"hysteria2 obfs without password", hysteria2(true, "obfs", ""), false},
      {"vless tcp", vless("tcp"), true},
      {"vless grpc", vless("grpc"), true},
      {"vless xhttp", vless("xhttp"), true},
      {"vless ws", vless("ws"), false},
      {"vless GRPC", vless("GRPC"), false},
      {"vless trailing space", vless("tcp "), false},
      {"vless leading space", vless(" tcp"), false},
      {"vless empty network", vless(""), false},
      {"vless empty public key", vless_with("tcp", [](Vless& v) { v.public_key.clear(); }), false},
      {"vless empty short id", vless_with("grpc", [](Vless& v) { v.short_id.clear(); }), false},
      {"vless empty uuid, sni, fingerprint",
       vless_with("tcp",
                  [](Vless& v) {
                    v.uuid.clear();
                    v.sni.clear();
                    v.fingerprint.clear();
                  }),
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ServerNode node = node_of("198.51.100.7", 443, c.protocol);
    EXPECT_EQ(xray_outbound(node, PROBE_TAG).has_value(), c.usable);
    EXPECT_EQ(xray_outbound(node, "p7").has_value(), c.usable);
    EXPECT_EQ(usable_nodes(std::span(&node, 1)).size(), c.usable ? 1u : 0u);
  }
}

TEST(XrayOutbound, UsableNodesKeepsInputOrderAndPointsIntoInput) {
  const std::vector<ServerNode> nodes = {
      node_of("a", 1, trojan("")),
      node_of("b", 2, vless("tcp")),
      node_of("c", 3, vless("ws")),
      node_of("d", 4, hysteria2()),
  };
  const auto usable = usable_nodes(nodes);
  ASSERT_EQ(usable.size(), 2u);
  EXPECT_EQ(&usable[0].get(), &nodes[1]);
  EXPECT_EQ(&usable[1].get(), &nodes[3]);
  EXPECT_TRUE(usable_nodes({}).empty());
}

TEST(XrayOutbound, VlessTransports) {
  struct Case {
    const char* network;
    std::vector<std::string> stream_keys;
    const char* transport_key;
    json transport;
  };
  const Case cases[] = {
      {"tcp", {"network", "realitySettings", "security", "sockopt"}, nullptr, nullptr},
      {"grpc",
       {"grpcSettings", "network", "realitySettings", "security", "sockopt"},
       "grpcSettings",
       {{"authority", "grpc.example.com"}, {"serviceName", "svc"}}},
      {"xhttp",
       {"network", "realitySettings", "security", "sockopt", "xhttpSettings"},
       "xhttpSettings",
       {{"host", ""}, {"path", "/x"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.network);
    Vless v = vless(c.network);
    // Fields of the other transports are filled in too: only the chosen
    // one may show up.
    v.service_name = "svc";
    v.authority = "grpc.example.com";
    v.path = "/x";
    const auto out = xray_outbound(node_of("198.51.100.7", 8443, v), "p0");
    ASSERT_TRUE(out);
    const json& stream = (*out)["streamSettings"];
    EXPECT_EQ(keys_of(stream), c.stream_keys);
    EXPECT_EQ(stream["network"], c.network);
    EXPECT_EQ(stream["security"], "reality");
    if (c.transport_key) {
      EXPECT_EQ(stream[c.transport_key], c.transport);
    }
    EXPECT_EQ(stream["realitySettings"], json({{"fingerprint", "chrome"},
                                               {"publicKey", v.public_key},
                                               {"serverName", "www.example.com"},
                                               {"shortId", "6ba85179e30d4fc2"}}));
  }
}

TEST(XrayOutbound, VlessFlowOnlyWhenSet) {
  struct Case {
    const char* flow;
    std::vector<std::string> user_keys;
  };
  const Case cases[] = {
      {"", {"encryption", "id"}},
      {"xtls-rprx-vision", {"encryption", "flow", "id"}},
  };
  for (const auto& c : cases) {
    Vless v = vless("tcp");
    v.flow = c.flow;
    const auto out = xray_outbound(node_of("198.51.100.7", 443, v), "proxy");
    ASSERT_TRUE(out);
    const json& server = (*out)["settings"]["vnext"].at(0);
    EXPECT_EQ(server["address"], "198.51.100.7");
    EXPECT_EQ(server["port"], 443);
    const json& user = server["users"].at(0);
    EXPECT_EQ(keys_of(user), c.user_keys);
    EXPECT_EQ(user["encryption"], "none");
    EXPECT_EQ(user["id"], v.uuid);
  }
}

TEST(XrayOutbound, Hysteria2TlsAndMask) {
  struct Case {
    bool insecure;
    const char* obfs;
    std::vector<std::string> tls_keys;
    std::vector<std::string> mask_keys;
  };
  const Case cases[] = {
      {false, "", {"alpn", "serverName"}, {"quicParams"}},
      {true, "", {"allowInsecure", "alpn", "serverName"}, {"quicParams"}},
      {false, "mask-pw", {"alpn", "serverName"}, {"quicParams", "udp"}},
      {true, "mask-pw", {"allowInsecure", "alpn", "serverName"}, {"quicParams", "udp"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.insecure ? "insecure " : "") + c.obfs);
    const auto out =
        xray_outbound(node_of("2001:db8::5", 8443, hysteria2(c.insecure, c.obfs)), "p2");
    ASSERT_TRUE(out);
    EXPECT_EQ((*out)["protocol"], "hysteria");
    EXPECT_EQ((*out)["settings"],
              json({{"address", "2001:db8::5"}, {"port", 8443}, {"version", 2}}));
    const json& stream = (*out)["streamSettings"];
    EXPECT_EQ(keys_of(stream), (std::vector<std::string>{"finalmask", "hysteriaSettings", "network",
                                                         "security", "tlsSettings"}));
    EXPECT_EQ(stream["hysteriaSettings"], json({{"auth", "hy2-secret"}, {"version", 2}}));
    EXPECT_EQ(keys_of(stream["tlsSettings"]), c.tls_keys);
    if (c.insecure) {
      EXPECT_EQ(stream["tlsSettings"]["allowInsecure"], true);
    }
    EXPECT_EQ(stream["tlsSettings"]["alpn"], json::array({"h3"}));
    EXPECT_EQ(keys_of(stream["finalmask"]), c.mask_keys);
    EXPECT_EQ(stream["finalmask"]["quicParams"],
              json({{"keepAlivePeriod", 10}, {"maxIdleTimeout", 30}}));
    if (*c.obfs) {
      EXPECT_EQ(stream["finalmask"]["udp"],
                json::array({{{"settings", {{"password", "mask-pw"}}}, {"type", "salamander"}}}));
    }
  }
}

TEST(XrayOutbound, KeepAliveOnTcpProtocolsOnly) {
  const json keepalive = {{"tcpKeepAliveIdle", 60}, {"tcpKeepAliveInterval", 15}};
  struct Case {
    const char* name;
    Protocol protocol;
    bool has_sockopt;
  };
  const Case cases[] = {
      {"vless", vless("xhttp"), true},
      {"trojan", trojan(), true},
      {"hysteria2", hysteria2(true, "m"), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto out = xray_outbound(node_of("198.51.100.7", 443, c.protocol), "p0");
    ASSERT_TRUE(out);
    const json& stream = (*out)["streamSettings"];
    EXPECT_EQ(stream.contains("sockopt"), c.has_sockopt);
    if (c.has_sockopt) {
      EXPECT_EQ(stream["sockopt"], keepalive);
    }
  }
}

TEST(XrayOutbound, TrojanCopiesFieldsEvenWhenEmpty) {
  const auto out = xray_outbound(node_of("", 443, trojan("p\"w\\", "")), "p1");
  ASSERT_TRUE(out);
  EXPECT_EQ(*out, json::parse(R"({
    "protocol": "trojan",
    "settings": {"servers": [{"address": "", "password": "p\"w\\", "port": 443}]},
    "streamSettings": {
      "network": "tcp", "security": "tls",
      "sockopt": {"tcpKeepAliveIdle": 60, "tcpKeepAliveInterval": 15},
      "tlsSettings": {"serverName": ""}
    },
    "tag": "p1"
  })"));
}

TEST(XrayOutbound, IdentityFieldsStayOut) {
  ServerNode a = node_of("198.51.100.7", 443, vless("grpc"), "Германия 1");
  ServerNode b = a;
  b.id = "other";
  b.remark = "другой";
  b.raw = "vless://elsewhere";
  EXPECT_EQ(xray_outbound(a, "p0"), xray_outbound(b, "p0"));
}

}  // namespace
}  // namespace ombrel
