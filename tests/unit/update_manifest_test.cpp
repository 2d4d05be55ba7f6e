#include <gtest/gtest.h>

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
  std::u16string version = {};  // expected on success
  std::vector<std::u16string> files = {};
};

TEST(ParseReleaseManifest, ReadsOnlyAWellFormedObjectWithBothMembers) {
  constexpr std::size_t kDepth = 1'000'000;  // far beyond what recursion on a thread stack survives
  std::string const open(kDepth, '['), close(kDepth, ']');
  const ParseCase cases[] = {
      {"smallest", R"({"Version":"1.2.3.4","Files":[]})", 0, u"1.2.3.4"},
      {"files in order, other members ignored",
       R"({"X":1,"Files":["b.dll","a.exe","b.dll"],"Version":"2.0.0.1"})",
       0,
       u"2.0.0.1",
       {u"b.dll", u"a.exe", u"b.dll"}},
      {"trailing white space", "{\"Version\":\"1\",\"Files\":[]} \t\r\n", 0, u"1"},
      {"NUL ends the text", "{\"Version\":\"1\",\"Files\":[]}\0garbage"s, 0, u"1"},
      {"first of two Version", R"({"Version":"1.0.0.0","Files":[],"Version":"2.0.0.0"})", 0, u"1.0.0.0"},
      {"UTF-8 bytes sign-extended",
       "{\"Version\":\"\xC3\xA9\",\"Files\":[\"\xE2\x82\xAC\"]}",
       0,
       u"\uFFC3\uFFA9",
       {u"\uFFE2\uFF82\uFFAC"}},
      {"escape decoded to UTF-8 first", R"({"Version":"\u00e9","Files":[]})", 0, u"\uFFC3\uFFA9"},
      {"escaped NUL cuts", R"({"Version":"1.2\u00003.4","Files":["a\u0000b"]})", 0, u"1.2", {u"a"}},

      {"empty", "", -1},
      {"byte-order mark", "\xEF\xBB\xBF{\"Version\":\"1\",\"Files\":[]}", -1},
      {"trailing text", R"({"Version":"1","Files":[]}x)", -1},
      {"comment", R"({"Version":"1","Files":[]}/**/)", -1},
      {"trailing comma", R"({"Version":"1","Files":[],})", -1},
      {"raw control character", "{\"Version\":\"1\x01\",\"Files\":[]}", -1},
      {"cut short", R"({"Version":"1","Fil)", -1},
      {"NUL inside the object", "{\"Version\":\"1\",\0\"Files\":[]}"s, -1},

      {"lower-case version", R"({"version":"1.2.3.4","Files":[]})", -2},
      {"no Files", R"({"Version":"1.2.3.4"})", -2},
      {"Files null", R"({"Version":"1","Files":null})", -2},
      {"Files object", R"({"Version":"1","Files":{}})", -2},
      {"Files string", R"({"Version":"1","Files":"a.exe"})", -2},
      {"Version a number", R"({"Version":1.2,"Files":[]})", -2},
      {"Files with a number", R"({"Version":"1","Files":["a",2]})", -2},
      {"root array", R"([{"Version":"1","Files":[]}])", -2},
      {"root number", "7", -2},

      {"deep and unclosed", open, -1},
      {"deep balanced root", open + close, -2},
      {"deep in an ignored member", R"({"Version":"3.0.0.0","Files":[],"Deep":)" + open + close + "}", 0, u"3.0.0.0"},
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

class DownloadFromFile : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = std::filesystem::temp_directory_path() /
            ("halcyra_manifest_" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "_" +
             ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(root_ / "latest");
    config_.server = u"file://" + root_.generic_u16string();
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
  for (const std::size_t size : {kMaxManifestBytes, kMaxManifestBytes + 1}) {
    bool const kept = size == kMaxManifestBytes;
    std::string const padded = manifest + std::string(size - manifest.size(), ' ');
    writeManifest(padded);
    UpdateServerClient client(config_);
    ::testing::internal::CaptureStdout();
    std::string const body = client.fetchReleaseManifest();
    // CURLE_WRITE_ERROR: the callback refused the body.
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), kept ? "" : "curl told us 23\n");
    EXPECT_TRUE(body == (kept ? padded : "")) << body.size();  // no megabyte dumps on failure
    EXPECT_EQ(client.parseReleaseManifest(body), kept ? 0 : -1);
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
