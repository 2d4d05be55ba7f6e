#include <gtest/gtest.h>
#include <rapidjson/document.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "update/update_server_client.h"

namespace halcyra {
namespace {

using namespace std::string_literals;

constexpr char16_t kConfiguredVersion[] = u"0.9.0.0";

UpdaterConfig configWithVersion() {
  UpdaterConfig config;
  config.version = kConfiguredVersion;
  return config;
}

struct ParseCase {
  const char* what;
  std::string body;
  int result;
  std::u16string version;  // expected on success
  std::vector<std::u16string> files;
};

TEST(ParseReleaseManifest, ReadsOnlyAWellFormedObjectWithBothMembers) {
  const ParseCase cases[] = {
      {"smallest", R"({"Version":"1.2.3.4","Files":[]})", 0, u"1.2.3.4", {}},
      {"files in order, other members ignored",
       R"({"X":1,"Files":["b.dll","a.exe","b.dll"],"Version":"2.0.0.1"})",
       0,
       u"2.0.0.1",
       {u"b.dll", u"a.exe", u"b.dll"}},
      {"trailing white space", "{\"Version\":\"1\",\"Files\":[]} \t\r\n", 0, u"1", {}},
      {"NUL ends the text", "{\"Version\":\"1\",\"Files\":[]}\0garbage"s, 0, u"1", {}},
      {"first of two Version", R"({"Version":"1.0.0.0","Files":[],"Version":"2.0.0.0"})", 0, u"1.0.0.0", {}},
      {"UTF-8 bytes sign-extended",
       "{\"Version\":\"\xC3\xA9\",\"Files\":[\"\xE2\x82\xAC\"]}",
       0,
       u"\uFFC3\uFFA9",
       {u"\uFFE2\uFF82\uFFAC"}},
      {"escape decoded to UTF-8 first", R"({"Version":"\u00e9","Files":[]})", 0, u"\uFFC3\uFFA9", {}},
      {"escaped NUL cuts", R"({"Version":"1.2\u00003.4","Files":["a\u0000b"]})", 0, u"1.2", {u"a"}},

      {"empty", "", -1, {}, {}},
      {"white space only", " \r\n", -1, {}, {}},
      {"byte-order mark", "\xEF\xBB\xBF{\"Version\":\"1\",\"Files\":[]}", -1, {}, {}},
      {"trailing text", R"({"Version":"1","Files":[]}x)", -1, {}, {}},
      {"two roots", R"({"Version":"1","Files":[]}{})", -1, {}, {}},
      {"comment", R"({"Version":"1","Files":[]}/**/)", -1, {}, {}},
      {"trailing comma", R"({"Version":"1","Files":[],})", -1, {}, {}},
      {"raw control character", "{\"Version\":\"1\x01\",\"Files\":[]}", -1, {}, {}},
      {"HTML page", "<html><body>404 Not Found</body></html>", -1, {}, {}},
      {"cut short", R"({"Version":"1","Fil)", -1, {}, {}},
      {"NUL inside the object", "{\"Version\":\"1\",\0\"Files\":[]}"s, -1, {}, {}},

      {"lower-case version", R"({"version":"1.2.3.4","Files":[]})", -2, {}, {}},
      {"no Files", R"({"Version":"1.2.3.4"})", -2, {}, {}},
      {"Files null", R"({"Version":"1","Files":null})", -2, {}, {}},
      {"Files object", R"({"Version":"1","Files":{}})", -2, {}, {}},
      {"Files string", R"({"Version":"1","Files":"a.exe"})", -2, {}, {}},
      {"Version a number", R"({"Version":1.2,"Files":[]})", -2, {}, {}},
      {"Version null", R"({"Version":null,"Files":[]})", -2, {}, {}},
      {"Files with a number", R"({"Version":"1","Files":["a",2]})", -2, {}, {}},
      {"Files with an array", R"({"Version":"1","Files":[["a"]]})", -2, {}, {}},
      {"root array", R"([{"Version":"1","Files":[]}])", -2, {}, {}},
      {"root string", R"("Version")", -2, {}, {}},
      {"root number", "7", -2, {}, {}},
  };
  for (const ParseCase& c : cases) {
    UpdateServerClient client(configWithVersion());
    EXPECT_EQ(client.parseReleaseManifest(c.body), c.result) << c.what;
    ReleaseManifest const manifest = client.manifest();
    if (c.result == 0) {
      EXPECT_EQ(manifest.version, c.version) << c.what;
      EXPECT_EQ(manifest.files, c.files) << c.what;
    } else {
      EXPECT_EQ(manifest.version, kConfiguredVersion) << c.what;
      EXPECT_TRUE(manifest.files.empty()) << c.what;
    }
  }
}

TEST(ParseReleaseManifest, ARejectedBodyLeavesTheEarlierManifest) {
  UpdateServerClient client(configWithVersion());
  ASSERT_EQ(client.parseReleaseManifest(R"({"Version":"1.2.3.4","Files":["a"]})"), 0);
  EXPECT_EQ(client.parseReleaseManifest(R"({"Version":"5.0.0.0","Files":["b",3]})"), -2);
  EXPECT_EQ(client.parseReleaseManifest(R"({"Version":"5.0.0.0","Files":["b"])"), -1);
  EXPECT_EQ(client.manifest().version, u"1.2.3.4");
  EXPECT_EQ(client.manifest().files, std::vector<std::u16string>{u"a"});
}

TEST(ParseReleaseManifest, DeepNestingEndsInAnOrderlyResult) {
  constexpr std::size_t kDepth = 1'000'000;  // far beyond what recursion on a thread stack survives
  std::string const open(kDepth, '['), close(kDepth, ']');
  const ParseCase cases[] = {
      {"unclosed", open, -1, {}, {}},
      {"balanced root", open + close, -2, {}, {}},
      {"in an ignored member", R"({"Version":"3.0.0.0","Files":[],"Deep":)" + open + close + "}", 0, u"3.0.0.0", {}},
  };
  for (const ParseCase& c : cases) {
    UpdateServerClient client(configWithVersion());
    EXPECT_EQ(client.parseReleaseManifest(c.body), c.result) << c.what;
    EXPECT_EQ(client.manifest().version, c.result == 0 ? c.version : kConfiguredVersion) << c.what;
  }
}

// The manifest is parsed iteratively so that nesting cannot exhaust the stack; that must
// not change which texts count as JSON. Every one-character edit of a few manifests is
// judged by the default recursive parser and by parseReleaseManifest.
TEST(ParseReleaseManifest, AcceptsExactlyWhatTheDefaultParserAccepts) {
  const std::string seeds[] = {
      R"({"Version":"1.2.3.4","Files":["a.exe","b"]})",
      R"( {"Files":[1,-2.5e3,true,null,{}],"Version":"\u00e9\n"} )",
      R"([{"a":[[]]},"x",0])",
  };
  const std::string alphabet = "{}[],:\"\\ \t\r\n0-.eE+atfnu/\x01\x7F\xC3";
  std::size_t compared = 0;
  auto compare = [&](const std::string& text) {
    rapidjson::Document reference;
    reference.Parse(text.c_str());
    UpdateServerClient client(UpdaterConfig{});
    EXPECT_EQ(client.parseReleaseManifest(text) == -1, reference.HasParseError()) << text;
    ++compared;
  };
  for (const std::string& seed : seeds) {
    compare(seed);
    for (std::size_t at = 0; at <= seed.size(); ++at) {
      if (at < seed.size()) compare(seed.substr(0, at) + seed.substr(at + 1));
      for (char const ch : alphabet) {
        compare(seed.substr(0, at) + ch + seed.substr(at));
        if (at < seed.size()) compare(seed.substr(0, at) + ch + seed.substr(at + 1));
      }
    }
  }
  EXPECT_GT(compared, 3000u);
}

TEST(WriteToStream, AppendsUntilTheLimitThenRefusesEverything) {
  std::string sink = "kept";
  WriteContext context;
  context.sink = &sink;
  context.limit = 10;
  char data[] = "0123456789ABC";

  struct Step {
    std::size_t size, count, returned;
    const char* sinkAfter;
  };
  const Step steps[] = {
      {1, 4, 4, "kept0123"},        // libcurl's usual size of 1
      {2, 3, 6, "kept0123012345"},  // n is size * count; exactly reaches the limit
      {1, 0, 0, "kept0123012345"},  // nothing to take
      {1, 1, 0, "kept0123012345"},  // one byte over: refused
      {1, 0, 0, "kept0123012345"},  // and nothing more after a refusal
  };
  for (const Step& s : steps) {
    EXPECT_EQ(writeToStream(data, s.size, s.count, &context), s.returned);
    EXPECT_EQ(sink, s.sinkAfter);
  }
  EXPECT_TRUE(context.refused);
}

class DownloadFromFile : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("halcyra_manifest_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(root_ / "latest");
    // file:///tmp/... here, file:///C:/... on Windows.
    std::u16string const path = root_.generic_u16string();
    config_.server = (path.starts_with(u'/') ? u"file://" : u"file:///") + path;
    config_.versionFile = u"manifest.json";
  }
  void TearDown() override { std::filesystem::remove_all(root_); }

  void writeManifest(const std::string& bytes) {
    std::ofstream(root_ / "latest" / "manifest.json", std::ios::binary) << bytes;
  }

  std::filesystem::path root_;
  UpdaterConfig config_;
};

TEST_F(DownloadFromFile, ABodyUpToTheCapIsKeptAndALargerOneIsDroppedAsAFailedTransfer) {
  std::string const manifest = R"({"Version":"4.0.0.0","Files":[]})";
  struct Case {
    std::size_t size;
    bool kept;
  };
  for (const Case c : {Case{kMaxManifestBytes, true}, Case{kMaxManifestBytes + 1, false}}) {
    std::string const padded = manifest + std::string(c.size - manifest.size(), ' ');
    writeManifest(padded);
    UpdateServerClient client(config_);
    ::testing::internal::CaptureStdout();
    std::string const body = client.fetchReleaseManifest();
    std::string const printed = ::testing::internal::GetCapturedStdout();
    if (c.kept) {
      EXPECT_TRUE(body == padded) << body.size();  // no megabyte dumps on failure
      EXPECT_EQ(printed, "");
      EXPECT_EQ(client.parseReleaseManifest(body), 0);
    } else {
      EXPECT_TRUE(body.empty()) << body.size();
      EXPECT_EQ(printed, "curl told us 23\n");  // CURLE_WRITE_ERROR: the callback refused
      EXPECT_EQ(client.parseReleaseManifest(body), -1);
    }
  }
}

TEST_F(DownloadFromFile, AMissingManifestIsReportedOnStandardOutputOnly) {
  UpdateServerClient client(config_);
  std::string sink = "before";
  ::testing::internal::CaptureStdout();
  EXPECT_FALSE(client.downloadToStream(u"latest/absent.json", sink));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "curl told us 37\n");  // CURLE_FILE_COULDNT_READ_FILE
  EXPECT_EQ(sink, "before");

  writeManifest("{}");
  ::testing::internal::CaptureStdout();
  EXPECT_TRUE(client.downloadToStream(u"latest/manifest.json", sink));
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(sink, "before{}");  // appended, not replaced
}

}  // namespace
}  // namespace halcyra
