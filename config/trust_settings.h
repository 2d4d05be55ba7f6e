#pragma once
// The two settings that make an update trusted, and what the check found of the manifest's
// signature. Only the service reads them: they are no part of the updater's configuration
// text, so the updater's command line is the same with them or without them.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace halcyra {

struct TrustSettings {
  // "manifestPublicKey": base64 of the DER SubjectPublicKeyInfo of the ECDSA P-256 key that
  // signs the release manifest. None: the manifest is used unsigned. A member of another
  // type is kept as an empty text, which no check accepts: a configured key never falls
  // back to trusting an unsigned manifest.
  std::optional<std::u16string> manifestPublicKey;
  // "updaterSigners": the SHA-256 thumbprints (hex) of the certificates allowed to sign the
  // updater. None: the updater is started unchecked. A member that is not an array leaves
  // the list empty, which refuses every updater; elements that are not strings are dropped.
  std::optional<std::vector<std::u16string>> updaterSigners;

  friend bool operator==(const TrustSettings&, const TrustSettings&) = default;
};

// The trust settings of a configuration text (the same text fromJson reads; it ends at
// its first U+0000). A text that is not a JSON object yields none.
TrustSettings readTrustSettings(std::u16string_view text);

// What an update check found of the manifest's signature.
enum class ManifestSignatureStatus {
  notChecked,           // no key configured, or the check ended before
  verified,             // signed under the configured key and not expired
  keyUnreadable,        // the configured key is not base64 of a P-256 SubjectPublicKeyInfo
  signatureMissing,     // the signature could not be fetched
  signatureUnreadable,  // what was fetched is not a DER ECDSA signature
  signatureInvalid,     // the signature does not verify under the key
  expired,              // a valid signature, but the manifest's Expires has passed
  expiryUnreadable,     // a valid signature, but Expires is not a UTC time
};

}  // namespace halcyra
