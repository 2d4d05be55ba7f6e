#pragma once
// The settings that make an update trusted, and what the check found of the manifest's
// signature. Only the service reads them: they are no part of the updater's configuration
// text, so the updater's command line is the same with them or without them. They are read
// with the rest of the configuration, in the same parse (UpdaterSettings::readJson).

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
  // "updaterSigners" and "serverSigners": the SHA-256 thumbprints (hex) of the certificates
  // allowed to sign the updater and the server. None: that program is started unchecked.
  // A member that is not an array leaves the list empty, which refuses every program;
  // elements that are not strings are dropped.
  std::optional<std::vector<std::u16string>> updaterSigners;
  std::optional<std::vector<std::u16string>> serverSigners;
  // Every entry of those lists that can never match a thumbprint, one line each in the form
  // "updaterSigners: <entry>": an administrator's mistake (a whole sha256sum line, a cut-off
  // thumbprint) that would otherwise only ever refuse silently.
  std::vector<std::u16string> malformedSigners;

  friend bool operator==(const TrustSettings&, const TrustSettings&) = default;
};

// A configured thumbprint in the form compared: 64 lower-case hex digits, with colons,
// spaces and tabs dropped and case ignored; empty when it is not one.
std::string normalizeThumbprint(std::u16string_view text);

// What an update check found of the manifest's signature.
enum class ManifestSignatureStatus {
  notChecked,           // no key configured, or the check ended before
  verified,             // signed under the configured key, not expired, not older than the mark
  keyUnreadable,        // the configured key is not base64 of a P-256 SubjectPublicKeyInfo
  signatureMissing,     // the signature could not be fetched
  signatureUnreadable,  // what was fetched is not a DER ECDSA signature
  signatureInvalid,     // the signature does not verify under the key
  expired,              // a valid signature, but the manifest's Expires has passed
  expiryUnreadable,     // a valid signature, but Expires is not a UTC time
  expiryMissing,        // a valid signature, but the manifest has no Expires
  replayed,             // a valid signature, but a lower Version than one accepted before
};

}  // namespace halcyra
