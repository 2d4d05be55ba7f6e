// The manifest transfer against real servers on 127.0.0.1. Run through
// run_with_servers.py, which starts them and passes their ports in the environment.
// Portable: the same program runs natively and, cross-built, under Wine.

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "config/config_file.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/unique_handle.h"
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

// Seconds since `start`.
double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The whole check against servers that refuse, trickle or stall, with the service's own
// transfer limits. A stop during a stalled transfer ends it within about a second.
TEST_F(UpdateServers, TheCheckEndsAsItsTransferDoes) {
  std::vector<char16_t> module(platform::kMaxPath);
  platform::Dword const length = platform::GetModuleFileNameW(nullptr, module.data(), platform::kMaxPath);
  ASSERT_GT(length, 0u);
  std::u16string const modulePath(module.data(), length);
  std::u16string const root = installRootOf(modulePath);
  std::u16string const moduleName = modulePath.substr(modulePath.find_last_of(u"\\/") + 1);
  std::u16string const configFile = root + u"\\resources\\updater\\config.json";

  struct Case {
    const char* what;
    std::string port;
    bool cancelled;
    std::string printed;
    bool updateAvailable;
    std::string lastError;
    double maxSeconds;
  };
  const Case cases[] = {
      {"closed port", closedPort_, false, "curl told us 7\n", false, "Invalid remote update config", 10},
      {"slow but steady manifest", portFromEnvironment("HALCYRA_TRICKLE_PORT"), false, "", true, "", 30},
      // The stop comes 1 s into a stall that would otherwise last about 26 s.
      {"stop during a stall", portFromEnvironment("HALCYRA_STALL_PORT"), true, "curl told us 42\n", false,
       "Invalid remote update config", 3.5},
  };
  for (const Case& c : cases) {
    std::string const json = R"({"server":"http://127.0.0.1:)" + c.port + R"(","relativeAppPath":)" +
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
    platform::UniqueHandle const stop(platform::CreateEventA(nullptr, platform::kTrue, platform::kFalse, nullptr));
    ASSERT_TRUE(stop) << c.what;
    std::thread stopper;
    if (c.cancelled) {
#ifdef HALCYRA_SIM_BACKEND
      // The simulated machine serves one thread: the stop is there before the transfer.
      platform::SetEvent(stop.get());
#else
      stopper = std::thread([&stop] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        platform::SetEvent(stop.get());
      });
#endif
    }

    UpdaterSettings settings;
    auto const started = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStdout();
    checkForUpdate(settings, "resources\\updater\\config.json", u"", stop.get());
    std::string const printed = ::testing::internal::GetCapturedStdout();
    double const took = secondsSince(started);
    if (stopper.joinable()) {
      stopper.join();
    }

#ifndef HALCYRA_SIM_BACKEND
    // Only what this test created goes; folders that hold anything else stay.
    std::error_code ignored;
    std::filesystem::path const file(configFile);
    std::filesystem::remove(file, ignored);
    std::filesystem::remove(file.parent_path(), ignored);
    std::filesystem::remove(file.parent_path().parent_path(), ignored);
#endif
    EXPECT_EQ(printed, c.printed) << c.what;
    EXPECT_EQ(settings.hasError, !c.lastError.empty()) << c.what;
    EXPECT_EQ(settings.updateAvailable, c.updateAvailable) << c.what;
    EXPECT_EQ(settings.lastError, c.lastError) << c.what;
    EXPECT_LT(took, c.maxSeconds) << c.what;
  }
}

// Shortened limits show that each one ends its kind of stall, and the certificate
// check of an HTTPS transfer.
TEST_F(UpdateServers, BoundedTransfersAndCertificates) {
  std::string const httpsCa = portFromEnvironment("HALCYRA_HTTPS_CA");
  struct Case {
    const char* what;
    std::string url;
    TransferOptions options;
    std::string printed;
    int parse;
    double maxSeconds;
    bool signatureToo = false;  // the signature is fetched after the manifest, by the same client
  };
  TransferOptions shortTotal;  // a trickle takes 4 pieces 1.5 s apart
  shortTotal.totalTimeoutMs = 4000;
  TransferOptions quickStall;
  quickStall.lowSpeedBytesPerSecond = 100;  // the few bytes sent before the stall count as a stall
  quickStall.lowSpeedSeconds = 2;
  TransferOptions quickConnect;
  quickConnect.connectTimeoutMs = 1500;
  TransferOptions trusted;
  trusted.certificateAuthorityFile = httpsCa;
#ifdef _WIN32
  // Wine's Schannel accepts any certificate; Windows would check it against the
  // machine's certificate store and answer 60.
  std::string const untrustedPrinted;
  int const untrustedParse = kManifestRead;
#else
  std::string const untrustedPrinted = "curl told us 60\n";  // CURLE_PEER_FAILED_VERIFICATION
  int const untrustedParse = kManifestNotJson;
#endif
  std::string const https = "https://127.0.0.1:" + portFromEnvironment("HALCYRA_HTTPS_PORT");
  const Case cases[] = {
      {"stall after a few bytes", "http://127.0.0.1:" + portFromEnvironment("HALCYRA_STALL_PORT"), quickStall,
       "curl told us 28\n", kManifestNotJson, 6},
      {"connection never accepted", "http://127.0.0.1:" + portFromEnvironment("HALCYRA_UNACCEPTED_PORT"), quickConnect,
       "curl told us 28\n", kManifestNotJson, 4},
#ifndef _WIN32
      {"HTTPS, CA trusted", https, trusted, "", kManifestRead, 10},
#endif
      {"HTTPS, CA unknown to the system", https, TransferOptions{}, untrustedPrinted, untrustedParse, 10},
      // One deadline for both: the signature's transfer gets what the manifest's left.
      {"manifest and signature trickle", "http://127.0.0.1:" + portFromEnvironment("HALCYRA_TRICKLE_PORT"), shortTotal,
       "curl told us 28\ncurl told us 28\n", kManifestNotJson, 5.5, true},
  };
  for (const Case& c : cases) {
    UpdaterConfig config;
    config.server = ascii(c.url);
    config.versionFile = u"manifest.json";
    config.login = kHttpUser;
    config.password = kHttpPassword;
    config.version = u"0.0.0.0";
    UpdateServerClient client(config);
    client.setTransferOptions(c.options);

    auto const started = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStdout();
    std::string const body = client.fetchReleaseManifest();
    std::string signature;
    if (c.signatureToo) static_cast<void>(client.downloadToStream(u"latest/manifest.json.sig", signature));
    std::string const printed = ::testing::internal::GetCapturedStdout();
    double const took = secondsSince(started);

    EXPECT_EQ(printed, c.printed) << c.what;
    EXPECT_EQ(client.parseReleaseManifest(body), c.parse) << c.what << ": " << body;
    EXPECT_LT(took, c.maxSeconds) << c.what;
  }
}

}  // namespace
}  // namespace halcyra
