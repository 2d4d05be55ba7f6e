#pragma once
// What the diagnostic shows of the trusted-update settings: the verdict on the manifest's
// signature and the check of the updater's signer.

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "config/trust_settings.h"

namespace halcyra {

struct UpdateCheckReport;

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
};

// Fills report.trust from the check's record and checks the updater's signer, as a pass
// would before starting it. An update that is due but whose updater would be refused makes
// the decision a failed check: a pass would start the server.
void addTrustReport(UpdateCheckReport& report);

// Label and value of each text line.
std::vector<std::pair<std::string, std::string>> trustTextLines(const TrustReport& trust);

// The members "manifestSignature" and "updaterSigner" of the JSON report.
void writeTrustJson(rapidjson::Writer<rapidjson::StringBuffer>& writer, const TrustReport& trust);

}  // namespace halcyra
