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

TEST(ProgramSignature, TellsSignersApartAndNoticesChanges) {
  testsupport::TempDir dir("trust");
  auto ours = testsupport::TestSigner::make(dir.path(), "ours");
  auto theirs = testsupport::TestSigner::make(dir.path(), "theirs");
  ASSERT_TRUE(ours && theirs);

  const std::string desktop = standin("standin-desktop");
  const std::string xray = standin("standin-xray");
  ASSERT_TRUE(ours->sign(desktop, dir.file("ours-desktop.exe")));
  ASSERT_TRUE(ours->sign(xray, dir.file("ours-xray.exe")));
  ASSERT_TRUE(theirs->sign(desktop, dir.file("theirs-desktop.exe")));
  ASSERT_TRUE(ours->sign(desktop, dir.file("damaged.exe")));
  testsupport::damage_program(dir.file("damaged.exe"));
  {
    std::ofstream text(fs_path(dir.file("notes.txt")));
    text << "no program at all";
  }

  struct Case {
    std::string path;
    SignatureState state;
  };
  const Case cases[] = {
      {desktop, SignatureState::Unsigned},
      {dir.file("notes.txt"), SignatureState::Unsigned},
      {dir.file("ours-desktop.exe"), SignatureState::Signed},
      {dir.file("ours-xray.exe"), SignatureState::Signed},
      {dir.file("theirs-desktop.exe"), SignatureState::Signed},
      {dir.file("damaged.exe"), SignatureState::Broken},
  };
  std::map<std::string, std::string> signers;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    auto sig = program_signature(c.path);
    ASSERT_TRUE(sig) << sig.error().to_string();
    EXPECT_STREQ(state_name(sig->state), state_name(c.state)) << std::hex << sig->status;
    EXPECT_EQ(sig->signer.empty(), c.state != SignatureState::Signed);
    signers[c.path] = sig->signer;
  }
  // One certificate gives the same signer on every program it signs; another
  // certificate never does.
  EXPECT_EQ(signers[dir.file("ours-desktop.exe")], signers[dir.file("ours-xray.exe")]);
  EXPECT_NE(signers[dir.file("ours-desktop.exe")], signers[dir.file("theirs-desktop.exe")]);

  EXPECT_FALSE(program_signature(dir.file("missing.exe")));
}

}  // namespace
}  // namespace ombrel::platform
