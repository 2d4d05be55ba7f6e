#include "diagnostic/trust_report.h"

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

TrustReport readTrustReport(const UpdaterSettings& settings, bool configurationRead,
                            const UpdaterSignerCheck& decided) {
  TrustReport trust;
  trust.keyConfigured = settings.trust.manifestPublicKey.has_value();
  trust.signature = settings.manifestSignature;
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

}  // namespace halcyra
