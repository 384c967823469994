#include "platform/trust/hash.hpp"

#include <gtest/gtest.h>

#include <string>

namespace ombrel::platform {
namespace {

std::string hex_of(std::string_view bytes) {
  auto digest = sha256(bytes);
  if (!digest) return "error: " + digest.error().to_string();
  return to_hex(*digest);
}

TEST(Sha256, KnownAnswers) {
  struct Case {
    std::string input;
    const char* digest;
  };
  const Case cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      // Well over one 64 KiB block.
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(hex_of(c.input), c.digest) << "input of " << c.input.size() << " bytes";
  }
}

TEST(Sha256, PiecesOfAnySizeGiveTheDigestOfTheWhole) {
  std::string message;
  for (int i = 0; i < 200000; ++i) message += static_cast<char>(i * 7 + (i >> 9));
  const std::string whole = hex_of(message);
  for (const std::size_t piece : {1u, 63u, 64u, 65u, 65536u, 100000u}) {
    auto hash = Sha256::create();
    ASSERT_TRUE(hash);
    for (std::size_t at = 0; at < message.size(); at += piece) {
      ASSERT_TRUE(hash->update(std::string_view(message).substr(at, piece)));
    }
    auto digest = hash->finish();
    ASSERT_TRUE(digest);
    EXPECT_EQ(to_hex(*digest), whole) << "pieces of " << piece;
  }
}

TEST(Sha256, AFinishedHashTakesNothingMore) {
  auto hash = Sha256::create();
  ASSERT_TRUE(hash);
  ASSERT_TRUE(hash->finish());
  EXPECT_FALSE(hash->update("x"));
  EXPECT_FALSE(hash->finish());
}

}  // namespace
}  // namespace ombrel::platform
