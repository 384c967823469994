// Signatures made by osslsigncode with certificates made for this run, as
// the system judges them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "platform/files/paths.hpp"
#include "platform/trust/trust.hpp"
#include "signing.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using testsupport::fs_path;

std::string standin(std::string_view name) {
  return join_path(testsupport::bin_dir(), testsupport::exe_name(name));
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
  // Our publisher's name and authority, on certificates that may not sign.
  auto for_servers =
      testsupport::TestSigner::make(dir.path(), "servers", &*ca, "ours", {"serverAuth"});
  auto expired =
      testsupport::TestSigner::make(dir.path(), "expired", &*ca, "ours", {.expired = true});
  ASSERT_TRUE(ours && renewed && impostor && neighbour && self_signed && for_servers && expired);

  const std::string desktop = standin("standin-desktop");
  // A signed copy of `program` in the folder.
  const auto by = [&](const testsupport::TestSigner& signer, const std::string& name,
                      const std::string& program) {
    EXPECT_TRUE(signer.sign(program, dir.file(name)));
    return dir.file(name);
  };
  const std::string damaged = by(*ours, "damaged.exe", desktop);
  testsupport::damage_program(damaged);
  const std::string padded = by(*ours, "padded.exe", desktop);
  testsupport::pad_signature_table(padded, "not signed");
  std::ofstream(fs_path(dir.file("notes.txt"))) << "no program at all";

  struct Case {
    std::string path;
    SignatureState state;
    bool ours = false;  // the same publisher as ours-desktop.exe
    bool extra_data = false;
  };
  const Case cases[] = {
      {desktop, SignatureState::Unsigned},
      {dir.file("notes.txt"), SignatureState::Unsigned},
      {by(*ours, "ours-desktop.exe", desktop), SignatureState::Signed, true},
      {by(*ours, "ours-xray.exe", standin("standin-xray")), SignatureState::Signed, true},
      // A second certificate of the same subject from the same authority.
      {by(*renewed, "renewed.exe", desktop), SignatureState::Signed, true},
      // The same subject from another authority, another subject from ours.
      {by(*impostor, "impostor.exe", desktop), SignatureState::Signed},
      {by(*neighbour, "neighbour.exe", desktop), SignatureState::Signed},
      {by(*self_signed, "self.exe", desktop), SignatureState::Signed},
      {damaged, SignatureState::Broken},
      // The root is unknown and more is wrong: no longer only the root.
      {by(*for_servers, "for-servers.exe", desktop), SignatureState::Broken},
      {by(*expired, "expired.exe", desktop), SignatureState::Broken},
      {padded, SignatureState::Signed, true, true},
  };
  auto reference = program_signature(dir.file("ours-desktop.exe"));
  ASSERT_TRUE(reference);
  EXPECT_EQ(reference->publisher.organization, "Ombrel test");
  EXPECT_EQ(reference->publisher.common_name, "Ombrel test ours");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto sig = program_signature(c.path);
    ASSERT_TRUE(sig) << sig.error().to_string();
    EXPECT_EQ(sig->state, c.state)
        << std::hex << "status 0x" << sig->status << ", chain 0x" << sig->chain_status;
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
