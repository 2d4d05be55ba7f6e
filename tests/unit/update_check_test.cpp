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

// Built with -Wl,--wrap=curl_global_init (tests/unit/CMakeLists.txt): every global
// initialisation of libcurl shows in the simulated machine's call log. Weak, so that a
// build without the option still links and the fixture says what is missing.
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
    char escaped[8];
    std::snprintf(escaped, sizeof escaped, "\\u%04X", static_cast<unsigned>(unit));
    bytes += unit < 0x7F ? std::string(1, static_cast<char>(unit)) : escaped;
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
  bool hasError, updateAvailable;
  std::string lastError;
  std::size_t curlInits;
  std::string printed;  // a fetch of an absent manifest prints "curl told us 37"
  VersionNumber local, remote;
  bool filledIn;  // pid and appFolder replaced
  // How far the check came.
  CheckStage stage = CheckStage::signatureVerified;
};

// The check ends before libcurl is initialised.
Outcome beforeFetch(std::string error, CheckStage stage = CheckStage::configurationRead) {
  return {!error.empty(), false, std::move(error), 0, "", {}, {}, false, stage};
}
// The check has read both versions.
Outcome compared(VersionNumber local, VersionNumber remote, bool due) {
  return {false, due, "", 1, "", local, remote, true, CheckStage::decided};
}

// The manifest announces `version`; an application without a version resource counts as 0.0.0.0.
std::function<void(Machine&)> announce(std::string version, bool appVersioned = true, bool useLatest = false) {
  return [=](Machine& m) {
    m.manifest = R"({"Version":")" + version + R"(","Files":[]})";
    m.appVersioned = appVersioned;
    m.config->useLatest = useLatest;
  };
}

class CheckForUpdate : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(&__real_curl_global_init, nullptr) << "link with -Wl,--wrap=curl_global_init";
    manifestRoot_ = std::filesystem::temp_directory_path() /
                    ("halcyra_check_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  }
  void TearDown() override { std::filesystem::remove_all(manifestRoot_); }

  Machine defaults() const {
    Machine machine;
    UpdaterConfig& config = machine.config.emplace();
    config.pid = 4242;
    config.appFolder = u"D:\\Old";
    config.server = u"file://" + manifestRoot_.generic_u16string();
    config.versionFile = u"manifest.json";
    config.relativeAppPath = u"HalcyraServer.exe";
    config.updaterPath = kUpdater;
    config.enableUpdate = config.autoUpdate = true;
    return machine;
  }

  void expectOutcome(const Machine& machine, const Outcome& expected) {
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

    UpdaterSettings settings;
    settings.updateAvailable = true;  // the check clears it first
    ::testing::internal::CaptureStdout();
    UpdateCheckDetail detail;
    checkForUpdate(settings, "resources\\updater\\config.json", u"HalcyraServer.exe", nullptr, &detail);
    EXPECT_EQ(detail.stage, expected.stage);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), expected.printed);

    EXPECT_EQ(settings.hasError, expected.hasError);
    EXPECT_EQ(settings.updateAvailable, expected.updateAvailable);
    EXPECT_EQ(settings.lastError, expected.lastError);
    EXPECT_EQ(sim::callsNamed("curl_global_init").size(), expected.curlInits);
    for (const sim::Call& call : sim::callsNamed("curl_global_init")) EXPECT_EQ(call.args, "flags=3");
    EXPECT_EQ(settings.localVersion, expected.local);
    EXPECT_EQ(settings.remoteVersion, expected.remote);
    // pid and appFolder: filled in by the check, else as the file has them, else as constructed.
    bool const fromFile = machine.config.has_value();
    EXPECT_EQ(settings.pid, expected.filledIn ? platform::GetCurrentProcessId() : fromFile ? 4242u : 0u);
    EXPECT_EQ(settings.appFolder, expected.filledIn ? kInstallRoot : fromFile ? u"D:\\Old" : u"");
  }

  std::filesystem::path manifestRoot_;
};

TEST_F(CheckForUpdate, EndsWithTheFirstOutcomeThatApplies) {
  const VersionNumber zero{}, local{1, 2, 3, 4};
  const Outcome badVersion{true, false, "Can't connect to update service", 1, "", local,
                           zero, true,  CheckStage::manifestRead};
  struct Row {
    const char* what;
    std::function<void(Machine&)> arrange;
    Outcome outcome;
  };
  const Row rows[] = {
      {"no configuration file", [](Machine& m) { m.config.reset(); },
       beforeFetch("Updater config doesn't exist", CheckStage::started)},
      {"configuration not JSON", [](Machine& m) { m.config.reset(), m.rawConfig = "{"; },
       beforeFetch("Updater config has parse error", CheckStage::started)},
      {"updates disabled", [](Machine& m) { m.config->enableUpdate = false; }, beforeFetch("")},
      {"updaterPath empty", [](Machine& m) { m.config->updaterPath.clear(); },
       beforeFetch("Updater path is not configured")},
      {"nothing at updaterPath", [](Machine& m) { m.config->updaterPath = u"C:\\Halcyra\\missing\\U.exe"; },
       beforeFetch("C:\\Halcyra\\missing\\U.exe doesn't exist")},
      {"updaterPath above U+00FF", [](Machine& m) { m.config->updaterPath = u"C:\\Upd\u0141\u00E9.exe"; },
       beforeFetch("C:\\UpdA\xE9.exe doesn't exist")},
      {"updaterPath access denied", [](Machine& m) { m.updaterPathError = platform::kErrorAccessDenied; },
       beforeFetch("C:\\Halcyra\\updater\\HalcyraUpdater.exe can't be accessed")},
      {"updaterPath a folder", [](Machine& m) { m.config->updaterPath = u"C:\\Halcyra\\updater"; },
       compared(local, {1, 3, 0, 0}, true)},
      {"relativeAppPath longer than the path",
       [](Machine& m) { m.config->relativeAppPath = u"C:\\Halcyra\\HalcyraServer.exe"; },
       {true, false, "Application folder can't be derived", 1, "", zero, zero, false, CheckStage::updaterFound}},
      {"no manifest",
       [](Machine& m) { m.manifest.reset(); },
       {true, false, "Invalid remote update config", 1, "curl told us 37\n", zero, zero, true}},
      {"manifest without Files",
       [](Machine& m) { m.manifest = R"({"Version":"1.3.0.0"})"; },
       {true, false, "Invalid remote update config", 1, "", zero, zero, true}},
      {"three-part version", announce("1.3.0"), badVersion},
      {"five-part version", announce("1.3.0.0.0"), badVersion},
      {"due", [](Machine&) {}, compared(local, {1, 3, 0, 0}, true)},
      {"due without autoUpdate", [](Machine& m) { m.config->autoUpdate = false; },
       compared(local, {1, 3, 0, 0}, false)},
      {"not due", announce("1.2.9.9"), compared(local, {1, 2, 9, 9}, false)},
      {"trailing dot", announce("1.2.3."), compared(local, {1, 2, 3, 0}, false)},
      {"part -1 is 65535", announce("1.-1.0.0"), compared(local, {1, 65535, 0, 0}, true)},
      {"no version resource", announce("0.1.0.0", false), compared(zero, {0, 1, 0, 0}, true)},
      {"no version resource, revision only", announce("0.0.0.1", false), compared(zero, {0, 0, 0, 1}, false)},
      {"no version resource, revision with useLatest", announce("0.0.0.1", false, true),
       compared(zero, {0, 0, 0, 1}, true)},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    Machine machine = defaults();
    row.arrange(machine);
    expectOutcome(machine, row.outcome);
  }
}

TEST(DeriveAppFolder, RemovesTheRelativePathsLengthPlusOneWithoutComparing) {
  struct Case {
    std::u16string appPath, relativeAppPath;
    std::optional<std::u16string> absolutePath, folder;
    const char* failing = nullptr;  // a platform call that fails
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
      {u"C:\\A\\S.exe", u"S.exe", std::nullopt, std::nullopt, "GetFullPathNameW"},
      {u"", u"S.exe", std::nullopt, std::nullopt, "GetModuleFileNameW"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.appPath.begin(), c.appPath.end()) + (c.failing ? c.failing : ""));
    sim::reset();
    sim::setCurrentDirectory(kInstallRoot);
    if (c.failing) sim::failCall(c.failing, 1, platform::kErrorAccessDenied);
    std::optional<AppLocation> const location = deriveAppFolder(c.appPath, c.relativeAppPath);
    ASSERT_EQ(location.has_value(), c.absolutePath.has_value());
    if (!location) continue;
    EXPECT_EQ(location->absolutePath, *c.absolutePath);
    EXPECT_EQ(location->folder, *c.folder);
  }
}

}  // namespace
}  // namespace halcyra
