// Signatures made by osslsigncode with the certificates the build made
// for its tests, as the system judges them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>

#include "platform/files/paths.hpp"
#include "platform/trust/trust.hpp"
#include "signing.hpp"
#include "testsupport.hpp"

namespace ombrel::platform {
namespace {

using testsupport::fs_path;
using testsupport::signed_program;

TEST(ProgramSignature, TellsPublishersApartAndNoticesChanges) {
  testsupport::TempDir dir("trust");
  const std::string desktop = join_path(testsupport::bin_dir(), "standin-desktop.exe");
  // A copy of the desktop signed by ours, changed after signing as `change` does.
  const auto changed = [&](const std::string& name,
                           const std::function<void(const std::string&)>& change) {
    EXPECT_TRUE(testsupport::put_signed_program("desktop", "ours", dir.file(name)));
    change(dir.file(name));
    return dir.file(name);
  };
  const std::string damaged = changed("damaged.exe", testsupport::damage_program);
  const std::string padded = changed("padded.exe", [](const std::string& path) {
    testsupport::pad_signature_table(path, "not signed");
  });
  std::ofstream(fs_path(dir.file("notes.txt"))) << "no program at all";

  struct Case {
    std::string path;
    SignatureState state;
    bool ours = false;  // the same publisher as the desktop signed by ours
    bool extra_data = false;
  };
  const Case cases[] = {
      {desktop, SignatureState::Unsigned},
      {dir.file("notes.txt"), SignatureState::Unsigned},
      {signed_program("desktop", "ours"), SignatureState::Signed, true},
      {signed_program("xray", "ours"), SignatureState::Signed, true},
      // A second certificate of the same subject from the same authority.
      {signed_program("desktop", "renewed"), SignatureState::Signed, true},
      // The same subject from another authority, another subject from ours.
      {signed_program("desktop", "impostor"), SignatureState::Signed},
      {signed_program("desktop", "neighbour"), SignatureState::Signed},
      {signed_program("desktop", "self"), SignatureState::Signed},
      {damaged, SignatureState::Broken},
      // The root is unknown and more is wrong: no longer only the root.
      {signed_program("desktop", "servers"), SignatureState::Broken},
      {signed_program("desktop", "expired"), SignatureState::Broken},
      {padded, SignatureState::Signed, true, true},
  };
  auto reference = program_signature(signed_program("desktop", "ours"));
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
