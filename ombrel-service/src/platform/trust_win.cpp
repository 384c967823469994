// clang-format off
#include <windows.h>
#include <wintrust.h>
#include <softpub.h>
// clang-format on

#include "base/text.hpp"
#include "platform/handle_win.hpp"
#include "platform/oserror.hpp"
#include "platform/trust.hpp"

namespace ombrel::platform {

namespace {

std::wstring wide(std::string_view utf8) {
  const std::u16string u16 = utf8_to_utf16(utf8);
  return std::wstring(u16.begin(), u16.end());
}

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

// The certificate of the first signer, as encoded in the signature.
std::string signer_certificate(HANDLE state) {
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
  if (provider == nullptr) return {};
  CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
  if (signer == nullptr) return {};
  CRYPT_PROVIDER_CERT* cert = WTHelperGetProvCertFromChain(signer, 0);
  if (cert == nullptr || cert->pCert == nullptr || cert->pCert->pbCertEncoded == nullptr) return {};
  return std::string(reinterpret_cast<const char*>(cert->pCert->pbCertEncoded),
                     cert->pCert->cbCertEncoded);
}

// A root the system does not know is no flaw of the signature: the digest
// and the signer's signature are checked before the chain is judged, and
// the caller pins the signing certificate itself. Only when both of those
// earlier steps are known to have passed is such a file taken as signed.
bool only_the_root_is_unknown(LONG status, HANDLE state) {
  if (static_cast<unsigned long>(status) != static_cast<unsigned long>(CERT_E_UNTRUSTEDROOT)) {
    return false;
  }
  CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(state);
  if (provider == nullptr) return false;
  return !step_failed(*provider, TRUSTERROR_STEP_FINAL_OBJPROV) &&
         !step_failed(*provider, TRUSTERROR_STEP_FINAL_SIGPROV);
}

}  // namespace

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
  if (means_unsigned(status)) {
    result.state = SignatureState::Unsigned;
  } else if (status == ERROR_SUCCESS || only_the_root_is_unknown(status, data.hWVTStateData)) {
    result.signer = signer_certificate(data.hWVTStateData);
    result.state = result.signer.empty() ? SignatureState::Broken : SignatureState::Signed;
  } else {
    result.state = SignatureState::Broken;
  }
  return result;
}

}  // namespace ombrel::platform
