#include "diagnostic/trust_report.h"

#include "service/pass_update_check.h"
#include "update/manifest_signature.h"

namespace halcyra {

std::string_view verdictName(ManifestSignatureStatus status) {
  switch (status) {
    case ManifestSignatureStatus::verified:
      return "verified";
    case ManifestSignatureStatus::keyUnreadable:
      return "key unreadable";
    case ManifestSignatureStatus::signatureMissing:
      return "signature missing";
    case ManifestSignatureStatus::signatureUnreadable:
      return "signature unreadable";
    case ManifestSignatureStatus::signatureInvalid:
      return "signature invalid";
    case ManifestSignatureStatus::expired:
      return "expired";
    case ManifestSignatureStatus::expiryUnreadable:
      return "expiry unreadable";
    case ManifestSignatureStatus::expiryMissing:
      return "no Expires";
    case ManifestSignatureStatus::replayed:
      return "replayed";
    case ManifestSignatureStatus::notChecked:
      break;
  }
  return "not checked";
}

TrustReport readTrustReport(const UpdaterSettings& settings, bool configurationRead, const UpdaterSignerCheck& decided,
                            const SignerCheck& decidedServer) {
  TrustReport trust;
  trust.keyConfigured = settings.trust.manifestPublicKey.has_value();
  trust.signature = settings.manifestSignature;
  if (configurationRead && settings.trust.serverSigners) {
    // Shown also when the decision did not need it (the updater starts).
    SignerCheck const server = decidedServer.checked ? SignerCheck{} : checkServerSigner(settings, kServerFileName);
    const SignerCheck& shown = decidedServer.checked ? decidedServer : server;
    trust.serverSigner = SignerReport{shown.allowed, shown.reason, shown.thumbprint};
  }
  if (!configurationRead || !settings.trust.updaterSigners || settings.updaterPath.empty()) {
    return trust;
  }
  if (decided.checked) {
    trust.signer = SignerReport{decided.allowed, decided.reason, decided.thumbprint};
  } else {
    UpdaterSignerCheck const check = checkUpdaterSigner(settings);
    trust.signer = SignerReport{check.allowed, check.reason, check.thumbprint};
  }
  return trust;
}

std::string publicKeyDigestText(const TrustSettings& trust) {
  if (!trust.manifestPublicKey) {
    return "(not set: the manifest is used unsigned)";
  }
  std::optional<std::string> const der = decodeBase64(*trust.manifestPublicKey);
  std::optional<std::string> const digest = der ? sha256Hex(*der) : std::nullopt;
  return digest ? "SHA-256 " + *digest : "(not base64)";
}

}  // namespace halcyra
