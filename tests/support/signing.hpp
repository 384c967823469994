#pragma once
// Code-signing for tests: a key and self-signed certificate made afresh by
// each test run (openssl), and Authenticode signatures made with it
// (osslsigncode). Both tools are programs of the host; under Wine they are
// started as Linux programs, with the paths translated for them; on real
// Windows the Windows builds named by OMBREL_OPENSSL and OMBREL_OSSLSIGNCODE.
#include <optional>
#include <string>
#include <string_view>

namespace ombrel::testsupport {

// `path` as the host's own programs see it: under Wine "Z:\tmp\x" is
// "/tmp/x" and "C:\..." lies in the prefix's drive folder; on Linux the
// path itself.
std::string host_path(const std::string& path);

class TestSigner {
 public:
  // A new RSA key and a self-signed code-signing certificate named `name`,
  // kept in `dir`. nullopt (with a test failure added) when openssl fails.
  static std::optional<TestSigner> make(const std::string& dir, std::string_view name);

  // Signs the program `in` into `out` (replaced when present); false (with a
  // test failure added) when osslsigncode fails.
  bool sign(const std::string& in, const std::string& out) const;
  // Signs the program in place.
  bool sign_in_place(const std::string& path) const;

 private:
  TestSigner(std::string cert, std::string key) : cert_(std::move(cert)), key_(std::move(key)) {}
  std::string cert_;
  std::string key_;
};

// Flips one byte in the middle of the program's code, leaving its signature
// as it was: the signature no longer matches the content.
void damage_program(const std::string& path);

}  // namespace ombrel::testsupport
