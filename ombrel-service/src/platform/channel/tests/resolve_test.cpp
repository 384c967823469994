#include <gtest/gtest.h>

#include "platform/channel/resolve.hpp"

namespace ombrel::platform {
namespace {

ResolvedAddress v4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
  ResolvedAddress r;
  r.bytes = {a, b, c, d};
  return r;
}

TEST(ResolveHost, AnswersInNetworkOrderEachAddressOnce) {
  auto literal = resolve_host("192.0.2.10");
  ASSERT_TRUE(literal) << literal.error().to_string();
  EXPECT_EQ(*literal, std::vector<ResolvedAddress>{v4(192, 0, 2, 10)});

  auto v6 = resolve_host("2001:db8::5");
  ASSERT_TRUE(v6) << v6.error().to_string();
  ASSERT_EQ(v6->size(), 1u);
  EXPECT_TRUE((*v6)[0].v6);
  EXPECT_EQ((*v6)[0].bytes[0], 0x20);
  EXPECT_EQ((*v6)[0].bytes[1], 0x01);
  EXPECT_EQ((*v6)[0].bytes[15], 0x05);

  // The machine's own name for itself is known without any network.
  auto local = resolve_host("localhost");
  ASSERT_TRUE(local) << local.error().to_string();
  ResolvedAddress loop6;
  loop6.v6 = true;
  loop6.bytes[15] = 1;
  bool loopback = false;
  for (const auto& a : *local) loopback = loopback || a == v4(127, 0, 0, 1) || a == loop6;
  EXPECT_TRUE(loopback);
}

}  // namespace
}  // namespace ombrel::platform
