#pragma once
// Authenticode signatures of programs (wintrust, crypt32).

#include <string>

#include "platform/types.h"

namespace halcyra::platform {

// WinVerifyTrust results the system names.
inline constexpr Dword kTrustENoSignature = 0x800B0100;  // TRUST_E_NOSIGNATURE
inline constexpr Dword kTrustEBadDigest = 0x80096010;    // TRUST_E_BAD_DIGEST

// WINTRUST_DATA's fdwRevocationChecks.
inline constexpr Dword kWtdRevokeNone = 0;
inline constexpr Dword kWtdRevokeWholeChain = 1;

// WINTRUST_DATA's dwProvFlags that every verification sets: WTD_CACHE_ONLY_URL_RETRIEVAL,
// so that nothing is fetched from the network (no certificate, list or responder); with
// kWtdRevokeNone also WTD_REVOCATION_CHECK_NONE.
inline constexpr Dword kWtdCacheOnlyUrlRetrieval = 0x00001000;
inline constexpr Dword kWtdRevocationCheckNone = 0x00000010;

// WinVerifyTrust(INVALID_HANDLE_VALUE, WINTRUST_ACTION_GENERIC_VERIFY_V2) on the open
// `file` named `path`: no user interface (WTD_UI_NONE), the whole chain, the given
// revocation checks, the provider flags above, a verify and a close of the state data. Returns WinVerifyTrust's
// result (0 when the signature and its chain are trusted). Whenever the state data names
// a signer, whatever the result, `signerCertificate` receives the DER of that signer's
// certificate (WTHelperProvDataFromStateData, WTHelperGetProvSignerFromChain, the first
// certificate of its chain); otherwise it is left empty.
Dword verifyFileSignature(Handle file, const char16_t* path, Dword revocationChecks, std::string& signerCertificate);

}  // namespace halcyra::platform
