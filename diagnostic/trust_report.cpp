#include "diagnostic/trust_report.h"

#include <string_view>

#include "diagnostic/update_check_report.h"
#include "diagnostic/utf8_text.h"
#include "update/updater_signer_check.h"

namespace halcyra {

namespace {

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

}  // namespace

void addTrustReport(UpdateCheckReport& report) {
  const UpdaterSettings& settings = report.settings;
  report.trust.keyConfigured = settings.trust.manifestPublicKey.has_value();
  report.trust.signature = settings.manifestSignature;
  if (!report.configurationRead || !settings.trust.updaterSigners || settings.updaterPath.empty()) {
    return;
  }
  SignerCheck const check = checkUpdaterSigner(settings);
  report.trust.signer = SignerReport{check.allowed, check.reason, check.thumbprint};
  if (!check.allowed && report.decision == UpdateDecision::updateDue) {
    report.decision = UpdateDecision::checkFailed;
    report.failure = "The updater " + utf8FromUtf16(settings.updaterPath) + " would not be started: " +
                     (check.reason.empty() ? std::string("the check could not be completed") : check.reason);
  }
}

std::vector<std::pair<std::string, std::string>> trustTextLines(const TrustReport& trust) {
  std::vector<std::pair<std::string, std::string>> lines;
  std::string signature(verdictName(trust.signature));
  if (!trust.keyConfigured) {
    signature += " (no manifestPublicKey)";
  }
  lines.emplace_back("Manifest signature", signature);
  if (!trust.signer) {
    lines.emplace_back("Updater signer", "not checked (no updaterSigners, or no updater)");
  } else {
    std::string signer = trust.signer->allowed ? "allowed" : "refused: " + trust.signer->reason;
    signer += trust.signer->thumbprint.empty() ? " (no signer certificate)" : " (" + trust.signer->thumbprint + ")";
    lines.emplace_back("Updater signer", signer);
  }
  return lines;
}

void writeTrustJson(rapidjson::Writer<rapidjson::StringBuffer>& writer, const TrustReport& trust) {
  auto const text = [&writer](std::string_view value) {
    writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
  };
  writer.Key("manifestSignature");
  writer.StartObject();
  writer.Key("keyConfigured");
  writer.Bool(trust.keyConfigured);
  writer.Key("verdict");
  text(verdictName(trust.signature));
  writer.EndObject();
  writer.Key("updaterSigner");
  if (!trust.signer) {
    writer.Null();
    return;
  }
  writer.StartObject();
  writer.Key("allowed");
  writer.Bool(trust.signer->allowed);
  writer.Key("reason");
  text(trust.signer->reason);
  writer.Key("thumbprint");
  if (trust.signer->thumbprint.empty()) {
    writer.Null();
  } else {
    text(trust.signer->thumbprint);
  }
  writer.EndObject();
}

}  // namespace halcyra
