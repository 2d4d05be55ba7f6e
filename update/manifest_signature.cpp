#include "update/manifest_signature.h"

#include <rapidjson/document.h>

#include <array>
#include <cstddef>

#include "platform/system_time.h"
#include "update/update_server_client.h"
#include "update/version_mark.h"

namespace halcyra {

namespace {

constexpr char kKeyUnreadable[] = "Manifest public key can't be read";
constexpr char kSignatureMissing[] = "Manifest signature can't be fetched";
constexpr char kSignatureUnreadable[] = "Manifest signature is not a DER ECDSA signature";
constexpr char kSignatureInvalid[] = "Manifest signature doesn't verify under the configured key";
constexpr char kExpiredPrefix[] = "Signed manifest has expired: Expires ";
constexpr char kExpiryUnreadable[] = "Signed manifest's Expires is not a UTC time like 2027-01-31T00:00:00Z";
constexpr char kExpiryMissing[] =
    "Signed manifest has no Expires (the member's name is case-sensitive), which a signed manifest must have";
constexpr char kManifestTransferFailed[] = "Invalid remote update config";

constexpr unsigned char kSequence = 0x30;
constexpr unsigned char kInteger = 0x02;
constexpr unsigned char kBitString = 0x03;

// AlgorithmIdentifier's content: id-ecPublicKey (1.2.840.10045.2.1), prime256v1 (1.2.840.10045.3.1.7).
constexpr std::string_view kP256Algorithm{
    "\x06\x07\x2A\x86\x48\xCE\x3D\x02\x01"
    "\x06\x08\x2A\x86\x48\xCE\x3D\x03\x01\x07",
    19};

constexpr std::uint64_t kFileTimeTicksPerSecond = 10000000;
constexpr std::uint64_t kFileTimeUnixEpochSeconds = 11644473600;  // 1601-01-01 to 1970-01-01

// Reads one DER element with `tag` at the front of `input`; its content, with `input`
// moved past it. Only definite lengths in their shortest form (up to 65535 bytes) count.
std::optional<std::string_view> readElement(std::string_view& input, unsigned char tag) {
  if (input.size() < 2 || static_cast<unsigned char>(input[0]) != tag) {
    return std::nullopt;
  }
  auto const byte = [&input](std::size_t at) {
    return static_cast<std::size_t>(static_cast<unsigned char>(input[at]));
  };
  std::size_t length = byte(1);
  std::size_t header = 2;
  if (length == 0x81) {
    if (input.size() < 3 || byte(2) < 0x80) {
      return std::nullopt;
    }
    length = byte(2);
    header = 3;
  } else if (length == 0x82) {
    if (input.size() < 4 || byte(2) == 0) {
      return std::nullopt;
    }
    length = byte(2) << 8 | byte(3);
    header = 4;
  } else if (length >= 0x80) {
    return std::nullopt;
  }
  if (input.size() - header < length) {
    return std::nullopt;
  }
  std::string_view const content = input.substr(header, length);
  input.remove_prefix(header + length);
  return content;
}

// A positive DER INTEGER below 2^256, left-padded into 32 bytes at `out`.
bool readCoordinate(std::string_view& input, std::uint8_t* out) {
  std::optional<std::string_view> value = readElement(input, kInteger);
  if (!value || value->empty() || (static_cast<unsigned char>(value->front()) & 0x80) != 0) {
    return false;  // empty or negative
  }
  if (value->size() > 1 && value->front() == '\0') {
    if ((static_cast<unsigned char>((*value)[1]) & 0x80) == 0) {
      return false;  // a leading zero DER does not allow
    }
    value->remove_prefix(1);
  }
  if (value->size() > 32 || value->find_first_not_of('\0') == std::string_view::npos) {
    return false;  // too large, or zero
  }
  std::size_t const padding = 32 - value->size();
  std::fill(out, out + padding, std::uint8_t{0});
  for (std::size_t i = 0; i < value->size(); ++i) {
    out[padding + i] = static_cast<std::uint8_t>((*value)[i]);
  }
  return true;
}

int base64Value(char16_t c) {
  if (c >= u'A' && c <= u'Z') {
    return c - u'A';
  }
  if (c >= u'a' && c <= u'z') {
    return c - u'a' + 26;
  }
  if (c >= u'0' && c <= u'9') {
    return c - u'0' + 52;
  }
  if (c == u'+') {
    return 62;
  }
  if (c == u'/') {
    return 63;
  }
  return -1;
}

bool isWhiteSpace(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n'; }

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
  year -= month <= 2 ? 1 : 0;
  std::int64_t const era = year / 400;
  auto const yearOfEra = static_cast<unsigned>(year - era * 400);
  unsigned const dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  unsigned const dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

// The "Expires" member of a manifest that is a JSON object: none when there is none (or
// the manifest is no JSON object, which the manifest's own parse rejects afterwards); an
// empty text when the member is not a string.
std::optional<std::string> expiresOf(std::string_view manifest) {
  rapidjson::Document document;
  document.Parse<rapidjson::kParseIterativeFlag>(std::string(manifest.substr(0, manifest.find('\0'))).c_str());
  if (document.HasParseError() || !document.IsObject()) {
    return std::nullopt;
  }
  const rapidjson::Value& root = document;
  auto const member = root.FindMember("Expires");
  if (member == root.MemberEnd()) {
    return std::nullopt;
  }
  if (!member->value.IsString()) {
    return std::string();
  }
  return std::string(member->value.GetString(), member->value.GetStringLength());
}

}  // namespace

std::u16string manifestSignaturePath(std::u16string_view versionFile) {
  std::u16string path = releaseManifestPath(versionFile);
  path += u".sig";
  return path;
}

std::optional<std::string> decodeBase64(std::u16string_view text) {
  std::string out;
  std::uint32_t group = 0;
  std::size_t inGroup = 0;
  std::size_t padding = 0;
  for (char16_t const c : text) {
    if (isWhiteSpace(c)) {
      continue;
    }
    if (c == u'=') {
      // Padding only in the last two places of the last group.
      if (inGroup < 2) {
        return std::nullopt;
      }
      ++padding;
      ++inGroup;
    } else {
      int const value = base64Value(c);
      if (value < 0 || padding > 0) {
        return std::nullopt;
      }
      group = group << 6 | static_cast<std::uint32_t>(value);
      ++inGroup;
    }
    if (inGroup == 4) {
      group <<= 6 * padding;
      std::size_t const bytes = 3 - padding;
      for (std::size_t i = 0; i < bytes; ++i) {
        out.push_back(static_cast<char>((group >> (16 - 8 * i)) & 0xFF));
      }
      if (padding > 0) {
        padding = 3;  // nothing may follow a padded group
      }
      group = 0;
      inGroup = 0;
    }
  }
  if (inGroup != 0) {
    return std::nullopt;
  }
  return out;
}

std::optional<platform::P256PublicPoint> parseP256PublicKey(std::string_view spkiDer) {
  std::optional<std::string_view> info = readElement(spkiDer, kSequence);
  if (!info || !spkiDer.empty()) {
    return std::nullopt;
  }
  std::optional<std::string_view> const algorithm = readElement(*info, kSequence);
  std::optional<std::string_view> const key = readElement(*info, kBitString);
  // No unused bits, the uncompressed form (0x04), then X and Y.
  if (!algorithm || *algorithm != kP256Algorithm || !key || !info->empty() || key->size() != 66 || (*key)[0] != '\0' ||
      (*key)[1] != '\x04') {
    return std::nullopt;
  }
  platform::P256PublicPoint point{};
  for (std::size_t i = 0; i < point.size(); ++i) {
    point[i] = static_cast<std::uint8_t>((*key)[2 + i]);
  }
  return point;
}

std::optional<platform::P256Signature> parseEcdsaSignature(std::string_view der) {
  std::optional<std::string_view> pair = readElement(der, kSequence);
  if (!pair || !der.empty()) {
    return std::nullopt;
  }
  platform::P256Signature signature{};
  if (!readCoordinate(*pair, signature.data()) || !readCoordinate(*pair, signature.data() + 32) || !pair->empty()) {
    return std::nullopt;
  }
  return signature;
}

std::optional<std::uint64_t> parseUtcTime(std::string_view text) {
  constexpr std::string_view kForm = "dddd-dd-ddTdd:dd:ddZ";
  if (text.size() != kForm.size()) {
    return std::nullopt;
  }
  for (std::size_t i = 0; i < kForm.size(); ++i) {
    bool const digit = text[i] >= '0' && text[i] <= '9';
    if (kForm[i] == 'd' ? !digit : text[i] != kForm[i]) {
      return std::nullopt;
    }
  }
  auto const number = [text](std::size_t at, std::size_t length) {
    unsigned value = 0;
    for (std::size_t i = at; i < at + length; ++i) {
      value = value * 10 + static_cast<unsigned>(text[i] - '0');
    }
    return value;
  };
  unsigned const year = number(0, 4);
  unsigned const month = number(5, 2);
  unsigned const day = number(8, 2);
  unsigned const hour = number(11, 2);
  unsigned const minute = number(14, 2);
  unsigned const second = number(17, 2);
  bool const leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  constexpr std::array<unsigned, 12> kDays = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > kDays[month - 1] + (month == 2 && leap ? 1U : 0U) ||
      hour > 23 || minute > 59 || second > 59) {
    return std::nullopt;
  }
  std::uint64_t const seconds = static_cast<std::uint64_t>(daysFromCivil(year, month, day)) * 86400 +
                                std::uint64_t{hour} * 3600 + std::uint64_t{minute} * 60 + second;
  return (seconds + kFileTimeUnixEpochSeconds) * kFileTimeTicksPerSecond;
}

ManifestSignatureStatus judgeManifest(std::u16string_view publicKeyBase64, std::string_view manifest,
                                      const std::optional<std::string>& signature, std::uint64_t now) {
  std::optional<std::string> const keyDer = decodeBase64(publicKeyBase64);
  std::optional<platform::P256PublicPoint> const key = keyDer ? parseP256PublicKey(*keyDer) : std::nullopt;
  if (!key) {
    return ManifestSignatureStatus::keyUnreadable;
  }
  if (!signature) {
    return ManifestSignatureStatus::signatureMissing;
  }
  std::optional<platform::P256Signature> const pair = parseEcdsaSignature(*signature);
  if (!pair) {
    return ManifestSignatureStatus::signatureUnreadable;
  }
  platform::Dword const status = platform::verifyEcdsaP256Sha256(*key, manifest, *pair);
  if (status == platform::kStatusInvalidParameter) {
    return ManifestSignatureStatus::keyUnreadable;  // a well-formed key that is no point of the curve
  }
  if (status != platform::kStatusSuccess) {
    return ManifestSignatureStatus::signatureInvalid;
  }
  // Only a signed manifest's Expires counts: it is the publisher's word, not the server's.
  // It is required: it bounds how long an old manifest, served again, keeps a machine that
  // never sees the newer one on an old release.
  std::optional<std::string> const expires = expiresOf(manifest);
  if (!expires) {
    return ManifestSignatureStatus::expiryMissing;
  }
  std::optional<std::uint64_t> const until = parseUtcTime(*expires);
  if (!until) {
    return ManifestSignatureStatus::expiryUnreadable;
  }
  if (now >= *until) {
    return ManifestSignatureStatus::expired;
  }
  return ManifestSignatureStatus::verified;
}

std::string manifestSignatureFailure(ManifestSignatureStatus status, std::string_view manifest) {
  const char* text = "";
  switch (status) {
    case ManifestSignatureStatus::keyUnreadable:
      text = kKeyUnreadable;
      break;
    case ManifestSignatureStatus::signatureMissing:
      text = kSignatureMissing;
      break;
    case ManifestSignatureStatus::signatureUnreadable:
      text = kSignatureUnreadable;
      break;
    case ManifestSignatureStatus::signatureInvalid:
      text = kSignatureInvalid;
      break;
    case ManifestSignatureStatus::expired: {
      std::string expired = kExpiredPrefix;
      if (std::optional<std::string> const expires = expiresOf(manifest)) {
        expired += *expires;
      }
      return expired;
    }
    case ManifestSignatureStatus::expiryUnreadable:
      text = kExpiryUnreadable;
      break;
    case ManifestSignatureStatus::expiryMissing:
      text = kExpiryMissing;
      break;
    case ManifestSignatureStatus::replayed:  // needs the versions: see checkVersionMark
    case ManifestSignatureStatus::notChecked:
    case ManifestSignatureStatus::verified:
      break;
  }
  return text;
}

bool checkManifestSignature(UpdaterSettings& settings, UpdateServerClient& client, const std::string& manifest) {
  if (!settings.trust.manifestPublicKey) {
    return true;
  }
  auto const fail = [&settings](std::string text) {
    settings.hasError = true;
    settings.updateAvailable = false;
    settings.lastError = std::move(text);
    return false;
  };
  // What a failed transfer left is never judged: it fails as an unusable manifest, as it
  // would unsigned, and so does an HTTP error status (the body is the server's error
  // page). The manifest's own failure comes first: no signature is asked for.
  if (client.lastTransfer().curlCode != 0 || client.lastTransfer().responseCode >= 400) {
    return fail(kManifestTransferFailed);
  }
  // Same server, credentials, limits and stop as the manifest. An HTTP error status
  // means the server has no signature, whatever body it sent along.
  std::optional<std::string> signature(std::in_place);
  if (!client.downloadToStream(manifestSignaturePath(settings.versionFile), *signature) ||
      client.lastTransfer().responseCode >= 400) {
    signature.reset();
  }
  settings.manifestSignature =
      judgeManifest(*settings.trust.manifestPublicKey, manifest, signature, platform::GetSystemTimeAsFileTime());
  if (settings.manifestSignature != ManifestSignatureStatus::verified) {
    return fail(manifestSignatureFailure(settings.manifestSignature, manifest));
  }
  settings.manifestExpires = expiresOf(manifest).value_or(std::string());
  return true;
}

bool checkVersionMark(UpdaterSettings& settings, const std::u16string& address, bool raiseMark) {
  if (settings.manifestSignature != ManifestSignatureStatus::verified) {
    return true;
  }
  if (settings.versionMark && versionBefore(settings.remoteVersion, *settings.versionMark)) {
    settings.manifestSignature = ManifestSignatureStatus::replayed;
    settings.hasError = true;
    settings.updateAvailable = false;
    settings.lastError = replayFailure(settings.remoteVersion, *settings.versionMark);
    return false;
  }
  if (raiseMark && settings.versionMark != settings.remoteVersion) {
    // Best effort: a mark that cannot be written leaves the last one, which still holds.
    static_cast<void>(writeVersionMark(address, settings.remoteVersion));
  }
  return true;
}

std::string replayFailure(const VersionNumber& announced, const VersionNumber& mark) {
  std::string text = "Signed manifest announces ";
  auto const append = [&text](const VersionNumber& version) {
    std::u16string const dotted = formatVersionNumber(version);
    text.append(dotted.begin(), dotted.end());
  };
  append(announced);
  text += ", lower than ";
  append(mark);
  text += " accepted before from this address: an old manifest served again (a replay)";
  return text;
}

}  // namespace halcyra
