#pragma once
// Who signed a program file. Windows: the file's Authenticode signature as
// the system verifies it (WinVerifyTrust), with no network access for
// revocation lists. Linux: programs carry no signatures; every file reads
// as unsigned there.
//
// "Signed" here means that the file's content is exactly what the signer
// signed. It does not mean that anybody trusts the signer: a self-signed or
// private certificate is reported as Signed as long as the signature itself
// holds. Callers decide whom to believe by comparing `signer` with a
// certificate they already know (the one that signed the running service).
#include <string>

#include "base/error.hpp"

namespace ombrel::platform {

enum class SignatureState {
  Unsigned,  // no signature at all, or not a program the system can sign
  Broken,    // a signature that does not hold: the content was changed after
             // signing, the signature is malformed, or its certificate is
             // refused for a reason other than an unknown root
  Signed,    // the content matches the signature made with `signer`
};

struct ProgramSignature {
  SignatureState state = SignatureState::Unsigned;
  // The signing certificate, encoded as it stands in the signature (DER);
  // empty unless Signed.
  std::string signer;
  // The system's verdict as a number (0 when it trusted the file fully),
  // for diagnostics only.
  long status = 0;
};

// The signature of the program at `path`. Fails only when the file cannot
// be opened or the system cannot be asked.
Result<ProgramSignature> program_signature(const std::string& path);

}  // namespace ombrel::platform
