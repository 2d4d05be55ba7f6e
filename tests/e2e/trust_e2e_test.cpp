// Trusted updates with the real service: a manifest is used only with a valid signature
// under manifestPublicKey and before its Expires, and the updater starts only when its
// Authenticode signer is one of updaterSigners. Every refusal starts the server instead,
// with its event. Keys, certificates and signed files come from trust_fixtures.sh.
//
// Under Wine, WinVerifyTrust checks the image digest but not the certificate chain, so the
// self-signed test certificates pass it; the thumbprint pin is what tells them apart.

#include <regex>

#include "e2e_fixture.h"

namespace halcyra::e2e {
namespace {

struct Case {
  const char* what;
  bool key;               // manifestPublicKey set
  bool signers;           // updaterSigners lists certificate a
  const char* manifest;   // file of the fixtures served as version.json
  const char* signature;  // served as version.json.sig; "" for none
  const char* updater;    // file of the fixtures installed as the updater; "" for the unsigned build
  bool updaterStarts;
  std::string event;  // the refusal's event, a regular expression; "" for none
};

// Event 11 carries the transfer's result after its text.
constexpr char kBadSignature[] = "0x0002 0x8000000b: Manifest signature doesn't verify under the configured key \\|.*";

TEST_F(ServiceE2E, TrustedUpdates) {
  std::string const fixtures = environment("HALCYRA_E2E_TRUST");
  ASSERT_FALSE(fixtures.empty()) << "run through trust_fixtures.sh";
  auto const fixture = [&](const std::string& name) { return readBytes(windowsPath(fixtures + "/" + name)); };
  std::string const refused = "0x0001 0xc0000010: .*sample-updater\\.exe \\| ";
  Case const cases[] = {
      {"no key, unsigned manifest", false, false, "signed.json", "", "", true, ""},
      {"signed manifest", true, false, "signed.json", "signed.json.sig", "", true, ""},
      {"one byte changed", true, false, "changed", "signed.json.sig", "", false, kBadSignature},
      {"no signature", true, false, "signed.json", "", "", false,
       "0x0002 0x8000000b: Manifest signature can't be fetched \\|.*"},
      {"another key's signature", true, false, "signed.json", "other.json.sig", "", false, kBadSignature},
      {"expired", true, false, "expired.json", "expired.json.sig", "", false,
       "0x0002 0x8000000b: Signed manifest has expired: Expires 2020-01-31T00:00:00Z \\|.*"},
      {"listed signer", true, true, "signed.json", "signed.json.sig", "updater-a.exe", true, ""},
      {"unsigned updater", false, true, "signed.json", "", "", false,
       refused + "it has no Authenticode signature \\| none"},
      {"unlisted signer", false, true, "signed.json", "", "updater-b.exe", false,
       refused + "its signer is not one of updaterSigners \\| " + fixture("thumbprint-b")},
      {"changed after signing", false, true, "signed.json", "", "updater-changed.exe", false,
       // Wine names no signer once the digest fails; Windows may.
       refused + "its Authenticode signature is not trusted \\(WinVerifyTrust 0x80096010\\) \\| (" +
           fixture("thumbprint-a") + "|none)"},
  };
  if (!installService("on-ctrl-c=exit") || !installUpdater()) return;
  std::wstring const received = root + L"\\updater\\sample-updater.received";
  std::wstring const configPath = root + L"\\resources\\updater\\config.json";
  std::string const updaterBuilt = readBytes(updaterExe);
  std::string firstReceived;
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    std::string manifest = fixture("signed.json");
    if (std::string(c.manifest) != "changed") {
      manifest = fixture(c.manifest);
    } else {
      manifest[12] = '3';  // {"Version":"3.0.0.0", ...
    }
    ASSERT_TRUE(writeManifest("version.json", manifest));
    removeFile(manifestFolder() + L"\\version.json.sig");
    if (*c.signature != '\0') {
      ASSERT_TRUE(writeManifest("version.json.sig", fixture(c.signature)));
    }
    ASSERT_TRUE(writeBytes(updaterExe, *c.updater != '\0' ? fixture(c.updater) : updaterBuilt));
    ASSERT_TRUE(writeUpdateConfig(manifestUrl()));
    std::string config = readBytes(configPath);
    std::string members;
    if (c.key) members += ", \"manifestPublicKey\": \"" + fixture("manifest-key.b64") + "\"";
    if (c.signers) members += ", \"updaterSigners\": [\"" + fixture("thumbprint-a") + "\"]";
    config.insert(config.rfind('}'), members);
    ASSERT_TRUE(writeBytes(configPath, config));
    removeFile(received);
    removeFile(root + L"\\HalcyraServer.pid");
    int const before = c.event.empty() ? 0 : tracedCount(c.event);

    if (!startService()) return;
    bool const decided = awaitUntil(30s, [&] { return exists(received) || exists(root + L"\\HalcyraServer.pid"); });
    EXPECT_TRUE(decided) << "neither the updater nor the server started";
    EXPECT_EQ(exists(received), c.updaterStarts) << "the updater";
    if (!c.event.empty()) {
      EXPECT_TRUE(awaitUntil(5s, [&] { return tracedCount(c.event) > before; })) << "event " << c.event;
    }
    // The updater receives the same configuration text with the trust settings or without.
    if (c.updaterStarts && exists(received)) {
      std::string const text = std::regex_replace(updaterReceived(), std::regex("\"pid\":[0-9]+"), "\"pid\":_");
      if (firstReceived.empty()) firstReceived = text;
      EXPECT_EQ(text, firstReceived) << "the updater's configuration differs";
    }
    ASSERT_TRUE(stopService(30s));
  }
}

}  // namespace
}  // namespace halcyra::e2e
