#include "diagnostic/update_check_report.h"

#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <random>
#include <string>
#include <vector>

#include "config/config_explanation.h"
#include "config/config_file.h"
#include "diagnostic/report_format.h"
#include "diagnostic/utf8_text.h"
#include "update/update_check.h"

namespace halcyra {
namespace {

// Marks the password: no other generated value holds U+00A7, so finding the marker in a
// report means the password leaked.
constexpr char16_t kPasswordMarker[] = u"\u00A7secret";
constexpr char kPasswordMarkerUtf8[] = "\xC2\xA7secret";

class Generator {
 public:
  explicit Generator(unsigned seed) : random_(seed) {}

  // Text with the units that break naive output: quotes, backslashes, control
  // characters, line breaks, lone and paired surrogates, non-ASCII.
  std::u16string text() {
    static const char16_t kUnits[] = {u'a',    u'Z',    u'1',      u' ',      u'"',   u'\\',  u'\n', u'\r',
                                      u'\x01', u'\x7F', u'\u00E9', u'\u20AC', 0xD800, 0xDC00, u'.',  u':'};
    std::u16string out;
    for (int n = pick(8); n > 0; --n) {
      out.push_back(kUnits[pick(sizeof kUnits / sizeof kUnits[0])]);
    }
    return out;
  }

  std::string failure() {
    const std::vector<std::string> texts = {kConfigMissing, kConfigUnreadable, kManifestRejected,
                                            kRemoteVersionRejected, "C:\\\xE9\xFF\n doesn't exist"};
    return texts[static_cast<std::size_t>(pick(static_cast<int>(texts.size())))];
  }

  UpdaterSettings settings() {
    UpdaterSettings s;
    // Secrets of a URL: the password of its user part, a signed URL's query.
    s.server = pick(2) == 0 ? text() : u"ftp://" + text() + u":" + kPasswordMarker + u"@" + text();
    s.versionFile = pick(2) == 0 ? text() : text() + u"?sig=" + kPasswordMarker;
    s.login = text();
    s.password = pick(4) == 0 ? std::u16string() : text() + kPasswordMarker + text();
    s.updaterPath = text();
    s.files = {text(), text()};
    s.enableUpdate = pick(2) == 0;
    s.updateAvailable = pick(2) == 0;
    s.hasError = pick(2) == 0;
    if (s.hasError) {
      s.lastError = failure();
    }
    s.localVersion = {static_cast<std::uint16_t>(pick(3)), 0, 0, 0};
    return s;
  }

  int pick(int bound) { return std::uniform_int_distribution<int>(0, bound - 1)(random_); }

 private:
  std::mt19937 random_;
};

TEST(UpdateCheckReport, BothFormsAreWellFormedAgreeAndNeverShowThePassword) {
  Generator generate(20261207);
  for (int round = 0; round < 2000; ++round) {
    UpdaterSettings const settings = generate.settings();
    bool const completed = generate.pick(10) != 0;
    UpdateCheckDetail detail;
    detail.stage = static_cast<CheckStage>(generate.pick(static_cast<int>(CheckStage::decided) + 1));
    if (generate.pick(2) == 0) {
      detail.rejectedConfig = utf8FromUtf16(generate.text());
    }
    if (generate.pick(2) == 0) {
      detail.transfer = TransferResult{generate.pick(3), "Could not \"resolve\"\n\xE9", 404, generate.pick(2)};
      detail.manifestParse = -generate.pick(3);
    }
    UpdateCheckReport report = interpretUpdateCheck(settings, completed, detail);
    report.configFile = generate.text();
    std::string const text = formatReportText(report);
    std::string const json = formatReportJson(report);
    SCOPED_TRACE(json);

    // Each stage is reached only through the one before it.
    EXPECT_TRUE(!report.remoteVersionKnown || report.localVersionKnown);
    EXPECT_TRUE(!report.localVersionKnown || report.manifestRequested);
    EXPECT_TRUE(!report.manifestRequested || report.configurationRead);
    EXPECT_EQ(report.failure.empty(), report.decision != UpdateDecision::checkFailed);
    EXPECT_EQ(exitCodeOf(report.decision) == 0,
              completed && settings.updateAvailable && !settings.hasError && settings.enableUpdate);

    EXPECT_EQ(text.find(kPasswordMarkerUtf8), std::string::npos);
    EXPECT_EQ(json.find(kPasswordMarkerUtf8), std::string::npos);
    // A value can neither end a line of the text form early nor add one.
    for (char const c : text) {
      EXPECT_TRUE(c == '\n' || static_cast<unsigned char>(c) >= 0x20) << static_cast<int>(c);
    }

    // One line that a strict parser accepts as valid UTF-8 JSON.
    ASSERT_EQ(json.find('\n'), json.size() - 1);
    rapidjson::Document document;
    document.Parse<rapidjson::kParseValidateEncodingFlag>(json.c_str());
    ASSERT_FALSE(document.HasParseError());
    EXPECT_EQ(document["exitCode"].GetInt(), exitCodeOf(report.decision));
    EXPECT_EQ(document["failure"].IsNull(), report.failure.empty());
    EXPECT_EQ(document["configuration"].IsObject(), report.configurationRead);
    if (report.configurationRead) {
      std::string const password = document["configuration"]["password"].GetString();
      EXPECT_EQ(password, settings.password.empty() ? "" : "********");
    }
  }
}

// The reason and position a rejected configuration file is reported with.
TEST(UpdateCheckReport, ARejectedConfigurationIsExplained) {
  struct Case {
    std::string bytes;
    std::size_t line, column;  // 0: no position
    std::string reason;        // a part of the reason
  };
  const Case cases[] = {
      {std::string("\xFF\xFE{\0}\0", 6), 1, 1, "UTF-16"},
      {std::string("{\0\"\0", 4), 1, 1, "UTF-16"},
      {"\xEF\xBB\xBF{}", 1, 1, "byte-order mark"},
      {"{\n\"server\": \"a\"\n \"login\": 1}", 3, 2, "Missing a comma"},
      {std::string("{\"server\": \"a\0\"}", 16), 1, 14, "zero byte"},
      {R"({"server":"s","relativeAppPath":"r","password":"p"})", 0, 0, "\"login\" is missing"},
      {R"({"server":"s","relativeAppPath":"r","login":"l","password":"p","versionFile":"v","useGUI":"0"})", 0, 0,
       "\"useGUI\" is not an integer"},
      {"[1]", 0, 0, "not a JSON object"},
  };
  for (const Case& c : cases) {
    ConfigTextProblem const problem = explainConfigText(c.bytes);
    SCOPED_TRACE(c.reason);
    EXPECT_EQ(problem.offset.has_value(), c.line != 0);
    EXPECT_EQ(problem.line, c.line);
    EXPECT_EQ(problem.column, c.column);
    EXPECT_NE(problem.reason.find(c.reason), std::string::npos) << problem.reason;
  }
}

}  // namespace
}  // namespace halcyra
