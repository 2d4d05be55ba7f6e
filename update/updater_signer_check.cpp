#include "update/updater_signer_check.h"

#include <cstdio>

#include "config/config_file.h"
#include "platform/authenticode.h"
#include "platform/files.h"
#include "platform/signature.h"

namespace halcyra {

namespace {

constexpr platform::Dword kGenericRead = 0x80000000;
constexpr platform::Dword kOpenExisting = 3;

// Revocation is not asked, and nothing is fetched from the network (the provider's
// cache-only retrieval): the lists and responders would have to be reachable by the service
// at every launch, or no program could start offline, and a slow one would hold the start.
// A certificate that must no longer be trusted is taken out of the list instead.
constexpr platform::Dword kRevocationChecks = platform::kWtdRevokeNone;

void refuse(SignerCheck& check, std::string_view reason) {
  check.allowed = false;
  check.reason.assign(reason);
}

bool listed(const std::vector<std::u16string>& signers, const std::string& thumbprint) {
  for (const std::u16string& signer : signers) {
    if (normalizeThumbprint(signer) == thumbprint) {
      return true;
    }
  }
  return false;
}

void runCheck(const std::u16string& name, const std::vector<std::u16string>& signers, std::string_view listName,
              SignerCheck& check) {
  // WinVerifyTrust takes a full path: a relative name (the server's) is resolved against
  // the working folder, as its launch resolves it. Should that fail, the open fails too.
  std::u16string path = fullPathOf(name);
  if (path.empty()) {
    path = name;
  }
  // Reading shared with readers only: a writer, a rename and a delete now fail.
  check.file.reset(
      platform::CreateFileW(path.c_str(), kGenericRead, platform::kFileShareRead, nullptr, kOpenExisting, 0, nullptr));
  // Room for the longest of the texts with a number in them, a 10-digit code included.
  char text[80];
  if (!check.file) {
    std::snprintf(text, sizeof text, "it can't be opened for the check (error %u)",
                  static_cast<unsigned>(platform::GetLastError()));
    refuse(check, text);
    return;
  }
  std::string certificate;
  platform::Dword const trust =
      platform::verifyFileSignature(check.file.get(), path.c_str(), kRevocationChecks, certificate);
  if (!certificate.empty()) {
    check.thumbprint = sha256Hex(certificate).value_or(std::string());
  }
  if (trust == platform::kTrustENoSignature) {
    refuse(check, "it has no Authenticode signature");
  } else if (trust != 0) {
    std::snprintf(text, sizeof text, "its Authenticode signature is not trusted (WinVerifyTrust 0x%08X)",
                  static_cast<unsigned>(trust));
    refuse(check, text);
  } else if (check.thumbprint.empty()) {
    refuse(check, "its signer's certificate can't be read");
  } else if (!listed(signers, check.thumbprint)) {
    refuse(check, "its signer is not one of ");
    check.reason += listName;
  }
}

}  // namespace

std::optional<std::string> sha256Hex(std::string_view bytes) {
  platform::Sha256Digest digest{};
  if (platform::sha256(bytes, digest) != platform::kStatusSuccess) {
    return std::nullopt;
  }
  constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (std::uint8_t const byte : digest) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0xF]);
  }
  return out;
}

SignerCheck checkProgramSigner(const std::u16string& path, const std::optional<std::vector<std::u16string>>& signers,
                               std::string_view listName) noexcept {
  SignerCheck check;
  if (!signers) {
    return check;
  }
  check.checked = true;
  try {
    runCheck(path, *signers, listName, check);
  } catch (...) {
    check.allowed = false;
    check.reason.clear();  // no memory for a text: the event says the check failed
  }
  return check;
}

SignerCheck checkUpdaterSigner(const UpdaterSettings& settings) noexcept {
  return checkProgramSigner(settings.updaterPath, settings.trust.updaterSigners, "updaterSigners");
}

SignerCheck checkServerSigner(const UpdaterSettings& settings, const std::u16string& serverPath) noexcept {
  return checkProgramSigner(serverPath, settings.trust.serverSigners, "serverSigners");
}

}  // namespace halcyra
