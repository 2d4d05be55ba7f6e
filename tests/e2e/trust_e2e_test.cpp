// Trusted updates with the real service: a manifest is used only with a valid signature
// under manifestPublicKey, an Expires ahead and a version no lower than the one accepted
// before; the updater and the server start only when their Authenticode signer is one of
// updaterSigners and serverSigners. Keys, certificates and signed files come from
// trust_fixtures.sh.
//
// Under Wine, WinVerifyTrust checks the image digest but not the certificate chain, so the
// self-signed test certificates pass it; the thumbprint pin is what tells them apart.

#include <cstdio>
#include <initializer_list>
#include <regex>
#include <thread>
#include <utility>

#include "e2e_fixture.h"

namespace halcyra::e2e {
namespace {

enum class Starts { updater, server, nothing };

class TrustE2E : public ServiceE2E {
 protected:
  const std::wstring received = root + L"\\updater\\sample-updater.received";
  const std::wstring diagnosticExe = root + L"\\bin\\HalcyraUpdateCheck.exe";

  std::string fixture(const std::string& name) {
    return readBytes(windowsPath(environment("HALCYRA_E2E_TRUST") + "/" + name));
  }
  bool install() {
    if (!need(!environment("HALCYRA_E2E_TRUST").empty(), "run through trust_fixtures.sh")) return false;
    run(L"reg.exe delete HKLM\\SOFTWARE\\Halcyra /f");  // no version mark from an earlier run
    return installService("on-ctrl-c=exit") && installUpdater() &&
           need(writeBytes(diagnosticExe, fixture("diagnostic.exe")), "could not install the diagnostic");
  }
  // Serves `manifest` (its bytes; empty: none, a 404) and the fixture `signature` (""
  // none), installs the fixtures `updater` and `server` ("": as built) and writes the
  // configuration for the update server `url` with `members` added.
  bool prepare(const std::string& manifest, const char* signature, const char* updater, const char* server,
               const std::string& members, const std::string& url = manifestUrl()) {
    removeFile(manifestFolder() + L"\\version.json");
    removeFile(manifestFolder() + L"\\version.json.sig");
    std::wstring const configPath = root + L"\\resources\\updater\\config.json";
    bool ok = (manifest.empty() || writeManifest("version.json", manifest)) &&
              (*signature == '\0' || writeManifest("version.json.sig", fixture(signature))) &&
              writeBytes(updaterExe, fixture(*updater != '\0' ? updater : "updater.exe")) &&
              writeBytes(root + L"\\HalcyraServer.exe", fixture(*server != '\0' ? server : "server.exe")) &&
              writeUpdateConfig(url);
    std::string config = readBytes(configPath);
    config.insert(config.rfind('}'), members);
    removeFile(received);
    removeFile(root + L"\\HalcyraServer.pid");
    return need(ok && writeBytes(configPath, config), "could not prepare the case");
  }
  // Starts the service and waits up to 30 s for the `expected` program to start (for the
  // event when nothing is expected), then for the event `event` (a regular expression; ""
  // for none) to be traced once more than before; returns what started.
  Starts startAndAwait(Starts expected, const std::string& event) {
    int const before = event.empty() ? 0 : tracedCount(event);
    if (!startService()) return Starts::nothing;
    auto const started = [&] {
      return exists(received)                        ? Starts::updater
             : exists(root + L"\\HalcyraServer.pid") ? Starts::server
                                                     : Starts::nothing;
    };
    auto const seen = [&] { return !event.empty() && tracedCount(event) > before; };
    awaitUntil(30s, [&] {
      return expected == Starts::nothing ? seen() || started() != Starts::nothing : started() == expected;
    });
    if (!event.empty()) {
      EXPECT_TRUE(awaitUntil(5s, seen)) << "event " << event;
    }
    return started();
  }
  std::string keyMember() { return ", \"manifestPublicKey\": \"" + fixture("manifest-key.b64") + "\""; }
  std::string signers(const char* list, const std::string& entry) {
    return ", \"" + std::string(list) + "\": [\"" + entry + "\"]";
  }

 private:
  static bool need(bool ok, const std::string& what) {
    if (!ok) ADD_FAILURE() << what;
    return ok;
  }
};

// Runs chmod on the Unix side (Wine starts a Unix program as it is) on each of `paths` below
// drive_c, whose last part may be a pattern for find, so that no non-ASCII name needs
// converting on the way. Wine 8 runs the program but reports CreateProcessW failing (error
// 6): the scenario sees what the chmod did in what follows.
void chmodBelowDriveC(const std::string& mode, std::initializer_list<std::string> paths) {
  for (std::string const& path : paths) {
    std::size_t const slash = path.rfind('/');
    std::string const line = "Z:\\usr\\bin\\find " + environment("HALCYRA_E2E_PREFIX") + "/drive_c/" +
                             path.substr(0, slash) + " -maxdepth 1 -name " + path.substr(slash + 1) +
                             " -exec /bin/chmod " + mode + " {} ;";
    run(std::wstring(line.begin(), line.end()), 20s);
  }
}

// Event 11 carries the transfer's result after its text.
constexpr char kBadSignature[] = "0x0002 0x8000000b: Manifest signature doesn't verify under the configured key \\|.*";

// The verdicts on the manifest and the updater, in order on one installation: a version
// accepted from a signed manifest is the mark that a later, lower one is refused against,
// by a service started afresh. After each case HalcyraUpdateCheck.exe exits with 0 when the
// updater started and 2 when it was refused.
TEST_F(TrustE2E, TrustedUpdates) {
  struct Case {
    const char* what;
    std::string members;    // the trust members of the configuration
    const char* manifest;   // fixture served as version.json; "" for none (a 404)
    const char* signature;  // served as version.json.sig; "" for none
    const char* updater;    // fixture installed as the updater; "" for the unsigned build
    bool updaterStarts;
    std::string event;                // the refusal's event, a regular expression; "" for none
    std::string diagnosticSays = "";  // found in the diagnostic's text, a regular expression
  };
  if (!install()) return;
  std::string const key = keyMember();
  std::string const listed = signers("updaterSigners", fixture("thumbprint-a"));
  std::string const refused = "0x0001 0xc0000010: .*sample-updater\\.exe \\| ";
  std::string const failed = "0x0002 0x8000000b: ";
  Case const cases[] = {
      {"no key, unsigned manifest", "", "signed.json", "", "", true, ""},
      {"signed manifest", key, "signed.json", "signed.json.sig", "", true, "",
       fixture("manifest-key.sha256") + "[\\s\\S]*Expires in force: +20"},
      {"one byte changed", key, "changed", "signed.json.sig", "", false, kBadSignature},
      {"no signature", key, "signed.json", "", "", false, failed + "Manifest signature can't be fetched \\|.*"},
      {"another key's signature", key, "signed.json", "other.json.sig", "", false, kBadSignature},
      {"expired", key, "expired.json", "expired.json.sig", "", false,
       failed + "Signed manifest has expired: Expires 2020-01-31T00:00:00Z \\|.*"},
      {"a lower version: a replay", key, "older.json", "older.json.sig", "", false,
       failed + "Signed manifest announces 1\\.5\\.0\\.0, lower than 2\\.0\\.0\\.0 .*replay.*",
       "1\\.5\\.0\\.0, lower than 2\\.0\\.0\\.0"},
      {"no Expires", key, "noexpires.json", "noexpires.json.sig", "", false,
       failed + "Signed manifest has no Expires .*"},
      {"no manifest (404)", key, "", "", "", false, failed + "Invalid remote update config \\| .* \\| 404",
       "Failure: +Invalid remote update config[\\s\\S]*HTTP status 404"},
      {"listed signer", key + listed, "signed.json", "signed.json.sig", "updater-a.exe", true, ""},
      {"unsigned updater", listed, "signed.json", "", "", false, refused + "it has no Authenticode signature \\| none"},
      {"unlisted signer", listed, "signed.json", "", "updater-b.exe", false,
       refused + "its signer is not one of updaterSigners \\| " + fixture("thumbprint-b")},
      {"changed after signing", listed, "signed.json", "", "updater-changed.exe", false,
       // Wine names no signer once the digest fails; Windows may.
       refused + "its Authenticode signature is not trusted \\(WinVerifyTrust 0x80096010\\) \\| (" +
           fixture("thumbprint-a") + "|none)"},
      {"a whole sha256sum line as signer", signers("updaterSigners", fixture("thumbprint-a") + "  -"), "signed.json",
       "", "updater-a.exe", false, "0x0001 0xc0000014: updaterSigners: .*  -.*", "Configuration error"},
  };
  std::string firstReceived;
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    std::string manifest = fixture(std::string(c.manifest) == "changed" ? "signed.json" : c.manifest);
    if (std::string(c.manifest) == "changed") manifest[12] = '3';  // {"Version":"3.0.0.0", ...
    ASSERT_TRUE(prepare(manifest, c.signature, c.updater, "", c.members));
    Starts const expected = c.updaterStarts ? Starts::updater : Starts::server;
    EXPECT_EQ(startAndAwait(expected, c.event), expected);
    // The updater receives the same configuration text with the trust settings or without.
    if (c.updaterStarts && exists(received)) {
      std::string const text = std::regex_replace(updaterReceived(), std::regex("\"pid\":[0-9]+"), "\"pid\":_");
      if (firstReceived.empty()) firstReceived = text;
      EXPECT_EQ(text, firstReceived) << "the updater's configuration differs";
    }
    ASSERT_TRUE(stopService(30s));
    Outcome const diagnostic = run(commandLine({diagnosticExe}));
    EXPECT_EQ(diagnostic.exitCode, c.updaterStarts ? 0u : 2u) << diagnostic.output;
    EXPECT_TRUE(std::regex_search(diagnostic.output, std::regex(c.diagnosticSays))) << c.diagnosticSays << "\n"
                                                                                    << diagnostic.output;
  }
  Outcome const mark = run(L"reg.exe query HKLM\\SOFTWARE\\Halcyra\\HalcyraService\\ManifestVersions");
  EXPECT_NE(mark.output.find("2.0.0.0"), std::string::npos) << mark.output;
}

// The server starts only when its trusted signer is one of serverSigners. A refused server
// is not started, and its event is folded while the refusal repeats; an update that is due
// runs its updater, which passes its own check.
TEST_F(TrustE2E, ServerSigners) {
  if (!install()) return;
  std::string const refused = "0x0001 0xc0000013: HalcyraServer\\.exe \\| ";
  struct Case {
    const char* what;
    const char* server;    // fixture installed as the server; "" for the unsigned build
    const char* manifest;  // current.json: no update due; signed.json: one is due
    Starts starts;
    std::string event;
  };
  Case const cases[] = {
      {"listed signer", "server-a.exe", "current.json", Starts::server, ""},
      {"unsigned", "", "current.json", Starts::nothing, refused + "it has no Authenticode signature \\| none \\| 1 .*"},
      {"unlisted signer", "server-b.exe", "current.json", Starts::nothing,
       refused + "its signer is not one of serverSigners \\| " + fixture("thumbprint-b") + " \\| 1 .*"},
      {"changed after signing", "server-changed.exe", "current.json", Starts::nothing,
       refused + "its Authenticode signature is not trusted \\(WinVerifyTrust 0x80096010\\) \\| .* \\| 1 .*"},
      {"refused, an update due: the updater", "", "signed.json", Starts::updater, ""},
  };
  std::string const members =
      signers("serverSigners", fixture("thumbprint-a")) + signers("updaterSigners", fixture("thumbprint-a"));
  for (Case const& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(prepare(fixture(c.manifest), "", "updater-a.exe", c.server, members));
    EXPECT_EQ(startAndAwait(c.starts, c.event), c.starts);
    if (std::string(c.what) == "unsigned") {
      // A pass every 3 s for a minute: the first refusal, then every 10th with its count.
      std::this_thread::sleep_for(60s);
      EXPECT_FALSE(exists(root + L"\\HalcyraServer.pid"));
      EXPECT_TRUE(traced(refused + ".* \\| 10 \\| 10")) << "the 10th refusal is reported with its count";
      EXPECT_LE(tracedCount(refused + ".*"), 3) << "one event per pass is a flood";
    }
    ASSERT_TRUE(stopService(30s));
  }
}

// The manifest and its signature share the check's 60 s: over an update server that
// trickles each for 52 s, the server starts as late as without a signature, not 50 s later.
TEST_F(TrustE2E, TricklingServerWithSigning) {
  if (!install() ||
      !prepare("", "", "", "", keyMember(), "http://127.0.0.1:" + environment("HALCYRA_E2E_TRICKLE_PORT"))) {
    return;
  }
  Stopwatch const since;
  if (!startService()) return;
  ASSERT_TRUE(awaitUntil(90s, [&] { return exists(root + L"\\HalcyraServer.pid"); }));
  std::printf("sc start to the server: %.1f s\n", static_cast<double>(since.ms()) / 1000);
  EXPECT_LT(since.ms(), 70000) << "3 s to the first pass and 60 s for the transfers, and Wine's start";
  EXPECT_TRUE(traced("0x0002 0x8000000b: Manifest signature can't be fetched \\| .*")) << "the signature's turn came";
  ASSERT_TRUE(stopService(30s));
}

// The trust check of the service and of HalcyraUpdateCheck.exe under Wine, which shows a Unix
// "chmod o+w" as an access entry that lets Everyone write. The prefix's user owns every file
// and is an administrator, so the owner raises nothing, and Wine's default layout reads as
// closed.
TEST_F(TrustE2E, OpenPathsKeepTheUpdaterFromStarting) {
  if (!install()) return;
  auto const refusal = [](const std::string& named) {
    return "0x0002 0x8000000e: .*" + named + ".*\\| The updater is not started while its path is open.*";
  };
  // The updater, then its folder, writable by others: the server starts instead, and event
  // 14 names the object (as Wine's trace shows it).
  for (auto const& [path, named] :
       {std::pair{"halcyra-e2e/Halcyra/updater/sample-updater.exe", R"(updater\\\\sample-updater\.exe)"},
        std::pair{"halcyra-e2e/Halcyra/updater", R"(Halcyra\\\\updater)"}}) {
    SCOPED_TRACE(path);
    ASSERT_TRUE(prepare(fixture("signed.json"), "", "", "", ""));
    chmodBelowDriveC("o+w", {path});
    EXPECT_EQ(startAndAwait(Starts::server, refusal(named + std::string(": writable by Everyone"))), Starts::server);
    ASSERT_TRUE(stopService(30s));
    chmodBelowDriveC("o-w", {path});
  }

  // HalcyraUpdateCheck.exe names an open resources folder, an open folder above a non-ASCII
  // updaterPath (read from the configuration's bytes one unit each, as the service does),
  // and an open tempFolder.
  std::wstring const other = base + L"\\Up\u00E9";
  ASSERT_TRUE(makeFolders(other) && makeFolders(base + L"\\tmp") &&
              copyFile(updaterExe, other + L"\\sample-updater.exe"));
  std::wstring const configPath = root + L"\\resources\\updater\\config.json";
  std::string config = readBytes(configPath);
  std::string const updater = updaterPathJson();
  config.replace(config.find(updater), updater.size(), "C:\\\\halcyra-e2e\\\\Up\xE9\\\\sample-updater.exe");
  ASSERT_TRUE(writeBytes(configPath, config));
  // config.json readable by others would be named too (the password): o-r first.
  std::initializer_list<std::string> const opened = {"halcyra-e2e/Halcyra/resources", "halcyra-e2e/Up*",
                                                     "halcyra-e2e/tmp"};
  chmodBelowDriveC("o-r", {"halcyra-e2e/Halcyra/resources/updater/config.json"});
  chmodBelowDriveC("o+w", opened);
  std::string const output = run(commandLine({diagnosticExe})).output;
  for (const char* line : {"open: C:\\halcyra-e2e\\Halcyra\\resources: writable by Everyone",
                           "open: C:\\halcyra-e2e\\Up\xC3\xA9: writable by Everyone",
                           "open: C:\\halcyra-e2e\\tmp: writable by Everyone"}) {
    EXPECT_EQ(countLines(output, line), 1) << line << " in:\n" << output;
  }
  EXPECT_EQ(countLines(output, "Trust boundary:"), 3) << "nothing else is open:\n" << output;

  // Closed again, with the updater where it was: the updater runs.
  chmodBelowDriveC("o-w", opened);
  EXPECT_EQ(countLines(run(commandLine({diagnosticExe})).output, "closed: only SYSTEM"), 1);
  ASSERT_TRUE(prepare(fixture("signed.json"), "", "", "", ""));
  int const refusals = tracedCount(refusal(""));
  EXPECT_EQ(startAndAwait(Starts::updater, ""), Starts::updater);
  EXPECT_EQ(tracedCount(refusal("")), refusals);
  ASSERT_TRUE(stopService(30s));
}

}  // namespace
}  // namespace halcyra::e2e
