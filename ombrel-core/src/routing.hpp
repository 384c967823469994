#pragma once
// The proxy core's "routing" section: advertising and tracking hosts are
// dropped, the national zones and private addresses go out directly, and the
// rest goes to the server nodes. It does not depend on the user's per-app or
// per-site choices; the tunnel core handles those.
#include <array>
#include <cstddef>
#include <string_view>

#include <nlohmann/json.hpp>

namespace ombrel {

// Bare lower-case names; each also blocks its subdomains. Grouped, in order:
// a search company's ad and analytics services (7), Russian ad networks and
// the ad hosts of Russian portals (11), mobile attribution and product
// analytics (10), mobile in-app ad networks (9), exchanges, retargeting,
// recommendation, measurement, data management and session recording (13).
inline constexpr std::array<std::string_view, 50> AD_DOMAINS = {
    // search company
    "doubleclick.net",
    "googlesyndication.com",
    "googleadservices.com",
    "googletagservices.com",
    "googletagmanager.com",
    "google-analytics.com",
    "admob.com",
    // Russian networks, exchanges and portal ad hosts
    "an.yandex.ru",
    "mc.yandex.ru",
    "adfox.ru",
    "ad.mail.ru",
    "target.my.com",
    "ads.vk.com",
    "ssp.rambler.ru",
    "adriver.ru",
    "betweendigital.com",
    "otm-r.com",
    "buzzoola.com",
    // mobile attribution and product analytics
    "appsflyer.com",
    "appsflyersdk.com",
    "adjust.com",
    "branch.io",
    "kochava.com",
    "singular.net",
    "app-measurement.com",
    "amplitude.com",
    "mixpanel.com",
    "flurry.com",
    // mobile in-app ad networks
    "applovin.com",
    "applvn.com",
    "vungle.com",
    "chartboost.com",
    "inmobi.com",
    "ironsrc.com",
    "mintegral.net",
    "pangle.io",
    "startappservice.com",
    // exchanges, retargeting, recommendation, measurement, data, recording
    "adnxs.com",
    "rubiconproject.com",
    "pubmatic.com",
    "openx.net",
    "criteo.com",
    "criteo.net",
    "taboola.com",
    "outbrain.com",
    "scorecardresearch.com",
    "quantserve.com",
    "demdex.net",
    "hotjar.com",
    "mouseflow.com",
};

// The Latin-script country zone, then the Cyrillic one in its IDNA form.
inline constexpr std::array<std::string_view, 2> NATIONAL_ZONES = {"ru", "xn--p1ai"};

inline constexpr std::array<std::string_view, 9> PRIVATE_CIDRS = {
    "127.0.0.0/8",   "10.0.0.0/8", "172.16.0.0/12", "192.168.0.0/16", "169.254.0.0/16",
    "100.64.0.0/10", "::1/128",    "fc00::/7",      "fe80::/10",
};

// The "routing" object for a document with `usable_count` node outbounds:
// with two or more it adds the "proxy" balancer over the "p" tags and a last
// rule that hands it all remaining TCP and UDP traffic.
nlohmann::json xray_routing(std::size_t usable_count);

}  // namespace ombrel
