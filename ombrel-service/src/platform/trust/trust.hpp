#pragma once
// Who signed a program file. Windows: the file's Authenticode signature as
// the system verifies it (WinVerifyTrust), with no network access for
// revocation lists. Linux: programs carry no signatures; every file reads
// as unsigned there.
//
// "Signed" here means that the file's content is exactly what the signer
// signed. It does not mean that anybody trusts the signer: a self-signed or
// private certificate is reported as Signed as long as the signature itself
// holds. Callers decide whom to believe by comparing `publisher` with the
// publisher they already know (the one that signed the running service).
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/error.hpp"

namespace ombrel::platform {

enum class SignatureState {
  Unsigned,  // no signature at all, or not a program the system can sign
  Broken,    // a signature that does not hold: the content was changed after
             // signing, the signature is malformed, its certificate is
             // refused for a reason other than an unknown root (its chain
             // has any other fault), or the certificate was not valid at the
             // time of signing (its timestamp's, else now) or does not
             // allow code signing
  Signed,    // the content matches the signature made by `publisher`
};

// Who a signing certificate belongs to, as far as a renewal keeps it: the
// subject's organisation and common name, and the public key of the
// certificate that issued it (algorithm, parameters and key bits). Two
// certificates with equal publishers name the same subject and were
// signed with the same authority's key.
struct Publisher {
  std::string organization;
  std::string common_name;
  std::string issuer_key;
  friend bool operator==(const Publisher&, const Publisher&) = default;
};

struct ProgramSignature {
  SignatureState state = SignatureState::Unsigned;
  // Empty unless Signed.
  Publisher publisher;
  // Signed, but the file holds bytes outside what was signed: after the
  // signature table, or inside it past the signature (what Windows checks
  // only with EnableCertPaddingCheck). Such bytes would be installed
  // unsigned with the program.
  bool extra_data = false;
  // The system's verdict as a number (0 when it trusted the file fully),
  // and the error bits of the certificate chain it built (CERT_TRUST_IS_*;
  // 0 when it built none or found no fault), for diagnostics only.
  long status = 0;
  unsigned long chain_status = 0;
};

// Whether programs here carry signatures worth asking for (Windows); where
// they do not (Linux), `program_signature` reads every file as unsigned.
extern const bool PROGRAMS_CARRY_SIGNATURES;

// The signature of the program at `path`. Fails only when the file cannot
// be opened or the system cannot be asked.
Result<ProgramSignature> program_signature(const std::string& path);

// Where a PE file's signature table lies (the security directory: a file
// offset and a size), read from the file's first bytes; nullopt when
// `headers` is not a PE file whose headers lie within them, or the entry is
// empty. Pure, shared by both ports for their tests.
struct SignatureTable {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};
std::optional<SignatureTable> signature_table_of(std::string_view headers);

// Whether the signature table's bytes hold nothing but signatures: every
// entry (WIN_CERTIFICATE) is one DER object followed by fewer than eight
// zero bytes that pad it to the eight-byte boundary, and the entries fill
// the table exactly.
bool signature_table_is_tight(std::string_view table);

}  // namespace ombrel::platform
