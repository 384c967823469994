// The Windows data folder's owner and access list. Wine keeps no security
// descriptors for files: it derives them from the Unix mode and owner, so
// there a folder's access list reads back as what the mode allows, and its
// owner is always the one user. What an access list means is therefore
// judged here from descriptors written as SDDL, and the exact read-back is
// checked only on Windows itself.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h:
#include <sddl.h>

#include "base/text.hpp"
#include "platform/files/datadir.hpp"
#include "platform/files/files.hpp"
#include "platform/files/paths.hpp"
#include "platform/handle_win.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

TEST(PrivateDirWin, OnlyTheSystemAndAdministratorsMayChangeIt) {
  const std::string intended(PRIVATE_DIR_SDDL);
  struct Case {
    const char* name;
    std::string sddl;
    bool is_private;
  };
  const Case cases[] = {
      {"the intended list, owned by the system", "O:SY" + intended, true},
      {"the intended list, owned by the administrators", "O:BA" + intended, true},
      {"the intended list, owned by a user", "O:S-1-5-21-1-2-3-1001" + intended, false},
      {"the intended list, owned by the users group", "O:BU" + intended, false},
      {"inherited from ProgramData: users may add files",
       "O:SYD:AI(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)(A;OICIIOID;GA;;;CO)"
       "(A;OICIID;0x1200a9;;;BU)(A;CIID;DCLCRPCR;;;BU)",
       false},
      {"everyone may do anything", "O:SYD:P(A;OICI;FA;;;WD)", false},
      {"a user may change the list", "O:SYD:P(A;;WD;;;S-1-5-21-1-2-3-1001)(A;OICI;FA;;;SY)", false},
      {"users may write the files made there", "O:SYD:P(A;OICI;FA;;;SY)(A;OIIO;FW;;;BU)", false},
      {"read for everyone, the creator owns what is made",
       "O:SYD:P(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;FR;;;WD)", true},
      {"a denial takes nothing away from safety",
       "O:SYD:P(D;OICI;FA;;;BG)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto judged = is_private_security(c.sddl);
    ASSERT_TRUE(judged) << judged.error().to_string();
    EXPECT_EQ(*judged, c.is_private);
  }
  EXPECT_FALSE(is_private_security("not sddl"));
}

// A new folder, and one an earlier version made (users allowed to read),
// end with the protected list.
TEST(PrivateDirWin, ANewOrEarlierFolderCarriesTheProtectedList) {
  for (const bool earlier : {false, true}) {
    SCOPED_TRACE(earlier ? "earlier" : "new");
    testsupport::TempDir root("datadir");
    const std::string dir = join_path(root.path(), "Ombrel");
    if (earlier) {
      PSECURITY_DESCRIPTOR sd = nullptr;
      ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(
          L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", SDDL_REVISION_1, &sd,
          nullptr));
      SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
      const std::u16string wdir = utf8_to_utf16(dir);
      const bool made = CreateDirectoryW(reinterpret_cast<const wchar_t*>(wdir.c_str()), &sa);
      LocalFree(sd);
      ASSERT_TRUE(made);
    }
    // Opened by a user while the list let users read, sharing everything.
    const std::string document = join_path(dir, "tunnel.json");
    if (earlier) {
      ASSERT_TRUE(rewrite_file(document, "earlier sites"));
    }
    const std::u16string wdoc = utf8_to_utf16(document);
    UniqueHandle reader(CreateFileW(reinterpret_cast<const wchar_t*>(wdoc.c_str()), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(ensure_private_dir(dir));
    if (earlier && testsupport::real_windows()) {
      ASSERT_TRUE(rewrite_file(document, "new sites"));
      char seen[32] = {};
      DWORD n = 0;
      ASSERT_TRUE(ReadFile(reader.get(), seen, sizeof seen, &n, nullptr));
      EXPECT_EQ(std::string(seen, n), "earlier sites");
    }
    auto sddl = folder_security_sddl(dir);
    ASSERT_TRUE(sddl) << sddl.error().to_string();
    auto judged = is_private_security(*sddl);
    ASSERT_TRUE(judged) << judged.error().to_string();
    EXPECT_TRUE(*judged) << *sddl;
    // The exact list read back: on real Windows only.
    if (testsupport::real_windows()) {
      EXPECT_TRUE(has_private_access_list(dir).value_or(false)) << *sddl;
    } else {
      std::cout << "Wine derives the list from the Unix mode: " << *sddl << "\n";
    }
  }
}

// Held by another user's handle, taken while users could read: with delete
// shared, the file is made anew and that handle reads nothing written
// later; without, nothing can take the name from it (MS-FSCC: a rename
// deletes the replaced file, which a handle must share), and that is told.
TEST(PrivateDirWin, AHeldFileIsMadeAnewOrItsFailureIsTold) {
  struct Case {
    const char* name;
    DWORD share;
    bool renewed;
  };
  const Case cases[] = {
      {"held sharing everything", FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, true},
      {"held sharing no deleting", FILE_SHARE_READ | FILE_SHARE_WRITE, false},
  };
  std::vector<std::string> told;
  report_renewal_failures_to([&](const Error& failure) { told.push_back(failure.to_string()); });
  const struct Restore {
    ~Restore() { report_renewal_failures_to(nullptr); }
  } restore;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir("renew");
    const std::string document = join_path(dir.path(), "tunnel.json");
    ASSERT_TRUE(rewrite_file(document, "earlier sites"));
    const std::u16string wdoc = utf8_to_utf16(document);
    UniqueHandle reader(CreateFileW(reinterpret_cast<const wchar_t*>(wdoc.c_str()), GENERIC_READ,
                                    c.share, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(reader);
    told.clear();
    renew_files(dir.path(), {"tunnel.json"});
    ASSERT_TRUE(rewrite_file(document, "new sites"));
    char seen[32] = {};
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(reader.get(), seen, sizeof seen, &n, nullptr));
    EXPECT_EQ(std::string(seen, n), c.renewed ? "earlier sites" : "new sites");
    EXPECT_EQ(told.size(), c.renewed ? 0U : 1U);
    for (const std::string& line : told) {
      EXPECT_TRUE(line.starts_with("не пересоздать " + document + ": ")) << line;
    }
    reader.reset();
    // Neither the new file's first name nor the old one's last is left.
    EXPECT_EQ(folder_entries(dir.path()).value_or(std::vector<std::string>{}),
              std::vector<std::string>{"tunnel.json"});
  }
}

}  // namespace
}  // namespace ombrel::platform
