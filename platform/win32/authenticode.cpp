#include "platform/authenticode.h"

#include "platform/win32/windows_types.h"
// After <windows.h>, which they need.
#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

namespace halcyra::platform {

static_assert(kTrustENoSignature == static_cast<Dword>(TRUST_E_NOSIGNATURE));
static_assert(kTrustEBadDigest == static_cast<Dword>(TRUST_E_BAD_DIGEST));
static_assert(kWtdRevokeNone == WTD_REVOKE_NONE && kWtdRevokeWholeChain == WTD_REVOKE_WHOLECHAIN);
static_assert(kWtdCacheOnlyUrlRetrieval == WTD_CACHE_ONLY_URL_RETRIEVAL);
static_assert(kWtdRevocationCheckNone == WTD_REVOCATION_CHECK_NONE);

namespace {

// The DER of the first signer's certificate that the verification's state data holds.
void readSignerCertificate(HANDLE stateData, std::string& signerCertificate) {
  CRYPT_PROVIDER_DATA* const provider = WTHelperProvDataFromStateData(stateData);
  if (provider == nullptr) {
    return;
  }
  CRYPT_PROVIDER_SGNR* const signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
  if (signer == nullptr || signer->csCertChain == 0 || signer->pasCertChain == nullptr) {
    return;
  }
  PCCERT_CONTEXT const certificate = signer->pasCertChain[0].pCert;
  if (certificate == nullptr || certificate->pbCertEncoded == nullptr) {
    return;
  }
  signerCertificate.assign(reinterpret_cast<const char*>(certificate->pbCertEncoded), certificate->cbCertEncoded);
}

}  // namespace

Dword verifyFileSignature(Handle file, const char16_t* path, Dword revocationChecks, std::string& signerCertificate) {
  signerCertificate.clear();
  WINTRUST_FILE_INFO fileInfo{};
  fileInfo.cbStruct = sizeof fileInfo;
  fileInfo.pcwszFilePath = win32::wide(path);
  fileInfo.hFile = file;

  WINTRUST_DATA data{};
  data.cbStruct = sizeof data;
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = revocationChecks;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &fileInfo;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = kWtdCacheOnlyUrlRetrieval;
  if (revocationChecks == kWtdRevokeNone) {
    data.dwProvFlags |= kWtdRevocationCheckNone;
  }

  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  LONG const result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
  Dword const error = ::GetLastError();
  if (data.hWVTStateData != nullptr) {
    readSignerCertificate(data.hWVTStateData, signerCertificate);
  }
  // The close releases the state data; its own result tells nothing about the file.
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  static_cast<void>(WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data));
  ::SetLastError(error);
  return static_cast<Dword>(result);
}

}  // namespace halcyra::platform
