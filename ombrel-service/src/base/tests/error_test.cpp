#include <gtest/gtest.h>

#include "base/error.hpp"

namespace ombrel {
namespace {

Result<int> inner_failure() { return fail("Access is denied (os error 5)"); }
Result<int> outer() { return context(inner_failure(), "не удалось открыть диспетчер служб"); }

Result<void> propagates() {
  OMBREL_TRY(outer());
  return {};
}

TEST(Error, ChainIsJoinedOutermostFirst) {
  const auto r = propagates();
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().to_string(),
            "не удалось открыть диспетчер служб: Access is denied (os error 5)");
}

TEST(Error, MultilineForm) {
  struct Case {
    std::vector<std::string> chain;
    std::string want;
  };
  const Case cases[] = {
      {{"одно"}, "Error: одно\n"},
      {{"внешнее", "причина"}, "Error: внешнее\n\nCaused by:\n    причина\n"},
      {{"внешнее", "a", "b"}, "Error: внешнее\n\nCaused by:\n    0: a\n    1: b\n"},
  };
  for (const auto& c : cases) {
    Error e(c.chain.back());
    for (auto it = c.chain.rbegin() + 1; it != c.chain.rend(); ++it) e = e.wrapped(*it);
    EXPECT_EQ(e.multiline(), c.want);
    EXPECT_EQ(e.chain(), c.chain);
  }
}

TEST(Error, ContextLeavesSuccessAlone) {
  const auto r = context(Result<int>(7), "outer");
  ASSERT_TRUE(r);
  EXPECT_EQ(*r, 7);
}

}  // namespace
}  // namespace ombrel
