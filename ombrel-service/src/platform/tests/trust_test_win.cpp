// Signatures made by osslsigncode with certificates made for this run, as
// the system judges them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "platform/paths.hpp"
#include "platform/trust.hpp"
#include "signing.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using testsupport::fs_path;

std::string standin(std::string_view name) {
  return join_path(testsupport::bin_dir(), testsupport::exe_name(name));
}

const char* state_name(SignatureState s) {
  switch (s) {
    case SignatureState::Unsigned:
      return "unsigned";
    case SignatureState::Broken:
      return "broken";
    case SignatureState::Signed:
      return "signed";
  }
  return "?";
}

TEST(ProgramSignature, TellsPublishersApartAndNoticesChanges) {
  testsupport::TempDir dir("trust");
  auto ca = testsupport::TestAuthority::make(dir.path(), "ca");
  auto other_ca = testsupport::TestAuthority::make(dir.path(), "other");
  ASSERT_TRUE(ca && other_ca);
  auto ours = testsupport::TestSigner::make(dir.path(), "ours", &*ca);
  auto renewed = testsupport::TestSigner::make(dir.path(), "renewed", &*ca, "ours");
  auto impostor = testsupport::TestSigner::make(dir.path(), "impostor", &*other_ca, "ours");
  auto neighbour = testsupport::TestSigner::make(dir.path(), "neighbour", &*ca);
  auto self_signed = testsupport::TestSigner::make(dir.path(), "self");
  ASSERT_TRUE(ours && renewed && impostor && neighbour && self_signed);

  const std::string desktop = standin("standin-desktop");
  const std::string xray = standin("standin-xray");
  ASSERT_TRUE(ours->sign(desktop, dir.file("ours-desktop.exe")));
  ASSERT_TRUE(ours->sign(xray, dir.file("ours-xray.exe")));
  ASSERT_TRUE(renewed->sign(desktop, dir.file("renewed.exe")));
  ASSERT_TRUE(impostor->sign(desktop, dir.file("impostor.exe")));
  ASSERT_TRUE(neighbour->sign(desktop, dir.file("neighbour.exe")));
  ASSERT_TRUE(self_signed->sign(desktop, dir.file("self.exe")));
  ASSERT_TRUE(ours->sign(desktop, dir.file("damaged.exe")));
  testsupport::damage_program(dir.file("damaged.exe"));
  ASSERT_TRUE(ours->sign(desktop, dir.file("padded.exe")));
  testsupport::pad_signature_table(dir.file("padded.exe"), "not signed");
  {
    std::ofstream text(fs_path(dir.file("notes.txt")));
    text << "no program at all";
  }

  struct Case {
    std::string path;
    SignatureState state;
    bool ours = false;  // the same publisher as ours-desktop.exe
    bool extra_data = false;
  };
  const Case cases[] = {
      {desktop, SignatureState::Unsigned},
      {dir.file("notes.txt"), SignatureState::Unsigned},
      {dir.file("ours-desktop.exe"), SignatureState::Signed, true},
      {dir.file("ours-xray.exe"), SignatureState::Signed, true},
      // A second certificate of the same subject from the same authority.
      {dir.file("renewed.exe"), SignatureState::Signed, true},
      // The same subject from another authority, another subject from ours.
      {dir.file("impostor.exe"), SignatureState::Signed},
      {dir.file("neighbour.exe"), SignatureState::Signed},
      {dir.file("self.exe"), SignatureState::Signed},
      {dir.file("damaged.exe"), SignatureState::Broken},
      {dir.file("padded.exe"), SignatureState::Signed, true, true},
  };
  auto reference = program_signature(dir.file("ours-desktop.exe"));
  ASSERT_TRUE(reference);
  EXPECT_EQ(reference->publisher.organization, "Ombrel test");
  EXPECT_EQ(reference->publisher.common_name, "Ombrel test ours");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto sig = program_signature(c.path);
    ASSERT_TRUE(sig) << sig.error().to_string();
    EXPECT_STREQ(state_name(sig->state), state_name(c.state)) << std::hex << sig->status;
    EXPECT_EQ(sig->publisher == reference->publisher, c.ours);
    EXPECT_EQ(sig->publisher.issuer_key.empty(), c.state != SignatureState::Signed);
    EXPECT_EQ(sig->extra_data, c.extra_data);
  }
  EXPECT_FALSE(program_signature(dir.file("missing.exe")));
}

// The table's shape as the padding check judges it, on made-up tables.
TEST(SignatureTable, HoldsNothingButSignatures) {
  auto entry = [](std::string_view der, std::string_view after, std::uint32_t extra_length = 0) {
    std::string e(8, '\0');
    const auto length = static_cast<std::uint32_t>(8 + der.size() + after.size() + extra_length);
    for (int i = 0; i < 4; ++i)
      e[static_cast<std::size_t>(i)] = static_cast<char>(length >> (8 * i));
    e += der;
    e += after;
    return e;
  };
  const std::string der5 = std::string("\x30\x03\x02\x01\x05", 5);  // 13 bytes with the header
  const std::string pad3(3, '\0');
  struct Case {
    const char* name;
    std::string table;
    bool tight;
  };
  const Case cases[] = {
      {"one signature padded to eight", entry(der5, pad3), true},
      {"two signatures", entry(der5, pad3) + entry(der5, pad3), true},
      {"padding that is not zero", entry(der5, "\0\0x"), false},
      {"eight bytes after the signature", entry(der5, pad3 + std::string(8, '\0')), false},
      {"a length past the table", entry(der5, pad3, 8), false},
      {"an indefinite length", entry(std::string("\x30\x80\0\0\0", 5), pad3), false},
      {"a stray byte after the entries", entry(der5, pad3) + "x", false},
      {"nothing", "", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(signature_table_is_tight(c.table), c.tight) << c.name;
  }
}
}  // namespace
}  // namespace ombrel::platform
