// The trust check of the real service and of HalcyraUpdateCheck.exe under Wine, which shows a
// Unix "chmod o+w" as an access entry that lets Everyone write. The prefix's user owns every
// file and is an administrator, so the owner raises nothing, and Wine's default layout reads
// as closed.

#include "e2e_fixture.h"

namespace halcyra::e2e {
namespace {

// Runs chmod on the Unix side (Wine starts a Unix program as it is) on `relative` below
// drive_c; `relative` may be a shell-free pattern for find, so that no non-ASCII name needs
// converting on the way.
bool chmodBelowDriveC(const std::string& mode, const std::string& folder, const std::string& name) {
  std::string const prefix = environment("HALCYRA_E2E_PREFIX");
  std::wstring const line = L"Z:\\usr\\bin\\find " + std::wstring(prefix.begin(), prefix.end()) + L"/drive_c/" +
                            std::wstring(folder.begin(), folder.end()) + L" -maxdepth 1 -name " +
                            std::wstring(name.begin(), name.end()) + L" -exec /bin/chmod " +
                            std::wstring(mode.begin(), mode.end()) + L" {} ;";
  return run(line, 20s).started;
}

TEST_F(ServiceE2E, OpenPathsKeepTheUpdaterFromStarting) {
  if (!installService("on-ctrl-c=exit") || !installUpdater()) return;
  ASSERT_TRUE(writeManifest("version.json", R"({"Version":"2.0.0.0","Files":["HalcyraServer.exe"]})"));
  ASSERT_TRUE(writeUpdateConfig(manifestUrl()));
  std::wstring const received = root + L"\\updater\\sample-updater.received";
  auto const refusal = [](const std::string& named) {
    return "0x0002 0x8000000e: .*" + named + ".*\\| The updater is not started while its path is open.*";
  };

  // The updater, then its folder, writable by others: the server starts instead, and event
  // 14 names the object.
  struct Open {
    const char* folder;
    const char* name;
    const char* named;  // the line of event 14, as Wine's trace shows it
  };
  for (Open const open : {Open{"halcyra-e2e/Halcyra/updater", "sample-updater.exe",
                               R"(updater\\\\sample-updater\.exe: writable by Everyone)"},
                          Open{"halcyra-e2e/Halcyra", "updater", R"(Halcyra\\\\updater: writable by Everyone)"}}) {
    SCOPED_TRACE(open.folder + std::string("/") + open.name);
    ASSERT_TRUE(chmodBelowDriveC("o+w", open.folder, open.name));
    removeFile(received);
    removeFile(root + L"\\HalcyraServer.pid");
    if (!startService()) return;
    EXPECT_TRUE(awaitStarted()) << "the server starts in the updater's place";
    EXPECT_FALSE(exists(received)) << "the updater did not start";
    EXPECT_TRUE(awaitUntil(5s, [&] { return traced(refusal(open.named)); })) << "event 14 names what is open";
    ASSERT_TRUE(stopService(30s));
    ASSERT_TRUE(chmodBelowDriveC("o-w", open.folder, open.name));
  }

  // HalcyraUpdateCheck.exe names an open resources folder, an open folder above a non-ASCII
  // updaterPath (read from the configuration's bytes one unit each, as the service does),
  // and an open tempFolder.
  std::string const service = environment("HALCYRA_E2E_SERVICE");
  std::string const diagnostic = service.substr(0, service.rfind("/service/")) + "/diagnostic/HalcyraUpdateCheck.exe";
  std::wstring const check = root + L"\\bin\\HalcyraUpdateCheck.exe";
  std::wstring const other = base + L"\\Up\u00E9";
  ASSERT_TRUE(copyFile(windowsPath(diagnostic), check) && makeFolders(other) && makeFolders(base + L"\\tmp") &&
              copyFile(updaterExe, other + L"\\sample-updater.exe"));
  std::wstring const configPath = root + L"\\resources\\updater\\config.json";
  std::string config = readBytes(configPath);
  std::string const updater = updaterPathJson();
  config.replace(config.find(updater), updater.size(), "C:\\\\halcyra-e2e\\\\Up\xE9\\\\sample-updater.exe");
  ASSERT_TRUE(writeBytes(configPath, config));
  // config.json readable by others would be named too (the password): o-r first.
  ASSERT_TRUE(chmodBelowDriveC("o-r", "halcyra-e2e/Halcyra/resources/updater", "config.json") &&
              chmodBelowDriveC("o+w", "halcyra-e2e/Halcyra", "resources") &&
              chmodBelowDriveC("o+w", "halcyra-e2e", "Up*") && chmodBelowDriveC("o+w", "halcyra-e2e", "tmp"));
  std::string const output = run(commandLine({check})).output;
  for (const char* line : {"open: C:\\halcyra-e2e\\Halcyra\\resources: writable by Everyone",
                           "open: C:\\halcyra-e2e\\Up\xC3\xA9: writable by Everyone",
                           "open: C:\\halcyra-e2e\\tmp: writable by Everyone"}) {
    EXPECT_EQ(countLines(output, line), 1) << line << " in:\n" << output;
  }
  EXPECT_EQ(countLines(output, "Trust boundary:"), 3) << "nothing else is open:\n" << output;

  // Closed again, with the updater where it was: the updater runs.
  ASSERT_TRUE(chmodBelowDriveC("o-w", "halcyra-e2e/Halcyra", "resources") &&
              chmodBelowDriveC("o-w", "halcyra-e2e", "Up*") && chmodBelowDriveC("o-w", "halcyra-e2e", "tmp"));
  EXPECT_EQ(countLines(run(commandLine({check})).output, "closed: only SYSTEM"), 1);
  ASSERT_TRUE(writeUpdateConfig(manifestUrl()));
  int const refusals = tracedCount(refusal(""));
  if (!startService()) return;
  EXPECT_TRUE(awaitUntil(30s, [&] { return exists(received); })) << "the updater runs";
  EXPECT_EQ(tracedCount(refusal("")), refusals);
  ASSERT_TRUE(stopService(30s));
}

}  // namespace
}  // namespace halcyra::e2e
