// Trusted updates: the manifest's signature and expiry, and the DER forms read on the way. Keys and signatures are made
// here with libcrypto.

#include <gtest/gtest.h>
#include <openssl/bn.h>
#include <openssl/ecdsa.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <string>

#include "platform/sim/sim.h"
#include "update/manifest_signature.h"
#include "update/update_check.h"
#include "update/updater_launch.h"
#include "update/version_mark.h"

namespace halcyra {
namespace {

struct Key {
  EVP_PKEY* pkey = EVP_EC_gen("P-256");
  ~Key() { EVP_PKEY_free(pkey); }
  std::string spki() const {
    unsigned char* der = nullptr;
    int const size = i2d_PUBKEY(pkey, &der);
    std::string out(reinterpret_cast<char*>(der), static_cast<std::size_t>(size));
    OPENSSL_free(der);
    return out;
  }
  std::u16string base64() const {
    std::string const der = spki();
    std::string text(4 * ((der.size() + 2) / 3) + 1, '\0');
    text.resize(static_cast<std::size_t>(EVP_EncodeBlock(reinterpret_cast<unsigned char*>(text.data()),
                                                         reinterpret_cast<const unsigned char*>(der.data()),
                                                         static_cast<int>(der.size()))));
    return {text.begin(), text.end()};
  }
  std::string sign(const std::string& data) const {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    std::size_t size = 0;
    EVP_DigestSignInit(context, nullptr, EVP_sha256(), nullptr, pkey);
    EVP_DigestSign(context, nullptr, &size, reinterpret_cast<const unsigned char*>(data.data()), data.size());
    std::string out(size, '\0');
    EVP_DigestSign(context, reinterpret_cast<unsigned char*>(out.data()), &size,
                   reinterpret_cast<const unsigned char*>(data.data()), data.size());
    EVP_MD_CTX_free(context);
    out.resize(size);
    return out;
  }
};

constexpr char16_t kConfigFile[] = u"C:\\Halcyra\\resources\\updater\\config.json";
constexpr char16_t kUpdater[] = u"C:\\Halcyra\\updater\\HalcyraUpdater.exe";
constexpr char kManifest[] = R"({"Version":"1.3.0.0","Files":[],"Expires":"2026-06-02T00:00:00Z"})";
using Status = ManifestSignatureStatus;

// One check over a file:// server; trustMembers go into the configuration. `pass` makes it
// the service's pass, which raises the version mark; a new machine unless `keepMachine`.
UpdaterSettings check(const std::filesystem::path& server, const std::string& trustMembers, const std::string& manifest,
                      const std::optional<std::string>& signature, const std::string& versionFile = "v.json",
                      bool pass = false, bool keepMachine = false) {
  if (!keepMachine) sim::reset();
  sim::setCurrentDirectory(u"C:\\Halcyra");
  std::string const url = "file://" + server.generic_string();
  sim::addFile(kConfigFile, R"({"server":")" + url +
                                R"(","relativeAppPath":"HalcyraServer.exe","login":"",)"
                                R"("password":"","versionFile":")" +
                                versionFile +
                                R"(","useGUI":0,"enableUpdate":true,)"
                                R"("autoUpdate":true,"updaterPath":"C:\\Halcyra\\updater\\HalcyraUpdater.exe")" +
                                trustMembers + "}");
  sim::addFile(kUpdater, "MZ");
  sim::addFile(u"C:\\Halcyra\\HalcyraServer.exe", "MZ");
  sim::setVersionInfo(u"C:\\Halcyra\\HalcyraServer.exe", 0x00010002, 0, 0x00010002, 0);
  std::filesystem::remove_all(server);
  std::filesystem::create_directories(server / "latest");
  std::ofstream(server / "latest" / versionFile, std::ios::binary) << manifest;
  if (signature) std::ofstream(server / "latest" / (versionFile + ".sig"), std::ios::binary) << *signature;
  UpdaterSettings settings;
  ManifestSource source;
  source.raiseVersionMark = pass;
  ManifestOutcome outcome;
  ::testing::internal::CaptureStdout();
  checkForUpdate(settings, "resources\\updater\\config.json", u"HalcyraServer.exe", nullptr, source, outcome);
  ::testing::internal::GetCapturedStdout();
  return settings;
}

TEST(TrustedManifest, UsesOnlyAManifestSignedUnderTheKeyAndNotExpired) {
  Key const key, other;
  std::filesystem::path const server = std::filesystem::temp_directory_path() / "halcyra_trust_test";
  std::u16string const keyText = key.base64();
  std::string const keyMember =
      R"(,"manifestPublicKey":")" + std::string(keyText.begin(), keyText.end()) + R"(","updaterSigners":[])";
  std::string const past = R"({"Version":"1.3.0.0","Files":[],"Expires":"2026-05-31T23:59:59Z"})";
  std::string const future = R"({"Version":"1.3.0.0","Files":[],"Expires":"2026-06-01T00:00:01Z"})";
  std::string const none = R"({"Version":"1.3.0.0","Files":[]})";
  std::string const misspelt = R"({"Version":"1.3.0.0","Files":[],"expires":"2026-06-02T00:00:00Z"})";
  constexpr char kNoExpires[] =
      "Signed manifest has no Expires (the member's name is case-sensitive), which a signed manifest must have";
  std::string const badTime = R"({"Version":"1.3.0.0","Files":[],"Expires":"2026-02-30T00:00:00Z"})";
  std::string tampered = kManifest;
  tampered[13] = '4';
  constexpr char kNotVerified[] = "Manifest signature doesn't verify under the configured key";
  struct Row {
    const char* what;
    std::string trust, manifest;
    std::optional<std::string> signature;
    Status status;
    const char* lastError;
  };
  Row const rows[] = {
      {"no key: unsigned and used", "", kManifest, std::nullopt, Status::notChecked, ""},
      {"no key: Expires ignored", "", past, std::nullopt, Status::notChecked, ""},
      {"signed", keyMember, kManifest, key.sign(kManifest), Status::verified, ""},
      {"signed, Expires a second ahead", keyMember, future, key.sign(future), Status::verified, ""},
      {"signed, no Expires", keyMember, none, key.sign(none), Status::expiryMissing, kNoExpires},
      {"signed, Expires misspelt", keyMember, misspelt, key.sign(misspelt), Status::expiryMissing, kNoExpires},
      {"one byte changed", keyMember, tampered, key.sign(kManifest), Status::signatureInvalid, kNotVerified},
      {"another key's signature", keyMember, kManifest, other.sign(kManifest), Status::signatureInvalid, kNotVerified},
      {"no signature", keyMember, kManifest, std::nullopt, Status::signatureMissing,
       "Manifest signature can't be fetched"},
      {"signature not DER", keyMember, kManifest, "garbage", Status::signatureUnreadable,
       "Manifest signature is not a DER ECDSA signature"},
      {"expired", keyMember, past, key.sign(past), Status::expired,
       "Signed manifest has expired: Expires 2026-05-31T23:59:59Z"},
      {"Expires no date", keyMember, badTime, key.sign(badTime), Status::expiryUnreadable,
       "Signed manifest's Expires is not a UTC time like 2027-01-31T00:00:00Z"},
      {"key not base64", R"(,"manifestPublicKey":"MFkw*")", kManifest, key.sign(kManifest), Status::keyUnreadable,
       "Manifest public key can't be read"},
      {"key of another type", R"(,"manifestPublicKey":5)", kManifest, key.sign(kManifest), Status::keyUnreadable,
       "Manifest public key can't be read"},
  };
  std::optional<std::u16string> commandLine;
  for (Row const& row : rows) {
    UpdaterSettings const settings = check(server, row.trust, row.manifest, row.signature);
    EXPECT_EQ(settings.manifestSignature, row.status) << row.what;
    EXPECT_EQ(settings.lastError, row.lastError) << row.what;
    EXPECT_EQ(settings.updateAvailable, *row.lastError == '\0') << row.what;
    // The trust settings never reach the updater: its command line is the same with them.
    if (settings.updateAvailable) {
      std::u16string const line = buildUpdaterCommandLine(settings);
      EXPECT_EQ(line, commandLine.value_or(line)) << row.what;
      commandLine = line;
    }
  }
  std::filesystem::remove_all(server);
}

// The highest version accepted from a signed manifest is kept per address, and a lower one
// signed later is a replay. Rows run in order on one machine.
TEST(TrustedManifest, RefusesASignedManifestBelowTheVersionAcceptedAtItsAddress) {
  Key const key, other;
  std::filesystem::path const server = std::filesystem::temp_directory_path() / "halcyra_mark_test";
  std::u16string const keyText = key.base64();
  std::string const keyMember = R"(,"manifestPublicKey":")" + std::string(keyText.begin(), keyText.end()) + "\"";
  struct Row {
    const char* what;
    const char* version;
    const char* versionFile;
    bool validSignature, pass;
    Status status;
    const char* markAfter;  // the mark of v.json afterwards
  };
  Row const rows[] = {
      {"first signed manifest", "2.0.0.0", "v.json", true, true, Status::verified, "2.0.0.0"},
      {"lower: a replay", "1.9.9.9", "v.json", true, true, Status::replayed, "2.0.0.0"},
      {"the same again", "2.0.0.0", "v.json", true, true, Status::verified, "2.0.0.0"},
      {"lower, signed by another key", "1.0.0.0", "v.json", false, true, Status::signatureInvalid, "2.0.0.0"},
      {"higher, read by the diagnostic", "3.0.0.0", "v.json", true, false, Status::verified, "2.0.0.0"},
      {"higher build", "2.0.1.0", "v.json", true, true, Status::verified, "2.0.1.0"},
      {"another address starts afresh", "1.0.0.0", "beta.json", true, true, Status::verified, "2.0.1.0"},
      {"lower build: a replay", "2.0.0.9", "v.json", true, true, Status::replayed, "2.0.1.0"},
  };
  for (Row const& row : rows) {
    std::string const manifest =
        std::string(R"({"Version":")") + row.version + R"(","Files":[],"Expires":"2026-06-02T00:00:00Z"})";
    UpdaterSettings const settings =
        check(server, keyMember, manifest, (row.validSignature ? key : other).sign(manifest), row.versionFile, row.pass,
              &row != rows);
    EXPECT_EQ(settings.manifestSignature, row.status) << row.what;
    if (row.status == Status::replayed) {
      // The mark the previous row left.
      EXPECT_NE(settings.lastError.find(std::string(row.version) + ", lower than " + (&row)[-1].markAfter),
                std::string::npos)
          << row.what << ": " << settings.lastError;
    }
    std::optional<VersionNumber> const mark =
        readVersionMark(transferUrl(u"file://" + server.generic_u16string(), u"latest/v.json"));
    std::u16string const markText = mark ? formatVersionNumber(*mark) : u"";
    EXPECT_EQ(std::string(markText.begin(), markText.end()), row.markAfter) << row.what;
  }
  std::filesystem::remove_all(server);
}

// Random r and s of every length, with and without DER's sign byte, read back exactly;
// any shorter or longer copy of the encoding is refused.
TEST(SignatureDer, ReadsWhatLibcryptoWritesAndNothingElse) {
  std::mt19937 engine(20261207);
  for (int round = 0; round < 2000; ++round) {
    platform::P256Signature expected{};
    for (std::size_t half = 0; half < 2; ++half) {
      std::size_t const length = 1 + engine() % 32;
      for (std::size_t i = 32 - length; i < 32; ++i) expected[half * 32 + i] = static_cast<std::uint8_t>(engine());
      expected[half * 32 + 31] |= 1;  // never zero
    }
    ECDSA_SIG* pair = ECDSA_SIG_new();
    ECDSA_SIG_set0(pair, BN_bin2bn(expected.data(), 32, nullptr), BN_bin2bn(expected.data() + 32, 32, nullptr));
    unsigned char* der = nullptr;
    int const size = i2d_ECDSA_SIG(pair, &der);
    std::string const encoded(reinterpret_cast<char*>(der), static_cast<std::size_t>(size));
    OPENSSL_free(der);
    ECDSA_SIG_free(pair);
    EXPECT_EQ(parseEcdsaSignature(encoded), expected) << "round " << round;
    EXPECT_FALSE(parseEcdsaSignature(encoded.substr(0, engine() % encoded.size()))) << "round " << round;
    EXPECT_FALSE(parseEcdsaSignature(encoded + '\0')) << "round " << round;
  }
  Key const key;
  std::u16string wrapped = key.base64();
  wrapped.insert(40, u"\r\n ");
  EXPECT_EQ(decodeBase64(wrapped), key.spki()) << "a wrapped key reads the same";
}

}  // namespace
}  // namespace halcyra
