#include "config/updater_settings.h"

#include <gtest/gtest.h>

#include <functional>
#include <random>
#include <string>
#include <vector>

// RapidJSON reading the text unit by unit (UTF-16), the reference for which texts the
// configuration reader accepts; its assertions are off because its UTF-16 encoder asserts
// on a lone low-surrogate escape, which the texts below contain.
#define RAPIDJSON_NAMESPACE halcyra_config_test_rapidjson
#define RAPIDJSON_ASSERT(condition) static_cast<void>(0)
#include <rapidjson/document.h>

namespace halcyra {

// ASCII as it is, other code units as <decimal>.
std::string narrow(std::u16string_view text) {
  std::string out;
  for (char16_t const c : text) {
    out += c < 0x80 ? std::string(1, static_cast<char>(c)) : "<" + std::to_string(unsigned{c}) + ">";
  }
  return out;
}

// Failures show the record as its JSON text.
void PrintTo(const UpdaterConfig& config, std::ostream* out) { *out << narrow(config.toJson()); }

namespace {

std::u16string unit(unsigned value) { return std::u16string(1, static_cast<char16_t>(value)); }

TEST(ToJson, WritesTheConstructedRecordAsOneCompactLine) {
  UpdaterConfig config;
  config.pid = 4321;
  EXPECT_EQ(config.toJson(),
            u"{\"pid\":4321,\"files\":[],\"server\":\"\",\"appFolder\":\"\",\"relativeAppPath\":\"\",\"login\":\"\","
            u"\"password\":\"\",\"version\":\"\",\"versionFile\":\"\",\"tempFolder\":\"\",\"useGUI\":0,"
            u"\"autoUpdate\":false,\"serverOneVersion\":false,\"useLatest\":false,\"enableUpdate\":false,"
            u"\"updaterPath\":\"\"}");
}

TEST(ToJson, EscapesOnlyQuoteBackslashAndControlCharacters) {
  struct Case {
    std::u16string value;
    std::u16string written;
  };
  const Case cases[] = {
      {u"a\"b\\c", u"a\\\"b\\\\c"},
      {u"\b\t\n\f\r", u"\\b\\t\\n\\f\\r"},
      {u"\u0001\u000B\u001B\u001F", u"\\u0001\\u000B\\u001B\\u001F"},
      {u"/\u007F\u00E9\uFFFF", u"/\u007F\u00E9\uFFFF"},
      {unit(0xD800) + u"x" + unit(0xDC00) + u"\U0001F600", unit(0xD800) + u"x" + unit(0xDC00) + u"\U0001F600"},
      {std::u16string(u"ab\0\u0001cd", 6), u"ab"},
  };
  for (const Case& c : cases) {
    UpdaterConfig config;
    config.server = c.value;
    config.files = {c.value};
    std::u16string const json = config.toJson();
    std::u16string const quoted = u"\"" + c.written + u"\"";
    EXPECT_NE(json.find(u"\"server\":" + quoted + u","), std::u16string::npos) << narrow(json);
    EXPECT_NE(json.find(u"\"files\":[" + quoted + u"],"), std::u16string::npos) << narrow(json);
  }
}

// Every member set, numbers at their extremes, a list in no order with a repeat.
UpdaterConfig fullConfig() {
  UpdaterConfig config;
  config.pid = 4294967295, config.useGUI = -2147483647 - 1;
  config.files = {u"a.dll", u"sub\\b \"quoted\".dll", u"a.dll", u""};
  config.server = u"ftp://updates.example/", config.appFolder = u"C:\\Program Files\\Halcyra\\";
  config.relativeAppPath = u"bin\\HalcyraServer.exe", config.login = u"user\u00E9";
  config.password = u"p\u0001\u001B\t/\\\"" + unit(0xDC00), config.version = u"1.2.3.4";
  config.versionFile = u"manifest.json", config.tempFolder = u"C:\\Temp\\\u00C3\u00A9";
  config.updaterPath = u"resources\\updater\\Updater.exe";
  config.autoUpdate = config.serverOneVersion = config.enableUpdate = true;
  return config;
}

TEST(FromJson, ReadsBackWhatToJsonWrote) {
  UpdaterConfig const original = fullConfig();
  UpdaterConfig copy;
  ASSERT_TRUE(copy.fromJson(original.toJson()));
  EXPECT_EQ(copy, original);
}

// The six required members, `useGUI` last; every case below adds to or replaces some.
std::u16string withGui(std::u16string_view gui) {
  return uR"({"server":"s","relativeAppPath":"r","login":"l","password":"p","versionFile":"vf","useGUI":)" +
         std::u16string(gui) + u"}";
}
std::u16string withRequired(std::u16string_view extra) { return withGui(u"2" + std::u16string(extra)); }

UpdaterConfig requiredOnly() {
  UpdaterConfig config;
  config.server = u"s", config.relativeAppPath = u"r", config.login = u"l";
  config.password = u"p", config.versionFile = u"vf", config.useGUI = 2;
  return config;
}

TEST(FromJson, AppliesTheRulesForRequiredOptionalAndMistypedMembers) {
  struct Case {
    char const* name;
    std::u16string text;
    bool accepted;
    std::function<void(UpdaterConfig&)> expectedChange;  // applied to requiredOnly()
  };
  auto const none = [](UpdaterConfig&) {};
  auto const guiNotRead = [](UpdaterConfig& c) { c.useGUI = 0; };
  auto const nothingRead = [](UpdaterConfig& c) { c = UpdaterConfig{}; };
  std::u16string const valid = withRequired(u"");
  const Case cases[] = {
      {"only the required members", valid, true, none},
      {"all optional members",
       withRequired(uR"(,"pid":7,"files":["x"],"appFolder":"af","version":"9","tempFolder":"t","autoUpdate":true,)"
                    uR"("serverOneVersion":true,"useLatest":true,"enableUpdate":true,"updaterPath":"u","other":{})"),
       true,
       [](UpdaterConfig& c) {
         c.pid = 7, c.files = {u"x"}, c.appFolder = u"af", c.version = u"9", c.tempFolder = u"t";
         c.autoUpdate = c.serverOneVersion = c.useLatest = c.enableUpdate = true, c.updaterPath = u"u";
       }},
      {"useGUI true", withGui(u"true"), false, guiNotRead},
      {"useGUI 1.0", withGui(u"1.0"), false, guiNotRead},
      {"useGUI \"1\"", withGui(u"\"1\""), false, guiNotRead},
      {"useGUI beyond int32", withGui(u"2147483648"), false, guiNotRead},
      {"useGUI smallest int32", withGui(u"-2147483648"), true, [](UpdaterConfig& c) { c.useGUI = -2147483647 - 1; }},
      {"useGUI minus zero", withGui(u"-0"), true, guiNotRead},
      {"versionFile missing", uR"({"server":"s","relativeAppPath":"r","login":"l","password":"p","useGUI":2})", false,
       [](UpdaterConfig& c) { c.versionFile.clear(), c.useGUI = 0; }},
      {"pid -1", withRequired(uR"(,"pid":-1)"), true, none},
      {"pid 1.5", withRequired(uR"(,"pid":1.5)"), true, none},
      {"pid too large", withRequired(uR"(,"pid":4294967296)"), true, none},
      {"pid text", withRequired(uR"(,"pid":"5")"), true, none},
      {"pid largest uint32", withRequired(uR"(,"pid":4294967295)"), true, [](UpdaterConfig& c) { c.pid = 4294967295; }},
      {"booleans as text, number or null", withRequired(uR"(,"autoUpdate":"true","useLatest":1,"enableUpdate":null)"),
       true, none},
      {"mixed files", withRequired(uR"(,"files":["a",3,null,"b",["c"],{"d":"e"}])"), true,
       [](UpdaterConfig& c) {
         c.files = {u"a", u"b"};
       }},
      {"files a string", withRequired(uR"(,"files":"a")"), true, none},
      {"mistyped optional strings",
       withRequired(uR"(,"appFolder":1,"version":null,"tempFolder":[],"updaterPath":true)"), true, none},
      {"first duplicate wins", withRequired(uR"(,"server":"second","Server":"capital")"), true, none},
      {"login a number stops after relativeAppPath",
       uR"({"pid":3,"server":"s","appFolder":"af","relativeAppPath":"r","login":5,"password":"p","version":"9",)"
       uR"("versionFile":"vf","useGUI":2,"updaterPath":"u"})",
       false,
       [](UpdaterConfig& c) {
         c = UpdaterConfig{};
         c.pid = 3, c.server = u"s", c.appFolder = u"af", c.relativeAppPath = u"r";
       }},
      {"escapes decoded", withRequired(uR"(,"tempFolder":"\u00e9\"\/\\\t\uD83D\uDE00\uDC00")"), true,
       [](UpdaterConfig& c) { c.tempFolder = u"\u00E9\"/\\\t\U0001F600" + unit(0xDC00); }},
      {"escaped U+0000 cuts the value", withRequired(uR"(,"tempFolder":"ab\u0000cd","files":["x\u0000y"])"), true,
       [](UpdaterConfig& c) { c.tempFolder = u"ab", c.files = {u"x"}; }},
      {"text ends at U+0000", valid + std::u16string(u"\0 trailing garbage {", 20), true, none},
      {"empty", u"", false, nothingRead},
      {"in an array", u"[" + valid + u"]", false, nothingRead},
      {"comment", u"/* c */" + valid, false, nothingRead},
      {"trailing comma", withRequired(u","), false, nothingRead},
      {"two roots", valid + u"{}", false, nothingRead},
      {"form feed is no white space", valid + u"\f", false, nothingRead},
      {"lone surrogate escape", withRequired(uR"(,"x":"\uD800")"), false, nothingRead},
      {"U+0000 inside the object", std::u16string(u"{\"server\":\"s\"\0}", 15), false, nothingRead},
      {"member names are case-sensitive",
       uR"({"Server":"s","relativeAppPath":"r","login":"l","password":"p","versionFile":"vf","useGUI":2})", false,
       nothingRead},
  };
  for (const Case& c : cases) {
    UpdaterConfig expected = requiredOnly();
    c.expectedChange(expected);
    UpdaterConfig actual;
    EXPECT_EQ(actual.fromJson(c.text), c.accepted) << c.name;
    EXPECT_EQ(actual, expected) << c.name;
  }
}

// minCheckInterval and the log's rotation are the service's own: they never reach the
// updater's text; only an unsigned 32-bit interval, an unsigned 64-bit size and 1 to 9
// generations count.
TEST(ReadJson, KeepsTheServiceOnlyIntervalOutOfTheUpdatersText) {
  struct Case {
    std::u16string member;
    std::uint32_t interval;
    std::uint64_t logSize = 16 << 20;
    std::uint32_t generations = 3;
  };
  const Case cases[] = {
      {u",\"minCheckInterval\":900", 900},
      {u",\"minCheckInterval\":4294967295", 4294967295U},
      {u",\"minCheckInterval\":-1", 0},
      {u",\"minCheckInterval\":1.5", 0},
      {u",\"minCheckInterval\":\"900\"", 0},
      {u"", 0},
      {u",\"logRotationSize\":0,\"logGenerations\":9", 0, 0, 9},
      {u",\"logRotationSize\":8589934592,\"logGenerations\":1", 0, 8589934592U, 1},
      {u",\"logRotationSize\":-1,\"logGenerations\":0", 0},
      {u",\"logGenerations\":10", 0},
  };
  for (const Case& c : cases) {
    UpdaterSettings settings;
    ASSERT_TRUE(settings.readJson(withRequired(c.member))) << narrow(c.member);
    EXPECT_EQ(settings.minCheckInterval, c.interval) << narrow(c.member);
    EXPECT_EQ(settings.logRotationSize, c.logSize) << narrow(c.member);
    EXPECT_EQ(settings.logGenerations, c.generations) << narrow(c.member);
    EXPECT_EQ(settings.toJson(), requiredOnly().toJson()) << narrow(c.member);
  }
  UpdaterSettings rejected;
  EXPECT_FALSE(rejected.readJson(u"{\"minCheckInterval\":900}"));
}

TEST(FromJson, AppendsToFilesWithoutClearingThem) {
  UpdaterConfig config;
  config.files = {u"kept"};
  ASSERT_TRUE(config.fromJson(withRequired(uR"(,"files":["a","b"])")));
  EXPECT_EQ(config.files, (std::vector<std::u16string>{u"kept", u"a", u"b"}));
}

// Random code units, mutations of a valid configuration and very deep nesting: the
// reader must answer every one without crashing, and accept only what RapidJSON's
// default parser finds well-formed.
TEST(FromJson, SurvivesHostileTexts) {
  namespace json = halcyra_config_test_rapidjson;
  std::mt19937 random(20240607);
  std::u16string const valid = fullConfig().toJson();
  std::u16string const alphabet = u"{}[]\":,.0123456789-+eEtrufalsn \t\r\n\\u/\u00E9" + unit(0xD800) + unit(0xDC00);
  int accepted = 0;
  for (int i = 0; i < 20000; ++i) {
    std::u16string text = valid;
    if (i % 10 == 0) {
      text.resize(random() % 64);
      for (char16_t& c : text) c = static_cast<char16_t>(random());
    }
    // Up to four edits, each an insertion, a deletion or a replacement.
    for (auto edits = i % 10 == 0 ? 0 : 1 + random() % 4; edits > 0; --edits) {
      text.replace(random() % text.size(), random() % 2, random() % 2, alphabet[random() % alphabet.size()]);
    }
    UpdaterConfig config;
    if (!config.fromJson(text)) continue;
    ++accepted;
    json::GenericDocument<json::UTF16<char16_t>> reference;
    reference.Parse(text.substr(0, text.find(u'\0')).c_str());
    ASSERT_FALSE(reference.HasParseError()) << narrow(text);
  }
  EXPECT_GT(accepted, 100);  // the mutations do reach the member rules

  std::size_t const depth = 100000;
  std::u16string const deep = std::u16string(depth, u'[') + std::u16string(depth, u']');
  UpdaterConfig config;
  EXPECT_TRUE(config.fromJson(withRequired(u",\"ignored\":" + deep)));
  EXPECT_FALSE(config.fromJson(withRequired(u",\"ignored\":" + deep.substr(1))));
  EXPECT_FALSE(config.fromJson(std::u16string(depth, u'{')));
}

}  // namespace
}  // namespace halcyra
