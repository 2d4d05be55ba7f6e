#include "update/update_check.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "platform/processes.h"
#include "platform/sim/sim.h"

// Built with -Wl,--wrap=curl_global_init (tests/unit/update.cmake): every global
// initialisation of libcurl shows in the simulated machine's call log. Weak, so that a
// build without the option still links and the checks below say what is missing.
extern "C" __attribute__((weak)) CURLcode __real_curl_global_init(long flags);
extern "C" CURLcode __wrap_curl_global_init(long flags) {
  halcyra::sim::logCall("curl_global_init", "flags=" + std::to_string(flags));
  return __real_curl_global_init(flags);
}

namespace halcyra {
namespace {

std::string text(const VersionNumber& version) {
  std::u16string const wide = formatVersionNumber(version);
  return {wide.begin(), wide.end()};
}

TEST(IsUpdateDue, ComparesMajorMinorAndRevisionAndNeedsUseLatestForARevision) {
  struct Case {
    VersionNumber local, remote;
    bool useLatest, due;
  };
  const Case cases[] = {
      {{1, 2, 3, 4}, {1, 3, 0, 0}, false, true},
      {{1, 2, 3, 4}, {2, 0, 0, 0}, false, true},
      {{1, 2, 3, 4}, {1, 2, 3, 5}, false, false},
      {{1, 2, 3, 4}, {1, 2, 3, 5}, true, true},
      {{1, 2, 3, 4}, {1, 2, 9, 4}, true, false},  // only build differs
      {{1, 2, 3, 4}, {1, 2, 0, 9}, true, true},   // build is ignored
      {{1, 3, 0, 0}, {1, 2, 9, 9}, true, false},  // remote older
      {{1, 2, 3, 4}, {1, 2, 3, 4}, true, false},
      {{2, 0, 0, 0}, {1, 9, 9, 9}, true, false},  // the first differing part decides
      {{1, 3, 0, 0}, {1, 2, 0, 9}, true, false},
      {{1, 2, 0, 0}, {1, 65535, 0, 0}, false, true},  // parts are unsigned
      {{0, 0, 0, 0}, {0, 0, 0, 1}, false, false},
      {{0, 0, 0, 0}, {0, 0, 0, 1}, true, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isUpdateDue(c.local, c.remote, c.useLatest), c.due)
        << text(c.local) << " -> " << text(c.remote) << " useLatest " << c.useLatest;
  }
}

constexpr char16_t kInstallRoot[] = u"C:\\Halcyra";
constexpr char16_t kConfigFile[] = u"C:\\Halcyra\\resources\\updater\\config.json";
constexpr char16_t kUpdater[] = u"C:\\Halcyra\\updater\\HalcyraUpdater.exe";
constexpr char16_t kServer[] = u"C:\\Halcyra\\HalcyraServer.exe";

// The configuration file's bytes: toJson with every unit above U+007E escaped, since the
// file is read one byte per unit.
std::string configFileBytes(const UpdaterConfig& config) {
  std::string bytes;
  for (char16_t const unit : config.toJson()) {
    if (unit < 0x7F) {
      bytes += static_cast<char>(unit);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(unit));
      bytes += escaped;
    }
  }
  return bytes;
}

// One machine for one check: the application with product version 1.2.3.4, the updater,
// a configuration that enables updates, and a manifest announcing 1.3.0.0 in a real
// folder that libcurl reads through file://.
struct Machine {
  std::optional<UpdaterConfig> config;  // none: no configuration file
  std::string rawConfig;                // written instead of config when set
  std::optional<std::string> manifest = R"({"Version":"1.3.0.0","Files":["HalcyraServer.exe"]})";
  bool appVersioned = true;
  std::optional<platform::Dword> updaterPathError;
};

struct Outcome {
  bool hasError;
  bool updateAvailable;
  std::string lastError;
  std::size_t curlInits;
  std::string printed;  // a fetch of an absent manifest prints "curl told us 37"
  VersionNumber local, remote;
  bool filledIn;  // pid and appFolder replaced
};

class CheckForUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(&__real_curl_global_init, nullptr) << "link with -Wl,--wrap=curl_global_init (tests/unit/update.cmake)";
    manifestRoot_ = std::filesystem::temp_directory_path() /
                    ("halcyra_check_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::remove_all(manifestRoot_);
  }
  void TearDown() override { std::filesystem::remove_all(manifestRoot_); }

  Machine defaults() const {
    UpdaterConfig config;
    config.pid = 4242;
    config.appFolder = u"D:\\Old";
    config.server = u"file://" + manifestRoot_.generic_u16string();
    config.versionFile = u"manifest.json";
    config.relativeAppPath = u"HalcyraServer.exe";
    config.updaterPath = kUpdater;
    config.enableUpdate = true;
    config.autoUpdate = true;
    Machine machine;
    machine.config = config;
    return machine;
  }

  void install(const Machine& machine) {
    sim::reset();
    sim::setCurrentDirectory(kInstallRoot);
    if (machine.config) sim::addFile(kConfigFile, configFileBytes(*machine.config));
    if (!machine.rawConfig.empty()) sim::addFile(kConfigFile, machine.rawConfig);
    sim::addFile(kUpdater, "MZ");
    sim::addFile(kServer, "MZ");
    if (machine.appVersioned) sim::setVersionInfo(kServer, 0x00010002, 0x00030004, 0x00050006, 0x00070008);
    if (machine.updaterPathError) sim::setPathError(machine.config->updaterPath, *machine.updaterPathError);
    std::filesystem::remove_all(manifestRoot_);
    std::filesystem::create_directories(manifestRoot_ / "latest");
    if (machine.manifest) std::ofstream(manifestRoot_ / "latest" / "manifest.json") << *machine.manifest;
  }

  void expectOutcome(const char* what, const Machine& machine, const Outcome& expected) {
    install(machine);
    UpdaterSettings settings;
    settings.updateAvailable = true;  // the check clears it first
    ::testing::internal::CaptureStdout();
    checkForUpdate(settings, "resources\\updater\\config.json", u"HalcyraServer.exe");
    std::string const printed = ::testing::internal::GetCapturedStdout();

    EXPECT_EQ(settings.hasError, expected.hasError) << what;
    EXPECT_EQ(settings.updateAvailable, expected.updateAvailable) << what;
    EXPECT_EQ(settings.lastError, expected.lastError) << what;
    EXPECT_EQ(sim::callsNamed("curl_global_init").size(), expected.curlInits) << what;
    for (const sim::Call& call : sim::callsNamed("curl_global_init")) EXPECT_EQ(call.args, "flags=3") << what;
    EXPECT_EQ(printed, expected.printed) << what;
    EXPECT_EQ(settings.localVersion, expected.local) << what;
    EXPECT_EQ(settings.remoteVersion, expected.remote) << what;
    // pid and appFolder: filled in by the check, else as the file has them, else as constructed.
    bool const fromFile = machine.config.has_value();
    EXPECT_EQ(settings.pid, expected.filledIn ? platform::GetCurrentProcessId() : fromFile ? 4242u : 0u) << what;
    EXPECT_EQ(settings.appFolder, expected.filledIn ? kInstallRoot : fromFile ? u"D:\\Old" : u"") << what;
  }

  std::filesystem::path manifestRoot_;
};

TEST_F(CheckForUpdate, EndsWithTheFirstOutcomeThatApplies) {
  const VersionNumber zero{}, local{1, 2, 3, 4}, remote{1, 3, 0, 0};
  struct Row {
    const char* what;
    std::function<void(Machine&)> arrange;
    Outcome outcome;
  };
  const Row rows[] = {
      {"no configuration file",
       [](Machine& m) { m.config.reset(); },
       {true, false, "Updater config doesn't exist", 0, "", zero, zero, false}},
      {"configuration not JSON",
       [](Machine& m) {
         m.config.reset();
         m.rawConfig = "{";
       },
       {true, false, "Updater config has parse error", 0, "", zero, zero, false}},
      {"updates disabled",
       [](Machine& m) { m.config->enableUpdate = false; },
       {false, false, "", 0, "", zero, zero, false}},
      {"updaterPath empty",
       [](Machine& m) { m.config->updaterPath.clear(); },
       {true, false, "Updater path is not configured", 0, "", zero, zero, false}},
      {"nothing at updaterPath",
       [](Machine& m) { m.config->updaterPath = u"C:\\Halcyra\\missing\\U.exe"; },
       {true, false, "C:\\Halcyra\\missing\\U.exe doesn't exist", 0, "", zero, zero, false}},
      {"updaterPath above U+00FF",
       [](Machine& m) { m.config->updaterPath = u"C:\\Upd\u0141\u00E9.exe"; },
       {true, false, "C:\\UpdA\xE9.exe doesn't exist", 0, "", zero, zero, false}},
      {"updaterPath access denied",
       [](Machine& m) { m.updaterPathError = platform::kErrorAccessDenied; },
       {true, false, "C:\\Halcyra\\updater\\HalcyraUpdater.exe can't be accessed", 0, "", zero, zero, false}},
      {"updaterPath a folder",
       [](Machine& m) { m.config->updaterPath = u"C:\\Halcyra\\updater"; },
       {false, true, "", 1, "", local, remote, true}},
      {"relativeAppPath longer than the path",
       [](Machine& m) { m.config->relativeAppPath = u"C:\\Halcyra\\HalcyraServer.exe"; },
       {true, false, "Application folder can't be derived", 1, "", zero, zero, false}},
      {"no manifest",
       [](Machine& m) { m.manifest.reset(); },
       {true, false, "Invalid remote update config", 1, "curl told us 37\n", zero, zero, true}},
      {"manifest without Files",
       [](Machine& m) { m.manifest = R"({"Version":"1.3.0.0"})"; },
       {true, false, "Invalid remote update config", 1, "", zero, zero, true}},
      {"three-part version",
       [](Machine& m) { m.manifest = R"({"Version":"1.3.0","Files":[]})"; },
       {true, false, "Can't connect to update service", 1, "", local, zero, true}},
      {"five-part version",
       [](Machine& m) { m.manifest = R"({"Version":"1.3.0.0.0","Files":[]})"; },
       {true, false, "Can't connect to update service", 1, "", local, zero, true}},
      {"due", [](Machine&) {}, {false, true, "", 1, "", local, remote, true}},
      {"due without autoUpdate",
       [](Machine& m) { m.config->autoUpdate = false; },
       {false, false, "", 1, "", local, remote, true}},
      {"not due",
       [](Machine& m) { m.manifest = R"({"Version":"1.2.9.9","Files":[]})"; },
       {false, false, "", 1, "", local, {1, 2, 9, 9}, true}},
      {"trailing dot",
       [](Machine& m) { m.manifest = R"({"Version":"1.2.3.","Files":[]})"; },
       {false, false, "", 1, "", local, {1, 2, 3, 0}, true}},
      {"part -1 is 65535",
       [](Machine& m) { m.manifest = R"({"Version":"1.-1.0.0","Files":[]})"; },
       {false, true, "", 1, "", local, {1, 65535, 0, 0}, true}},
      {"no version resource",
       [](Machine& m) {
         m.appVersioned = false;
         m.manifest = R"({"Version":"0.1.0.0","Files":[]})";
       },
       {false, true, "", 1, "", zero, {0, 1, 0, 0}, true}},
      {"no version resource, revision only",
       [](Machine& m) {
         m.appVersioned = false;
         m.manifest = R"({"Version":"0.0.0.1","Files":[]})";
       },
       {false, false, "", 1, "", zero, {0, 0, 0, 1}, true}},
      {"no version resource, revision with useLatest",
       [](Machine& m) {
         m.appVersioned = false;
         m.config->useLatest = true;
         m.manifest = R"({"Version":"0.0.0.1","Files":[]})";
       },
       {false, true, "", 1, "", zero, {0, 0, 0, 1}, true}},
  };
  for (const Row& row : rows) {
    Machine machine = defaults();
    row.arrange(machine);
    expectOutcome(row.what, machine, row.outcome);
  }
}

class DeriveAppFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    sim::setCurrentDirectory(kInstallRoot);
  }
};

TEST_F(DeriveAppFolder, RemovesTheRelativePathsLengthPlusOneWithoutComparing) {
  struct Case {
    std::u16string appPath, relativeAppPath;
    std::optional<std::u16string> absolutePath, folder;
  };
  std::u16string const deep = u"C:\\" + std::u16string(300, u'd') + u"\\S.exe";
  const Case cases[] = {
      {u"C:\\A\\S.exe", u"S.exe", u"C:\\A\\S.exe", u"C:\\A"},
      {u"C:\\A\\S.exe", u"A\\S.exe", u"C:\\A\\S.exe", u"C:"},
      {u"C:\\A\\S.exe", u"Q.exe", u"C:\\A\\S.exe", u"C:\\A"},
      {u"C:\\A\\S.exe", u"123456789", u"C:\\A\\S.exe", u""},  // length + 1 is the whole path
      {u"C:\\A\\S.exe", u"1234567890", std::nullopt, std::nullopt},
      {u"C:/A/./B/../S.exe", u"S.exe", u"C:\\A\\S.exe", u"C:\\A"},
      {u"bin\\..\\HalcyraServer.exe", u"HalcyraServer.exe", u"C:\\Halcyra\\HalcyraServer.exe", u"C:\\Halcyra"},
      {u"", u"bin\\HalcyraService.exe", u"C:\\Halcyra\\bin\\HalcyraService.exe", u"C:\\Halcyra"},
      {deep, u"S.exe", deep, deep.substr(0, deep.size() - 6)},  // longer than MAX_PATH
  };
  for (const Case& c : cases) {
    std::optional<AppLocation> const location = deriveAppFolder(c.appPath, c.relativeAppPath);
    std::string const what(c.appPath.begin(), c.appPath.end());
    ASSERT_EQ(location.has_value(), c.absolutePath.has_value()) << what;
    if (!location) continue;
    EXPECT_EQ(location->absolutePath, *c.absolutePath) << what;
    EXPECT_EQ(location->folder, *c.folder) << what;
  }
}

TEST_F(DeriveAppFolder, GivesNothingWhenThePlatformCannotNameThePath) {
  struct Case {
    const char* operation;
    std::u16string appPath;
  };
  for (const Case& c : {Case{"GetFullPathNameW", u"C:\\A\\S.exe"}, Case{"GetModuleFileNameW", u""}}) {
    sim::reset();
    sim::failCall(c.operation, 1, platform::kErrorAccessDenied);
    EXPECT_FALSE(deriveAppFolder(c.appPath, u"S.exe").has_value()) << c.operation;
  }
}

}  // namespace
}  // namespace halcyra
