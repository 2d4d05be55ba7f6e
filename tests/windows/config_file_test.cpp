// Loading the updater configuration from real files: the real C runtime's text mode and
// the real existence test, located from the real module path.

#include "config/config_file.h"

#include <gtest/gtest.h>

#include <string>

#include "config/updater_settings.h"
#include "tests/windows/test_files.h"

namespace halcyra {
namespace {

using namespace std::string_literals;

constexpr const char* kMissing = "Updater config doesn't exist";
constexpr const char* kParseError = "Updater config has parse error";

// The configuration path relative to installRoot, the folder above the test's folder,
// for a file in the scratch folder `folder`.
std::string relativeToInstallRoot(const std::u16string& path) {
  std::u16string const installRoot = installRootOf(test::moduleFolder() + u"\\test.exe");
  return test::printable(std::u16string_view(path).substr(installRoot.size() + 1));
}

std::string configText(const std::string& tempFolder, const std::string& lineEnd) {
  return "{" + lineEnd + "  \"server\": \"http://127.0.0.1:8000/\"," + lineEnd +
         "  \"relativeAppPath\": \"HalcyraServer.exe\", \"login\": \"\", \"password\": \"\"," + lineEnd +
         "  \"versionFile\": \"version.json\", \"useGUI\": 0, \"tempFolder\": \"" + tempFolder + "\"" + lineEnd + "}" +
         lineEnd;
}

struct ConfigCase {
  const char* name;
  std::string bytes;
  const char* lastError;      // empty when the file is accepted
  std::u16string tempFolder;  // when accepted
};

TEST(LoadUpdaterConfig, ReadsRealFilesInTextMode) {
  std::string const whole = configText("T", "\r\n");
  ConfigCase const cases[] = {
      {"crlf_then_ctrl_z", whole + "\x1A{ not json", "", u"T"},
      {"zero_byte_then_garbage", configText("T", "\n") + "\0garbage"s, "", u"T"},
      {"ctrl_z_inside_the_object", whole.substr(0, 20) + "\x1A" + whole.substr(20), kParseError, u""},
      // Bytes are code units: no UTF-8 decoding, no byte-order mark.
      {"utf8_value", configText("\xC3\xA9", "\r\n"), "", u"\u00C3\u00A9"},
      {"utf8_byte_order_mark", "\xEF\xBB\xBF" + whole, kParseError, u""},
      {"empty", "", kParseError, u""},
  };
  std::u16string const folder = test::freshFolder(u"config");
  for (ConfigCase const& c : cases) {
    SCOPED_TRACE(c.name);
    std::u16string const path =
        folder + u"\\" + std::u16string(c.name, c.name + std::char_traits<char>::length(c.name));
    test::writeFile(path, c.bytes);
    UpdaterSettings settings;
    bool const loaded = loadUpdaterConfig(settings, relativeToInstallRoot(path));
    EXPECT_EQ(loaded, std::string(c.lastError).empty());
    EXPECT_EQ(settings.lastError, c.lastError);
    EXPECT_EQ(settings.hasError, !loaded);
    if (loaded) {
      EXPECT_EQ(test::printable(settings.server), "http://127.0.0.1:8000/");
      EXPECT_EQ(settings.tempFolder, c.tempFolder);
    }
  }
}

TEST(LoadUpdaterConfig, MissingFileAndFolderInItsPlace) {
  std::u16string const folder = test::freshFolder(u"config_missing");
  std::u16string const asFolder = test::freshFolder(u"config_missing\\config.json");

  UpdaterSettings missing;
  EXPECT_FALSE(loadUpdaterConfig(missing, relativeToInstallRoot(folder + u"\\absent.json")));
  EXPECT_EQ(missing.lastError, kMissing);

  UpdaterSettings missingFolder;
  EXPECT_FALSE(loadUpdaterConfig(missingFolder, relativeToInstallRoot(folder + u"\\absent\\config.json")));
  EXPECT_EQ(missingFolder.lastError, kMissing);

  UpdaterSettings folderInPlace;
  EXPECT_FALSE(loadUpdaterConfig(folderInPlace, relativeToInstallRoot(asFolder)));
  EXPECT_EQ(folderInPlace.lastError, kParseError);
}

}  // namespace
}  // namespace halcyra
