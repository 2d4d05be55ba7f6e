#pragma once
// The release manifest's signature: the configured public key and the fetched signature
// read from their DER forms, the verification of the manifest's bytes under that key, and
// the manifest's expiry.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "config/updater_settings.h"
#include "platform/signature.h"

namespace halcyra {

class UpdateServerClient;

// The signature's path below the server: the manifest's path with ".sig" appended.
std::u16string manifestSignaturePath(std::u16string_view versionFile);

// Standard base64 (RFC 4648 alphabet, "=" padding to a multiple of four characters).
// White space anywhere is skipped, so that a pasted, wrapped key reads the same. None for
// any other character, a misplaced "=" or a wrong length.
std::optional<std::string> decodeBase64(std::u16string_view text);

// The point of a DER SubjectPublicKeyInfo whose algorithm is id-ecPublicKey on prime256v1
// and whose key is an uncompressed point. None for anything else: another curve or
// algorithm, a compressed point, lengths that are not DER's shortest, bytes after the end.
std::optional<platform::P256PublicPoint> parseP256PublicKey(std::string_view spkiDer);

// r || s of a DER ECDSA-Sig-Value (SEQUENCE of two INTEGERs), each left-padded to 32 bytes.
// None unless both are positive, minimally encoded and below 2^256, and nothing follows.
std::optional<platform::P256Signature> parseEcdsaSignature(std::string_view der);

// "YYYY-MM-DDTHH:MM:SSZ" (UTC, exactly this form) as a FILETIME; none for another form,
// a date that does not exist, or a year before 1970.
std::optional<std::uint64_t> parseUtcTime(std::string_view text);

// The verdict on a manifest (its bytes exactly as served) under the base64 key: its
// signature (none: it could not be fetched), then its "Expires" member, which a signed
// manifest must have, against `now` (a FILETIME). The manifest's other contents are not
// looked at.
ManifestSignatureStatus judgeManifest(std::u16string_view publicKeyBase64, std::string_view manifest,
                                      const std::optional<std::string>& signature, std::uint64_t now);

// The check's failure text for each verdict but verified, replayed and notChecked.
std::string manifestSignatureFailure(ManifestSignatureStatus status, std::string_view manifest);

// With a key configured: fetches the signature of the manifest that `client` has just
// transferred, judges `manifest` and records the verdict. False, after setting hasError
// and lastError, when the manifest must not be used, a failed manifest transfer included.
// Without a key, true and nothing fetched.
bool checkManifestSignature(UpdaterSettings& settings, UpdateServerClient& client, const std::string& manifest);

// After a verified manifest's Version was read into remoteVersion: compares it with the
// version mark of the manifest's `address`, as read into versionMark before the transfer
// (the mark only ever rises, and only this check raises it). Lower is a replay: false, after setting
// hasError, lastError and the verdict replayed. Otherwise true, and with `raiseMark` (the
// service's pass; the diagnostic only reads) a higher version becomes the mark. Without a
// verified signature true, and the mark is neither read nor written.
bool checkVersionMark(UpdaterSettings& settings, const std::u16string& address, bool raiseMark);

// The failure text of a replay, naming both versions.
std::string replayFailure(const VersionNumber& announced, const VersionNumber& mark);

}  // namespace halcyra
