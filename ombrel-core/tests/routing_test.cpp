#include <algorithm>
#include <set>

#include <gtest/gtest.h>

#include "routing.hpp"
#include "xray_nodes.hpp"

namespace ombrel {
namespace {

using nlohmann::json;
using testing::keys_of;
using Keys = std::vector<std::string>;

TEST(XrayRouting, SingleAndBalancedForms) {
  struct Case {
    std::size_t usable;
    Keys routing_keys;
    std::size_t rules;
  };
  const Case cases[] = {
      {1, {"domainStrategy", "rules"}, 3},
      {2, {"balancers", "domainStrategy", "rules"}, 4},
      {12, {"balancers", "domainStrategy", "rules"}, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.usable);
    const json routing = xray_routing(c.usable);
    EXPECT_EQ(keys_of(routing), c.routing_keys);
    EXPECT_EQ(routing["domainStrategy"], "IPIfNonMatch");
    const json& rules = routing["rules"];
    ASSERT_EQ(rules.size(), c.rules);
    EXPECT_EQ(keys_of(rules[0]), (Keys{"domain", "outboundTag", "type"}));
    EXPECT_EQ(rules[0]["outboundTag"], "block");
    EXPECT_EQ(keys_of(rules[1]), (Keys{"domain", "outboundTag", "type"}));
    EXPECT_EQ(rules[1]["outboundTag"], "direct");
    EXPECT_EQ(keys_of(rules[2]), (Keys{"ip", "outboundTag", "type"}));
    EXPECT_EQ(rules[2]["outboundTag"], "direct");
    if (c.rules == 4) {
      EXPECT_EQ(rules[3],
                json({{"balancerTag", "proxy"}, {"network", "tcp,udp"}, {"type", "field"}}));
      EXPECT_EQ(keys_of(rules[3]), (Keys{"balancerTag", "network", "type"}));
      EXPECT_EQ(routing["balancers"], json::parse(R"([{
        "selector": ["p"],
        "strategy": {"settings": {"expected": 1, "maxRTT": "8s", "tolerance": 0.1},
                     "type": "leastLoad"},
        "tag": "proxy"}])"));
    }
  }
}

TEST(XrayRouting, ListsAreWrittenInListOrder) {
  const json rules = xray_routing(1)["rules"];
  const json& ads = rules[0]["domain"];
  ASSERT_EQ(ads.size(), AD_DOMAINS.size());
  for (std::size_t i = 0; i < AD_DOMAINS.size(); ++i) {
    EXPECT_EQ(ads[i], "domain:" + std::string(AD_DOMAINS[i]));
  }
  EXPECT_EQ(rules[1]["domain"], json::array({"domain:ru", "domain:xn--p1ai"}));
  const json& ip = rules[2]["ip"];
  ASSERT_EQ(ip.size(), 9u);
  EXPECT_EQ(ip.front(), "127.0.0.0/8");
  EXPECT_EQ(ip.back(), "fe80::/10");
}

// Guards hand edits of the list: a typo here silently stops blocking, a
// scheme or upper-case letter makes the core reject the whole document.
TEST(XrayRouting, AdDomainsAreBareUniqueNames) {
  ASSERT_EQ(AD_DOMAINS.size(), 50u);
  std::set<std::string_view> seen;
  int subdomains = 0;
  for (std::string_view d : AD_DOMAINS) {
    SCOPED_TRACE(d);
    EXPECT_TRUE(seen.insert(d).second) << "duplicate";
    EXPECT_TRUE(std::all_of(d.begin(), d.end(), [](char c) {
      return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    }));
    EXPECT_NE(d.front(), '.');
    EXPECT_NE(d.back(), '.');
    EXPECT_EQ(d.find(".."), std::string_view::npos);
    const auto dots = std::count(d.begin(), d.end(), '.');
    EXPECT_GE(dots, 1);
    if (dots >= 2) ++subdomains;
  }
  EXPECT_EQ(subdomains, 6);
  // No entry lies under another one: it would be dead weight in the rule.
  for (std::string_view d : AD_DOMAINS) {
    for (std::string_view parent : AD_DOMAINS) {
      if (d.size() > parent.size() && d.ends_with(parent)) {
        EXPECT_NE(d[d.size() - parent.size() - 1], '.') << d << " under " << parent;
      }
    }
  }
}

}  // namespace
}  // namespace ombrel
