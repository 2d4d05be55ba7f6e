#pragma once
// What the diagnostic shows of the trusted-update settings: the verdict on the manifest's
// signature and the check of the updater's signer.

#include <optional>
#include <string>
#include <string_view>

#include "config/trust_settings.h"
#include "config/updater_settings.h"
#include "update/updater_signer_check.h"

namespace halcyra {

struct SignerReport {
  bool allowed = false;
  std::string reason;      // why not; empty when allowed
  std::string thumbprint;  // the signer's, lower-case hex; empty when none was found
};

struct TrustReport {
  bool keyConfigured = false;
  ManifestSignatureStatus signature = ManifestSignatureStatus::notChecked;
  // Present when updaterSigners is configured and the updater could be named.
  std::optional<SignerReport> signer;
  // Present when serverSigners is configured.
  std::optional<SignerReport> serverSigner;
};

// The trust settings of the check's record. `decided` is the updater's signer as the launch
// decision checked it; when the decision did not need it (no update due), the signer is
// checked here, to be shown only.
TrustReport readTrustReport(const UpdaterSettings& settings, bool configurationRead, const UpdaterSignerCheck& decided,
                            const SignerCheck& decidedServer);

// manifestPublicKey as the SHA-256 of its DER form (lower-case hex), so that two machines
// can be compared during a key rollover; a text that says why when there is none.
std::string publicKeyDigestText(const TrustSettings& trust);

std::string_view verdictName(ManifestSignatureStatus status);

}  // namespace halcyra
