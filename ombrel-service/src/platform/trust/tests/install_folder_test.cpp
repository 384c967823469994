#include <gtest/gtest.h>

#include <fstream>

#include "platform/files/files.hpp"
#include "platform/files/paths.hpp"
#include "platform/process/proclist.hpp"
#include "platform/trust/install_folder.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

TEST(InstallFolder, OwnerAndModeBits) {
  struct Case {
    std::uint32_t owner, mode;
    bool installation_folder, safe;
  };
  constexpr std::uint32_t ME = 1000;
  const Case cases[] = {
      {0, 040755, true, true},  {ME, 040755, true, true},  {1001, 040755, true, false},
      {0, 040775, true, false}, {0, 040757, false, false}, {0, 041777, false, true},
      {0, 041777, true, false}, {ME, 040700, false, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(is_safe_folder_mode(c.owner, c.mode, ME, c.installation_folder), c.safe)
        << c.owner << " " << std::oct << c.mode << " " << c.installation_folder;
  }
}

#ifdef _WIN32
// Descriptors as Windows gives them to real folders, and what each one
// lets through. Wine keeps none of its own (every folder reads alike), so
// the refusals are judged here.
TEST(InstallFolder, SecurityDescriptors) {
  constexpr const char* SYSTEM = "S-1-5-18";
  constexpr const char* ADMIN = "S-1-5-21-1-2-3-1001";  // an administrator's own account
  constexpr const char* TI = "S-1-5-80-956008885-3425870976-2573247734-1233264046-1183309829";
  const std::string program_files =
      std::string("O:") + TI + "D:PAI(A;;FA;;;" + TI + ")(A;CIIO;GA;;;" + TI +
      ")(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"
      "(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)";
  const std::string volume_root =
      "O:SYD:(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)"
      "(A;CI;LC;;;AU)(A;OICIIO;SDGXGWGR;;;AU)";
  struct Case {
    const char* name;
    std::string sddl;
    const char* own;
    bool installation_folder, safe;
  };
  const Case cases[] = {
      {"Program Files", program_files, SYSTEM, false, true},
      {"a folder made in Program Files", program_files, SYSTEM, true, true},
      {"the volume root above", volume_root, SYSTEM, false, true},
      // Users may make folders there, and what they make they may change.
      {"the volume root itself", volume_root, SYSTEM, true, false},
      {"a folder made in the volume root",
       "O:BAD:AI(A;ID;FA;;;BA)(A;ID;FA;;;SY)(A;ID;0x1301bf;;;AU)(A;ID;0x1200a9;;;BU)", SYSTEM, true,
       false},
      {"users may add files", "O:SYD:(A;;FA;;;SY)(A;;0x1200ab;;;BU)", SYSTEM, false, false},
      {"users may delete what is in it", "O:SYD:(A;;FA;;;SY)(A;;0x1200e9;;;BU)", SYSTEM, false,
       false},
      {"users may change the list", "O:SYD:(A;;FA;;;SY)(A;;0x1200a9;;;BU)(A;;WD;;;BU)", SYSTEM,
       false, false},
      {"a user owns it", std::string("O:") + ADMIN + "D:(A;;FA;;;SY)", SYSTEM, false, false},
      // At install, the administrator's own account is trusted; at start,
      // running as the system, it is not.
      {"the installing account may write, judged by it",
       std::string("O:BAD:(A;;FA;;;SY)(A;;FA;;;") + ADMIN + ")", ADMIN, true, true},
      {"the installing account may write, judged by the service",
       std::string("O:BAD:(A;;FA;;;SY)(A;;FA;;;") + ADMIN + ")", SYSTEM, true, false},
      {"CREATOR OWNER on what is made there", "O:SYD:(A;;FA;;;SY)(A;OICIIO;FA;;;CO)", SYSTEM, true,
       true},
      {"CREATOR OWNER on the folder itself", "O:SYD:(A;;FA;;;SY)(A;;FA;;;CO)", SYSTEM, true, false},
      {"everyone may write what is made there, above", "O:SYD:(A;;FA;;;SY)(A;OICIIO;FA;;;WD)",
       SYSTEM, false, true},
      {"everyone may write what is made there, here", "O:SYD:(A;;FA;;;SY)(A;OICIIO;FA;;;WD)",
       SYSTEM, true, false},
      {"users may add folders, above", "O:SYD:(A;;FA;;;SY)(A;;0x1200ad;;;BU)", SYSTEM, false, true},
      {"users may add folders, here", "O:SYD:(A;;FA;;;SY)(A;;0x1200ad;;;BU)", SYSTEM, true, false},
      {"a denial takes away only", "O:SYD:(D;;FA;;;WD)(A;;FA;;;SY)", SYSTEM, true, true},
      {"as Wine shows every folder",
       "O:S-1-5-21-0-0-0-1000D:(A;OICI;FA;;;SY)(A;OICI;FA;;;S-1-5-21-0-0-0-1000)"
       "(A;OICI;0x1200a9;;;WD)",
       "S-1-5-21-0-0-0-1000", true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto safe = is_safe_folder_sddl(c.sddl, c.own, c.installation_folder);
    ASSERT_TRUE(safe) << safe.error().to_string();
    EXPECT_EQ(*safe, c.safe);
  }
}
#endif

// Real folders the test makes below the volume root and gives their rights
// itself (under Wine, Linux modes behind them): the verdict must not hang on
// where the checkout or the temporary folder lives.
TEST(InstallFolder, FoldersWithRightsSetByTheTestAreJudged) {
  struct Case {
    const char* name;
    testsupport::Rights rights;
    bool safe;
  };
  const Case cases[] = {
      {"administrators only", testsupport::Rights::AdministratorsOnly, true},
      {"everyone changes it", testsupport::Rights::EveryoneChanges, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::TempDir dir(c.name, testsupport::Where::BelowRoot);
    testsupport::set_folder_rights(dir.path(), c.rights);
    auto safe = is_safe_install_folder(dir.path());
    ASSERT_TRUE(safe) << safe.error().to_string();
    EXPECT_EQ(*safe, c.safe);
    // `install` and the running service must agree on a folder only
    // administrators may change, or an installation refuses every update.
    auto for_service = is_safe_install_folder(dir.path(), JudgedBy::Service);
    ASSERT_TRUE(for_service) << for_service.error().to_string();
    EXPECT_EQ(*for_service, c.safe);

    // A program in it, given the same rights and judged through its handle;
    // its folder is where the held file lies, even when opened by a link.
    testsupport::TempDir other("ссылка");
    const std::string program = dir.file("core");
    { std::ofstream(testsupport::fs_path(program)) << "program"; }
    testsupport::set_folder_rights(program, c.rights);
    const testsupport::FolderLink link(other.file("via"), dir.path(),
                                       testsupport::FolderLink::Kind::Symbolic);
    auto held = InputFile::open(link.made() ? join_path(other.file("via"), "core") : program);
    ASSERT_TRUE(held) << held.error().to_string();
    auto file_safe = is_safe_program_file(*held);
    ASSERT_TRUE(file_safe) << file_safe.error().to_string();
    EXPECT_EQ(*file_safe, c.safe);
    auto folder = held_file_folder(*held);
    ASSERT_TRUE(folder) << folder.error().to_string();
    EXPECT_EQ(*folder, parent_path(*canonical_path(program)));
  }
}

}  // namespace
}  // namespace ombrel::platform
