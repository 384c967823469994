#include <windows.h>

#include <sddl.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/access_win.hpp"
#include "platform/handle_win.hpp"

namespace ombrel::platform {
namespace {

// This process's own token at identification level, as a careful pipe
// client hands it to the service.
UniqueHandle own_identification_token() {
  UniqueHandle token;
  EXPECT_TRUE(ImpersonateSelf(SecurityIdentification));
  EXPECT_TRUE(OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, token.put()));
  EXPECT_TRUE(RevertToSelf());
  return token;
}

TEST(Access, ReadingIsJudgedByTheAccessListForTheToken) {
  const UniqueHandle token = own_identification_token();
  ASSERT_TRUE(token);
  const struct {
    const char* sddl;
    bool may_read;
  } cases[] = {
      {"O:BAG:BAD:(A;;FR;;;WD)", true},               // everyone reads
      {"O:BAG:BAD:(A;;GR;;;WD)", true},               // generic read, mapped
      {"O:BAG:BA", true},                             // no access list at all
      {"O:BAG:BAD:(A;;FA;;;SY)", false},              // the system account alone
      {"O:BAG:BAD:", false},                          // an empty list
      {"O:BAG:BAD:(A;;FW;;;WD)", false},              // writing but not reading
      {"O:BAG:BAD:(D;;FR;;;WD)(A;;FA;;;WD)", false},  // a denial comes first
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sddl);
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(c.sddl, SDDL_REVISION_1, &sd,
                                                                     nullptr));
    const auto may_read = token_may_read(sd, token.get());
    LocalFree(sd);
    ASSERT_TRUE(may_read) << may_read.error().to_string();
    EXPECT_EQ(*may_read, c.may_read);
  }
}

}  // namespace
}  // namespace ombrel::platform
