#include "config/config_file.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/sim/sim.h"
#include "platform/types.h"

namespace halcyra {
namespace {

std::string narrow(std::u16string_view text) {
  std::string out;
  for (char16_t const c : text) {
    out += c < 0x80 ? std::string(1, static_cast<char>(c)) : "<" + std::to_string(unsigned{c}) + ">";
  }
  return out;
}

TEST(ParentPath, RemovesTheLastComponentButNeverTheRoot) {
  struct Case {
    std::u16string path;
    std::u16string parent;
  };
  const Case cases[] = {
      {u"C:\\A\\B\\svc.exe", u"C:\\A\\B"},
      {u"C:\\A\\B\\", u"C:\\A\\B"},
      {u"C:\\A\\\\/B", u"C:\\A"},
      {u"C:\\svc.exe", u"C:\\"},
      {u"C:\\", u"C:\\"},
      {u"C:", u"C:"},
      {u"z:svc.exe", u"z:"},
      {u"1:\\svc.exe", u"1:"},
      {u"\\\\srv\\share\\B\\svc.exe", u"\\\\srv\\share\\B"},
      {u"\\\\srv\\share", u"\\\\srv\\"},
      {u"\\\\\\srv\\share", u"\\\\\\srv"},
      {u"\\\\?\\C:\\svc.exe", u"\\\\?\\C:"},
      {u"\\\\?\\C:", u"\\\\?\\"},
      {u"//?/C:/A", u"//?/C:"},
      {u"\\\\.\\pipe\\name", u"\\\\.\\pipe"},
      {u"bin\\svc.exe", u"bin"},
      {u"svc.exe", u""},
      {u"", u""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(parentPath(c.path), c.parent) << narrow(c.path);
  }
}

TEST(InstallRootOf, IsTwoFoldersUp) {
  EXPECT_EQ(installRootOf(u"C:\\A\\B\\svc.exe"), u"C:\\A");
  EXPECT_EQ(installRootOf(u"C:\\B\\svc.exe"), u"C:\\");
  EXPECT_EQ(installRootOf(u"C:\\svc.exe"), u"C:\\");
  EXPECT_EQ(installRootOf(u"\\\\srv\\share\\B\\svc.exe"), u"\\\\srv\\share");
}

constexpr char const* kConfigPath = "resources\\updater\\config.json";
constexpr char16_t const* kModule = u"C:\\A\\B\\svc.exe";
constexpr char16_t const* kConfigFile = u"C:\\A\\resources\\updater\\config.json";
constexpr char const* kMissing = "Updater config doesn't exist";
constexpr char const* kParseError = "Updater config has parse error";
constexpr char const* kValid =
    R"({"server":"ftp://h/","relativeAppPath":"bin\\S.exe","login":"l","password":"p","versionFile":"v.json","useGUI":1})";

struct LoadCase {
  char const* name;
  std::function<void()> arrange;
  char const* error;  // null when the configuration is accepted
  std::function<void(const UpdaterSettings&)> check = [](const UpdaterSettings&) {};
};

class LoadUpdaterConfig : public ::testing::Test {
 protected:
  void SetUp() override {
    sim::reset();
    sim::setModulePath(kModule);
  }
};

TEST_F(LoadUpdaterConfig, FindsReadsAndReportsTheConfigurationFile) {
  auto const file = [](std::string bytes) { return [bytes] { sim::addFile(kConfigFile, bytes); }; };
  const LoadCase cases[] = {
      {"no file", [] {}, kMissing},
      {"a folder named config.json", [] { sim::addDirectory(kConfigFile); }, kParseError},
      {"empty file", file(""), kParseError},
      {"UTF-8 byte-order mark", file("\xEF\xBB\xBF" + std::string(kValid)), kParseError},
      {"UTF-16 with byte-order mark", file(std::string("\xFF\xFE{\0}\0", 6)), kParseError},
      {"accepted", file(kValid), nullptr},
      {"CR LF line ends",
       file("{\r\n\"server\":\"a\",\r\n\"relativeAppPath\":\"r\",\"login\":\"l\",\"password\":\"p\",\r\n"
            "\"versionFile\":\"v\",\"useGUI\":0}\r\n"),
       nullptr},
      {"Ctrl+Z after the object", file(std::string(kValid) + "\x1A garbage"), nullptr},
      {"zero byte after the object", file(std::string(kValid) + std::string("\0 garbage", 9)), nullptr},
      {"zero byte inside the object", file(std::string(R"({"server":"s")") + std::string("\0}", 2)), kParseError},
      {"UTF-8 is not decoded",
       file(R"({"server":"s","relativeAppPath":"r","login":"l","password":"p","versionFile":"v","useGUI":0,)"
            "\"tempFolder\":\"\xC3\xA9\"}"),
       nullptr,
       [](const UpdaterSettings& s) {
         EXPECT_EQ(s.tempFolder, u"\u00C3\u00A9");
         EXPECT_NE(s.toJson().find(u"\"tempFolder\":\"\u00C3\u00A9\""), std::u16string::npos);
       }},
      {"rejected after some members",
       file(R"({"server":"s","appFolder":"af","relativeAppPath":"r","login":5,"password":"p"})"), kParseError,
       [](const UpdaterSettings& s) {
         EXPECT_EQ(s.relativeAppPath, u"r");
         EXPECT_EQ(s.password, u"");
       }},
      {"existence unknown", [] { sim::setPathError(kConfigFile, platform::kErrorAccessDenied); }, kMissing},
      {"file cannot be opened",
       [] {
         sim::addFile(kConfigFile, kValid);
         sim::failCall("ReadTextModeFile", 1, platform::kErrorAccessDenied);
       },
       kParseError},
      {"module path unavailable", [] { sim::failCall("GetModuleFileNameW", 1, platform::kErrorNotEnoughMemory); },
       kMissing},
      {"module path of 259 characters",
       [] {
         std::u16string const folder = u"C:\\" + std::u16string(255 - 9, u'x');
         sim::setModulePath(folder + u"\\B\\svc.exe");
         sim::addFile(folder + u"\\resources\\updater\\config.json", kValid);
       },
       nullptr},
      {"module path too long for MAX_PATH",
       [] {
         // Cut at 259 characters the path would end in "\bi" and lead to C:\ instead of the real folder.
         std::u16string const folder = u"C:\\" + std::u16string(253, u'x');
         sim::setModulePath(folder + u"\\bin\\svc.exe");
         sim::addFile(folder + u"\\resources\\updater\\config.json", kValid);
         sim::addFile(u"C:\\resources\\updater\\config.json", kValid);
       },
       kMissing},
  };
  for (const LoadCase& c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    c.arrange();
    UpdaterSettings settings;
    settings.lastError = "left from before";
    bool const loaded = loadUpdaterConfig(settings, kConfigPath);
    EXPECT_EQ(loaded, c.error == nullptr);
    EXPECT_EQ(settings.hasError, c.error != nullptr);
    EXPECT_EQ(settings.lastError, c.error ? c.error : "left from before");
    EXPECT_FALSE(settings.updateAvailable);
    c.check(settings);
  }
}

TEST_F(LoadUpdaterConfig, ConvertsTheRelativePathAndReportsUnnameablePathsAsMissing) {
  sim::addFile(u"C:\\A\\r\u00E9sum\u00E9.json", kValid);
  UpdaterSettings accented;
  EXPECT_TRUE(loadUpdaterConfig(accented, "r\xC3\xA9sum\xC3\xA9.json"));

  sim::addFile(u"C:\\A\\r\uFFFDsum.json", kValid);  // where a lenient conversion would lead
  UpdaterSettings invalid;
  EXPECT_FALSE(loadUpdaterConfig(invalid, "r\xC3sum.json"));
  EXPECT_EQ(invalid.lastError, kMissing);
}

TEST_F(LoadUpdaterConfig, ReadsTheFileAfreshOnEveryCall) {
  for (const bool valid : {false, true}) {
    sim::addFile(kConfigFile, valid ? kValid : "{");
    UpdaterSettings settings;
    EXPECT_EQ(loadUpdaterConfig(settings, kConfigPath), valid);
  }
}

}  // namespace
}  // namespace halcyra
