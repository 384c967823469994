#include <windows.h>

#include <sddl.h>

#include <string>

#include <gtest/gtest.h>

#include "platform/handle_win.hpp"
#include "platform/trust/access_win.hpp"
#include "testsupport.hpp"

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

// The same user, with the administrators' group kept for denials only.
UniqueHandle identification_token_without_administrators() {
  UniqueHandle process, restricted, token;
  BYTE sid[SECURITY_MAX_SID_SIZE];
  DWORD sid_size = sizeof sid;
  EXPECT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, sid, &sid_size));
  SID_AND_ATTRIBUTES disabled{sid, 0};
  EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, process.put()));
  EXPECT_TRUE(CreateRestrictedToken(process.get(), 0, 1, &disabled, 0, nullptr, 0, nullptr,
                                    restricted.put()));
  EXPECT_TRUE(DuplicateToken(restricted.get(), SecurityIdentification, token.put()));
  return token;
}

// The list a file carries, as the system keeps it, is what is judged: the
// administrators read it, the same user outside that group does not.
TEST(Access, AFilesOwnListRefusesATokenItLeavesOut) {
  OMBREL_REAL_WINDOWS_ONLY("Wine keeps no access list on a file, so nothing there is refused");
  testsupport::TempDir dir("access");
  PSECURITY_DESCRIPTOR sd = nullptr;
  ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA("D:P(A;;FA;;;SY)(A;;FA;;;BA)",
                                                                   SDDL_REVISION_1, &sd, nullptr));
  SECURITY_ATTRIBUTES attributes{sizeof attributes, sd, FALSE};
  const UniqueHandle file(CreateFileW(testsupport::fs_path(dir.file("offered.bin")).c_str(),
                                      GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, &attributes,
                                      CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  LocalFree(sd);
  ASSERT_TRUE(file);
  const UniqueHandle own = own_identification_token();
  const UniqueHandle outside = identification_token_without_administrators();
  ASSERT_TRUE(own && outside);
  EXPECT_TRUE(token_may_read_file(file.get(), own.get()).value_or(false));
  EXPECT_FALSE(token_may_read_file(file.get(), outside.get()).value_or(true));
}

}  // namespace
}  // namespace ombrel::platform
