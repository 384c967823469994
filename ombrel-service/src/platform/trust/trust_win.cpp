// clang-format off
#include <windows.h>
#include <wintrust.h>
#include <softpub.h>
// clang-format on

#include <algorithm>
#include <string_view>

#include "base/text.hpp"
#include "platform/handle_win.hpp"
#include "platform/oserror.hpp"
#include "platform/trust/trust.hpp"

namespace ombrel::platform {

namespace {

// The verdicts that mean "there is no signature to judge".
bool means_unsigned(LONG status) {
  switch (static_cast<unsigned long>(status)) {
    case static_cast<unsigned long>(TRUST_E_NOSIGNATURE):
    case static_cast<unsigned long>(TRUST_E_SUBJECT_FORM_UNKNOWN):
    case static_cast<unsigned long>(TRUST_E_PROVIDER_UNKNOWN):
      return true;
    default:
      return false;
  }
}

// Releases what WinVerifyTrust keeps between the verify and the close call.
class TrustState {
 public:
  explicit TrustState(WINTRUST_DATA& data) : data_(data) {}
  TrustState(const TrustState&) = delete;
  TrustState& operator=(const TrustState&) = delete;
  ~TrustState() {
    data_.dwStateAction = WTD_STATEACTION_CLOSE;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data_);
  }

 private:
  WINTRUST_DATA& data_;
};

bool step_failed(const CRYPT_PROVIDER_DATA& provider, DWORD step) {
  return provider.padwTrustStepErrors == nullptr || provider.cdwTrustStepErrors <= step ||
         provider.padwTrustStepErrors[step] != ERROR_SUCCESS;
}

// The first value of the subject's attribute `oid`, "" when it has none.
std::string subject_attribute(PCCERT_CONTEXT cert, const char* oid) {
  void* type = const_cast<char*>(oid);
  const DWORD size = CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, type, nullptr, 0);
  if (size <= 1) return {};
  std::wstring text(size, L'\0');
  CertGetNameStringW(cert, CERT_NAME_ATTR_TYPE, 0, type, text.data(), size);
  text.resize(size - 1);
  return narrow(text);
}

std::string public_key_of(PCCERT_CONTEXT cert) {
  const CERT_PUBLIC_KEY_INFO& info = cert->pCertInfo->SubjectPublicKeyInfo;
  std::string key = info.Algorithm.pszObjId != nullptr ? info.Algorithm.pszObjId : "";
  key += '\0';
  key.append(reinterpret_cast<const char*>(info.Algorithm.Parameters.pbData),
             info.Algorithm.Parameters.cbData);
  key += '\0';
  key.append(reinterpret_cast<const char*>(info.PublicKey.pbData), info.PublicKey.cbData);
  return key;
}

bool signed_by(PCCERT_CONTEXT cert, PCCERT_CONTEXT issuer) {
  return CryptVerifyCertificateSignatureEx(
             0, X509_ASN_ENCODING, CRYPT_VERIFY_CERT_SIGN_SUBJECT_CERT,
             const_cast<CERT_CONTEXT*>(cert), CRYPT_VERIFY_CERT_SIGN_ISSUER_CERT,
             const_cast<CERT_CONTEXT*>(issuer), 0, nullptr) != FALSE;
}

// The publisher of the first signer: its certificate's organisation and
// common name, and the key of the certificate that issued it (the next in
// the chain the system built, or the certificate itself when it is
// self-signed). The issuer's signature on the certificate is checked here
// once more, so that the key really is the one that signed it whatever
// verdict the system gave the chain. nullopt when there is no such issuer.
std::optional<Publisher> signer_publisher(HANDLE state) {
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
  if (provider == nullptr) return std::nullopt;
  CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
  if (signer == nullptr) return std::nullopt;
  CRYPT_PROVIDER_CERT* leaf = WTHelperGetProvCertFromChain(signer, 0);
  if (leaf == nullptr || leaf->pCert == nullptr) return std::nullopt;
  PCCERT_CONTEXT issuer = leaf->pCert;
  if (signer->csCertChain > 1) {
    CRYPT_PROVIDER_CERT* next = WTHelperGetProvCertFromChain(signer, 1);
    if (next == nullptr || next->pCert == nullptr) return std::nullopt;
    issuer = next->pCert;
  }
  if (!signed_by(leaf->pCert, issuer)) return std::nullopt;
  Publisher publisher;
  publisher.organization = subject_attribute(leaf->pCert, szOID_ORGANIZATION_NAME);
  publisher.common_name = subject_attribute(leaf->pCert, szOID_COMMON_NAME);
  publisher.issuer_key = public_key_of(issuer);
  return publisher;
}

// Positioned reads, so that the file's own position does not matter.
bool read_at(HANDLE file, std::uint64_t offset, std::string& out) {
  std::size_t done = 0;
  while (done < out.size()) {
    OVERLAPPED at{};
    const std::uint64_t where = offset + done;
    at.Offset = static_cast<DWORD>(where);
    at.OffsetHigh = static_cast<DWORD>(where >> 32);
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out.size() - done, 1 << 20));
    if (!ReadFile(file, out.data() + done, want, &got, &at) || got == 0) return false;
    done += got;
  }
  return true;
}

// Whether the file holds bytes that no signature covers: anything after
// the signature table (which must end the file) or inside it past the
// signatures. A file whose table cannot be read counts as having some.
bool has_extra_data(HANDLE file) {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) return true;
  std::string headers(static_cast<std::size_t>(std::min<LONGLONG>(size.QuadPart, 65536)), '\0');
  if (!read_at(file, 0, headers)) return true;
  const auto table = signature_table_of(headers);
  if (!table || table->offset + table->size != static_cast<std::uint64_t>(size.QuadPart)) {
    return true;
  }
  // Larger than any list of certificates a signature carries.
  if (table->size > (16u << 20)) return true;
  std::string bytes(static_cast<std::size_t>(table->size), '\0');
  return !read_at(file, table->offset, bytes) || !signature_table_is_tight(bytes);
}

// The error bits of the chain the system built for the signer; 0 when none.
DWORD chain_error_status(HANDLE state) {
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
  if (provider == nullptr) return 0;
  CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
  if (signer == nullptr || signer->pChainContext == nullptr) return 0;
  return signer->pChainContext->TrustStatus.dwErrorStatus;
}

// A root the system does not know is no flaw of the signature: the digest
// and the signer's signature are checked before the chain is judged, the
// issuer's signature on the signing certificate is checked here, and the
// caller compares the publisher, the issuing key included. Only when both
// of those earlier steps are known to have passed, and the chain the
// system built has no other fault (an expired or unusable certificate, a
// broken link, a missing issuer), is such a file taken as signed: the
// verdict names one fault, not every one.
bool only_the_root_is_unknown(LONG status, HANDLE state) {
  if (static_cast<unsigned long>(status) != static_cast<unsigned long>(CERT_E_UNTRUSTEDROOT)) {
    return false;
  }
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
  if (provider == nullptr) return false;
  if (step_failed(*provider, TRUSTERROR_STEP_FINAL_OBJPROV) ||
      step_failed(*provider, TRUSTERROR_STEP_FINAL_SIGPROV)) {
    return false;
  }
  return chain_error_status(state) == CERT_TRUST_IS_UNTRUSTED_ROOT;
}

// Whether the certificate may sign code: a key usage, where it names one,
// that includes digital signatures, and an extended key usage, where it
// names any, that includes code signing.
bool allows_code_signing(PCCERT_CONTEXT cert) {
  BYTE usage = 0;
  if (CertGetIntendedKeyUsage(X509_ASN_ENCODING, cert->pCertInfo, &usage, 1) &&
      (usage & CERT_DIGITAL_SIGNATURE_KEY_USAGE) == 0) {
    return false;
  }
  const CERT_EXTENSION* extension = CertFindExtension(
      szOID_ENHANCED_KEY_USAGE, cert->pCertInfo->cExtension, cert->pCertInfo->rgExtension);
  if (extension == nullptr) return true;
  CERT_ENHKEY_USAGE* purposes = nullptr;
  DWORD size = 0;
  if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ENHANCED_KEY_USAGE, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &purposes,
                           &size)) {
    return false;
  }
  const LocalMemory owned(purposes);
  for (DWORD i = 0; i < purposes->cUsageIdentifier; ++i) {
    const char* purpose = purposes->rgpszUsageIdentifier[i];
    if (purpose != nullptr && std::string_view(purpose) == szOID_PKIX_KP_CODE_SIGNING) return true;
  }
  return false;
}

// Whether the signing certificate was valid when the file was signed (the
// time of its timestamp, which the system takes as the time to verify as
// of; without one, now) and allows code signing. Checked here whatever
// the verdict: an unknown root leaves it to us, and the rule is ours.
bool signer_certificate_fits(HANDLE state) {
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
  if (provider == nullptr) return false;
  CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
  if (signer == nullptr) return false;
  CRYPT_PROVIDER_CERT* leaf = WTHelperGetProvCertFromChain(signer, 0);
  if (leaf == nullptr || leaf->pCert == nullptr) return false;
  FILETIME signed_at = signer->sftVerifyAsOf;
  if (signed_at.dwLowDateTime == 0 && signed_at.dwHighDateTime == 0) {
    GetSystemTimeAsFileTime(&signed_at);
  }
  if (CertVerifyTimeValidity(&signed_at, leaf->pCert->pCertInfo) != 0) return false;
  return allows_code_signing(leaf->pCert);
}

}  // namespace

extern const bool PROGRAMS_CARRY_SIGNATURES = true;

Result<ProgramSignature> program_signature(const std::string& path) {
  const std::wstring wpath = wide(path);
  // Nobody may write the file while it is judged; the verdict is about
  // these very bytes.
  UniqueHandle file(CreateFileW(wpath.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return fail(last_os_error());

  WINTRUST_FILE_INFO info{};
  info.cbStruct = sizeof info;
  info.pcwszFilePath = wpath.c_str();
  info.hFile = file.get();
  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &info;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  // No network: revocation lists and missing certificates are not fetched.
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL | WTD_REVOCATION_CHECK_NONE;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const LONG status = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  const TrustState state(data);

  ProgramSignature result;
  result.status = status;
  result.chain_status = chain_error_status(data.hWVTStateData);
  if (means_unsigned(status)) {
    result.state = SignatureState::Unsigned;
  } else if (status == ERROR_SUCCESS || only_the_root_is_unknown(status, data.hWVTStateData)) {
    // A signer whose issuer cannot be named is no publisher to compare.
    auto publisher = signer_certificate_fits(data.hWVTStateData)
                         ? signer_publisher(data.hWVTStateData)
                         : std::nullopt;
    result.state = publisher ? SignatureState::Signed : SignatureState::Broken;
    if (publisher) {
      result.publisher = std::move(*publisher);
      result.extra_data = has_extra_data(file.get());
    }
  } else {
    result.state = SignatureState::Broken;
  }
  return result;
}

}  // namespace ombrel::platform
