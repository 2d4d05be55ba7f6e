#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/processes.h"
#include "platform/sim/sim.h"
#include "update/update_check.h"
#include "update/updater_launch.h"

namespace halcyra {
namespace {

constexpr char16_t kUpdater[] = u"C:\\Halcyra\\updater\\HalcyraUpdater.exe";
constexpr char16_t kBase64Alphabet[] = u"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The base64 text after the opening quotation mark, decoded as UTF-16LE. Fails the test
// on anything but standard base64 with correct padding.
std::u16string decodeCommandLine(const std::u16string& commandLine) {
  EXPECT_TRUE(commandLine.starts_with(u'"'));
  std::u16string_view const text = std::u16string_view(commandLine).substr(1);
  std::size_t const padding = text.size() - text.find_last_not_of(u'=') - 1;
  EXPECT_EQ(text.size() % 4, 0u);
  EXPECT_LE(padding, 2u);
  std::string bytes;
  std::uint32_t group = 0;
  for (std::size_t i = 0; i < text.size() - padding; ++i) {
    std::size_t const value = std::u16string_view(kBase64Alphabet).find(text[i]);
    EXPECT_NE(value, std::u16string_view::npos) << "unit " << i;
    group = (group << 6) | static_cast<std::uint32_t>(value & 0x3F);
    if (i % 4 != 0) bytes.push_back(static_cast<char>(group >> (6 - 2 * (i % 4))));
  }
  EXPECT_EQ(bytes.size() % 2, 0u);
  std::u16string json;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    json.push_back(
        static_cast<char16_t>(static_cast<std::uint8_t>(bytes[i]) | static_cast<std::uint8_t>(bytes[i + 1]) << 8));
  }
  return json;
}

// A configuration whose JSON text is exactly `units` long.
UpdaterConfig configOfLength(std::size_t units, std::u16string updaterPath = kUpdater) {
  UpdaterConfig config;
  config.updaterPath = std::move(updaterPath);
  std::size_t const base = config.toJson().size();
  config.tempFolder.assign(units - base, u't');
  EXPECT_EQ(config.toJson().size(), units);
  return config;
}

class LaunchUpdater : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    sim::setCurrentDirectory(u"C:\\Halcyra");
    sim::installProgram(kUpdater, {});
    platform::Handle own = nullptr;
    ASSERT_NE(platform::OpenProcessToken(platform::GetCurrentProcess(), platform::kTokenDuplicate, &own),
              platform::kFalse);
    ASSERT_NE(platform::DuplicateTokenEx(own, platform::kTokenAllAccess, nullptr, platform::kSecurityImpersonation,
                                         platform::kTokenPrimary, &token_),
              platform::kFalse);
    platform::CloseHandle(own);
    startupInfo_.StartupInfo.cb = platform::kStartupInfoExWSize;
    startupInfo_.StartupInfo.lpDesktop = u"winsta0\\default";
  }

  // Settings whose JSON text is `units` long, with an update to install.
  static UpdaterSettings settingsOfLength(std::size_t units, std::u16string updaterPath = kUpdater) {
    UpdaterSettings settings;
    static_cast<UpdaterConfig&>(settings) = configOfLength(units, std::move(updaterPath));
    settings.updateAvailable = true;
    return settings;
  }

  platform::Handle token_ = nullptr;
  platform::StartupInfoExW startupInfo_;
  platform::ProcessInformation processInfo_;
};

// The whole road: the check decides, and the updater receives the record's JSON with the
// service's process id and the derived application folder.
TEST_F(LaunchUpdater, TheUpdaterReceivesTheCheckedConfigurationAsUtf16leBase64) {
  std::filesystem::path const manifests = std::filesystem::temp_directory_path() / "halcyra_launch_manifest";
  std::filesystem::create_directories(manifests / "latest");
  std::ofstream(manifests / "latest" / "m.json") << R"({"Version":"2.0.0.0","Files":[]})";
  std::string const config =
      R"({"pid":1,"files":["a.exe","b.dll"],"server":"file://)" + manifests.generic_string() +
      R"(","appFolder":"X:\\old","relativeAppPath":"HalcyraServer.exe","login":"","password":"",)"
      R"("versionFile":"m.json","tempFolder":"C:\\Temp\\caf\u00e9","useGUI":1,"autoUpdate":true,)"
      R"("enableUpdate":true,"updaterPath":"C:\\Halcyra\\updater\\HalcyraUpdater.exe"})";
  sim::addFile(u"C:\\Halcyra\\resources\\updater\\config.json", config);
  sim::addFile(u"C:\\Halcyra\\HalcyraServer.exe", "MZ");

  UpdaterSettings settings;
  checkForUpdate(settings, "resources\\updater\\config.json", u"HalcyraServer.exe");
  std::filesystem::remove_all(manifests);
  ASSERT_TRUE(settings.updateAvailable) << settings.lastError;

  ASSERT_TRUE(launchUpdater(settings, token_, &startupInfo_, processInfo_));
  ASSERT_FALSE(sim::processes().empty());
  const sim::ProcessRecord& updater = sim::processes().back();

  EXPECT_NE(updater.commandLine.back(), u'"');
  std::u16string const json = decodeCommandLine(updater.commandLine);
  EXPECT_EQ(json, settings.toJson());

  UpdaterConfig received;
  ASSERT_TRUE(received.fromJson(json));
  EXPECT_EQ(received.pid, platform::GetCurrentProcessId());
  EXPECT_EQ(received.appFolder, u"C:\\Halcyra");
  EXPECT_EQ(received.version, u"");  // the configuration's own, not the manifest's
}

TEST_F(LaunchUpdater, CommandLineLengthAndPaddingFollowTheJsonLength) {
  struct Case {
    std::size_t units, commandLine, equalsSigns;  // of the JSON text; quotation mark and base64 text
  };
  const Case cases[] = {
      {300, 801, 0},  // 600 bytes: a multiple of 3
      {299, 801, 2},  // 598 bytes: one more than a multiple of 3
      {301, 805, 1},  // 602 bytes: two more
      {302, 809, 2},
  };
  for (const Case& c : cases) {
    std::u16string const line = buildUpdaterCommandLine(configOfLength(c.units));
    EXPECT_EQ(line.size(), c.commandLine) << c.units;
    std::size_t const trailing = line.size() - line.find_last_not_of(u'=') - 1;
    EXPECT_EQ(trailing, c.equalsSigns) << c.units;
  }
}

TEST_F(LaunchUpdater, CreatesTheProcessWithTheUpdaterArguments) {
  // A relative updaterPath is taken relative to the current directory.
  UpdaterSettings settings = settingsOfLength(400, u"updater\\HalcyraUpdater.exe");
  ASSERT_TRUE(launchUpdater(settings, token_, &startupInfo_, processInfo_));
  std::vector<sim::Call> const encodings = sim::callsNamed("CryptBinaryToStringW");

  EXPECT_FALSE(settings.hasError);
  ASSERT_EQ(sim::processes().size(), 1u);
  const sim::ProcessRecord& updater = sim::processes().front();
  EXPECT_EQ(updater.application, kUpdater);
  EXPECT_EQ(updater.commandLine, buildUpdaterCommandLine(settings));
  EXPECT_EQ(updater.creationFlags, 0x08080400u);
  EXPECT_TRUE(updater.inheritHandles);
  EXPECT_EQ(updater.startupInfoCb, platform::kStartupInfoExWSize);
  EXPECT_EQ(updater.desktop, u"winsta0\\default");
  EXPECT_EQ(processInfo_.dwProcessId, updater.id);
  EXPECT_NE(processInfo_.hProcess, nullptr);
  EXPECT_NE(processInfo_.hThread, nullptr);

  std::vector<sim::Call> const creations = sim::callsNamed("CreateProcessAsUserW");
  ASSERT_EQ(creations.size(), 1u);
  EXPECT_NE(creations[0].args.find(" app=updater\\HalcyraUpdater.exe cmd=\""), std::string::npos) << creations[0].args;
  EXPECT_NE(creations[0].args.find(" inherit=1 flags=0x8080400 env=null cwd=<null>"), std::string::npos)
      << creations[0].args;

  ASSERT_EQ(encodings.size(), 2u);
  EXPECT_EQ(encodings[0].args, "size=800 flags=0x40000001 text=null length=0");
  EXPECT_EQ(encodings[1].args,
            "size=800 flags=0x40000001 text=buffer length=1069");  // 1068 characters and the terminator
}

TEST_F(LaunchUpdater, AFailedLaunchRecordsItAndCreatesNothing) {
  struct Case {
    const char* what;
    std::size_t units;
    std::u16string updaterPath;
    const char* failingOperation;  // with its nth call
    int nth;
    bool launched;
  };
  const Case cases[] = {
      {"longest command line", 12286, kUpdater, nullptr, 0, true},
      {"command line too long", 12287, kUpdater, nullptr, 0, false},
      {"updaterPath a folder", 300, u"C:\\Halcyra\\updater", nullptr, 0, false},
      {"no program", 300, u"C:\\Halcyra\\updater\\Other.exe", nullptr, 0, false},
      {"size query fails", 300, kUpdater, "CryptBinaryToStringW", 1, false},
      {"encoding fails", 300, kUpdater, "CryptBinaryToStringW", 2, false},
      {"creation fails", 300, kUpdater, "CreateProcessAsUserW", 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    if (c.failingOperation != nullptr) sim::failCall(c.failingOperation, c.nth, platform::kErrorNotEnoughMemory);
    UpdaterSettings settings = settingsOfLength(c.units, c.updaterPath);
    EXPECT_EQ(launchUpdater(settings, token_, &startupInfo_, processInfo_), c.launched);
    EXPECT_EQ(settings.hasError, !c.launched);
    EXPECT_EQ(settings.lastError, c.launched ? "" : "Can't launch updater");
    EXPECT_TRUE(settings.updateAvailable);
    ASSERT_EQ(sim::processes().size(), c.launched ? 1u : 0u);
    if (c.launched) {
      EXPECT_EQ(sim::processes().front().commandLine.size(), 32765u);
    }
  }
}

}  // namespace
}  // namespace halcyra
