// The manifest transfer against real servers on 127.0.0.1. Run through
// run_with_servers.py, which starts them and passes their ports in the environment.
// Portable: the same program runs natively and, cross-built, under Wine.

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "config/config_file.h"
#include "platform/files.h"
#include "update/update_check.h"
#include "update/update_server_client.h"

#ifdef HALCYRA_SIM_BACKEND
#include "platform/sim/sim.h"
#endif

namespace halcyra {
namespace {

// What run_with_servers.py configures and serves.
constexpr char16_t kHttpUser[] = u"halcyra";
constexpr char16_t kHttpPassword[] = u"pa\u20ACss";
constexpr char kHttpCredentialsHex[] = "68616c637972613a7061ac7373";  // "halcyra:pa" 0xAC "ss"
constexpr char16_t kFtpUser[] = u"updates";
constexpr char16_t kFtpPassword[] = u"ftp-secret";

std::u16string ascii(const std::string& text) { return {text.begin(), text.end()}; }

std::string portFromEnvironment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

struct Fetched {
  std::string body;
  std::string printed;
  int parse;
  ReleaseManifest manifest;
};

Fetched fetch(const UpdaterConfig& config) {
  UpdateServerClient client(config);
  Fetched result;
  ::testing::internal::CaptureStdout();
  result.body = client.fetchReleaseManifest();
  result.printed = ::testing::internal::GetCapturedStdout();
  result.parse = client.parseReleaseManifest(result.body);
  result.manifest = client.manifest();
  return result;
}

struct Request {
  std::string path;
  std::string credentialsHex;
  int status;
};

std::size_t appendBody(char* data, std::size_t size, std::size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(data, size * count);
  return size * count;
}

class UpdateServers : public ::testing::Test {
 protected:
  void SetUp() override {
    httpPort_ = portFromEnvironment("HALCYRA_HTTP_PORT");
    ftpPort_ = portFromEnvironment("HALCYRA_FTP_PORT");
    closedPort_ = portFromEnvironment("HALCYRA_CLOSED_PORT");
    ASSERT_FALSE(httpPort_.empty() || ftpPort_.empty() || closedPort_.empty())
        << "run this program through tests/network/run_with_servers.py";
  }

  // The HTTP server's record of every request so far, read past the product's code.
  std::vector<Request> httpRequests() const {
    std::string log;
    CURL* const curl = curl_easy_init();
    std::string const url = "http://127.0.0.1:" + httpPort_ + "/__requests";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &appendBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &log);
    CURLcode const code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    EXPECT_EQ(code, CURLE_OK);
    std::vector<Request> requests;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      Request request{};
      std::getline(fields, request.path, '\t');
      std::getline(fields, request.credentialsHex, '\t');
      fields >> request.status;
      requests.push_back(request);
    }
    return requests;
  }

  std::string httpPort_, ftpPort_, closedPort_;
};

TEST_F(UpdateServers, HttpTransfersAskForTheExactPathWithTheTruncatedCredentials) {
  struct Case {
    const char* what;
    std::u16string serverSuffix;
    std::u16string versionFile;
    std::u16string password;
    std::string seenPath;
    std::string seenCredentialsHex;
    int seenStatus;
    int parse;
    std::u16string version;
    std::vector<std::u16string> files;
  };
  const Case cases[] = {
      {"credentials accepted",
       u"",
       u"manifest.json",
       kHttpPassword,
       "/latest/manifest.json",
       kHttpCredentialsHex,
       200,
       0,
       u"2.5.0.1",
       {u"HalcyraServer.exe", u"lib/core.dll"}},
      {"server ending in a slash",
       u"/",
       u"manifest.json",
       kHttpPassword,
       "//latest/manifest.json",
       kHttpCredentialsHex,
       200,
       0,
       u"2.5.0.1",
       {u"HalcyraServer.exe", u"lib/core.dll"}},
      {"error body that is a manifest",
       u"",
       u"absent.json",
       kHttpPassword,
       "/latest/absent.json",
       kHttpCredentialsHex,
       404,
       0,
       u"4.0.4.0",
       {}},
      {"empty versionFile", u"", u"", kHttpPassword, "/latest/", kHttpCredentialsHex, 404, 0, u"4.0.4.0", {}},
      {"password refused",
       u"",
       u"manifest.json",
       u"pa\u20ACsS",
       "/latest/manifest.json",
       "68616c637972613a7061ac7353",
       401,
       -1,
       u"0.0.0.0",
       {}},
  };
  for (const Case& c : cases) {
    UpdaterConfig config;
    config.server = u"http://127.0.0.1:" + ascii(httpPort_) + c.serverSuffix;
    config.versionFile = c.versionFile;
    config.login = kHttpUser;
    config.password = c.password;
    config.version = u"0.0.0.0";
    std::size_t const before = httpRequests().size();

    Fetched const fetched = fetch(config);

    EXPECT_EQ(fetched.printed, "") << c.what;  // an HTTP error status is no transfer failure
    EXPECT_EQ(fetched.parse, c.parse) << c.what << ": " << fetched.body;
    EXPECT_EQ(fetched.manifest.version, c.version) << c.what;
    EXPECT_EQ(fetched.manifest.files, c.files) << c.what;
    std::vector<Request> const requests = httpRequests();
    ASSERT_EQ(requests.size(), before + 1) << c.what;
    EXPECT_EQ(requests.back().path, c.seenPath) << c.what;
    EXPECT_EQ(requests.back().status, c.seenStatus) << c.what;
    EXPECT_EQ(requests.back().credentialsHex, c.seenCredentialsHex) << c.what;
  }
}

TEST_F(UpdateServers, FtpTransfersLogInAndReportFailuresOnStandardOutput) {
  struct Case {
    const char* what;
    std::u16string password;
    std::u16string versionFile;
    std::string printed;
    int parse;
    std::u16string version;
  };
  const Case cases[] = {
      {"logged in", kFtpPassword, u"manifest.json", "", 0, u"3.1.0.7"},
      {"login refused", u"ftp-secreT", u"manifest.json", "curl told us 67\n", -1, u"0.0.0.0"},
      {"no such manifest", kFtpPassword, u"absent.json", "curl told us 78\n", -1, u"0.0.0.0"},
  };
  for (const Case& c : cases) {
    UpdaterConfig config;
    config.server = u"ftp://127.0.0.1:" + ascii(ftpPort_);
    config.versionFile = c.versionFile;
    config.login = kFtpUser;
    config.password = c.password;
    config.version = u"0.0.0.0";

    Fetched const fetched = fetch(config);

    EXPECT_EQ(fetched.printed, c.printed) << c.what;
    EXPECT_EQ(fetched.parse, c.parse) << c.what;
    EXPECT_EQ(fetched.manifest.version, c.version) << c.what;
    if (c.parse != 0) {
      EXPECT_EQ(fetched.body, "") << c.what;
    }
  }
}

// JSON string for an ASCII path.
std::string jsonString(const std::u16string& text) {
  std::string quoted = "\"";
  for (char16_t const unit : text) {
    if (unit == u'\\' || unit == u'"') quoted += '\\';
    quoted += static_cast<char>(unit);
  }
  return quoted + "\"";
}

TEST_F(UpdateServers, AClosedPortEndsTheCheckAsAnInvalidManifest) {
  std::vector<char16_t> module(platform::kMaxPath);
  platform::Dword const length = platform::GetModuleFileNameW(nullptr, module.data(), platform::kMaxPath);
  ASSERT_GT(length, 0u);
  std::u16string const modulePath(module.data(), length);
  std::u16string const root = installRootOf(modulePath);
  std::u16string const moduleName = modulePath.substr(modulePath.find_last_of(u"\\/") + 1);
  std::u16string const configFile = root + u"\\resources\\updater\\config.json";

  std::string const json = R"({"server":"http://127.0.0.1:)" + closedPort_ + R"(","relativeAppPath":)" +
                           jsonString(moduleName) + R"(,"login":"","password":"","versionFile":"manifest.json",)" +
                           R"("useGUI":0,"autoUpdate":true,"enableUpdate":true,"updaterPath":)" + jsonString(root) +
                           "}";
#ifdef HALCYRA_SIM_BACKEND
  sim::reset();
  sim::addFile(configFile, json);
#else
  std::filesystem::create_directories(std::filesystem::path(configFile).parent_path());
  std::ofstream(std::filesystem::path(configFile), std::ios::binary) << json;
#endif

  UpdaterSettings settings;
  ::testing::internal::CaptureStdout();
  checkForUpdate(settings, "resources\\updater\\config.json", u"");
  std::string const printed = ::testing::internal::GetCapturedStdout();

#ifndef HALCYRA_SIM_BACKEND
  // Only what this test created goes; folders that hold anything else stay.
  std::error_code ignored;
  std::filesystem::path const file(configFile);
  std::filesystem::remove(file, ignored);
  std::filesystem::remove(file.parent_path(), ignored);
  std::filesystem::remove(file.parent_path().parent_path(), ignored);
#endif
  EXPECT_EQ(printed, "curl told us 7\n");  // CURLE_COULDNT_CONNECT
  EXPECT_TRUE(settings.hasError);
  EXPECT_FALSE(settings.updateAvailable);
  EXPECT_EQ(settings.lastError, "Invalid remote update config");
}

}  // namespace
}  // namespace halcyra
