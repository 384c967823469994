#pragma once
// Code-signing for tests: a key and self-signed certificate made afresh by
// each test run (openssl), and Authenticode signatures made with it
// (osslsigncode). Both tools are programs of the host; under Wine they are
// started as Linux programs, with the paths translated for them; on real
// Windows the Windows builds named by OMBREL_OPENSSL and OMBREL_OSSLSIGNCODE.
#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace ombrel::testsupport {

// A certificate authority of its own for a test run: a key and a
// self-signed CA certificate ("/O=Ombrel test/CN=Ombrel test authority NAME").
class TestAuthority {
 public:
  static std::optional<TestAuthority> make(const std::string& dir, std::string_view name);
  const std::string& cert() const { return cert_; }
  const std::string& key() const { return key_; }

 private:
  TestAuthority(std::string cert, std::string key) : cert_(std::move(cert)), key_(std::move(key)) {}
  std::string cert_;
  std::string key_;
};

// What a test signer's certificate allows: the extended key usage it names,
// and whether it is valid at all (an expired one has its end before its
// start, so no moment is within it; only with an authority).
struct SignerShape {
  std::string_view usage = "codeSigning";
  bool expired = false;
};

class TestSigner {
 public:
  // A new RSA key and a code-signing certificate, kept in `dir` under
  // `name`: self-signed with the common name "Ombrel test NAME" when no
  // authority is given; otherwise issued by `authority` to
  // "/O=Ombrel test/CN=Ombrel test SUBJECT" (`subject` defaults to `name`),
  // and signatures carry the authority's certificate too. Two signers made
  // with the same authority and subject are the same publisher with two
  // certificates (a renewal). nullopt (with a test failure added) when
  // openssl fails.
  static std::optional<TestSigner> make(const std::string& dir, std::string_view name,
                                        const TestAuthority* authority = nullptr,
                                        std::string_view subject = {}, SignerShape shape = {});

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

// Rewrites an unsigned program's version resource in place: its fixed
// FileVersion and ProductVersion become `version` (a.b.c.d) and, where
// `rename_from` is given, every UTF-16 occurrence of that name becomes
// `rename_to`, which must be as long (the stand-in desktop application
// made into a service build: "ombrel-desktop" and "ombrel-service").
void restamp_program(const std::string& path, const std::array<unsigned, 4>& version,
                     std::string_view rename_from = {}, std::string_view rename_to = {});

// Adds `bytes` inside a signed program's signature table, after its
// signature, growing the table over them: the signature still holds, and
// the bytes are signed by nobody.
void pad_signature_table(const std::string& path, std::string_view bytes);

}  // namespace ombrel::testsupport
