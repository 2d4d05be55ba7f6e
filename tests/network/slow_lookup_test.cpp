// A manifest transfer whose name lookup is slow: a stop and the connect limit must end it
// on time, not when the lookup finally returns. This program defines getaddrinfo itself,
// so that libcurl's resolver thread, which calls it, takes as long as a case says for the
// test's host name; every other name goes to the C library.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <netdb.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "platform/sync.h"
#include "platform/unique_handle.h"
#include "update/update_server_client.h"

namespace {

constexpr char kSlowHost[] = "lookup.halcyra.test";
std::atomic<int> lookupMilliseconds{0};

}  // namespace

extern "C" int getaddrinfo(const char* node, const char* service, const struct addrinfo* hints,
                           struct addrinfo** result) {
  if (node != nullptr && std::strcmp(node, kSlowHost) == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(lookupMilliseconds.load()));
    return EAI_NONAME;
  }
  using Lookup = int (*)(const char*, const char*, const struct addrinfo*, struct addrinfo**);
  static auto const next = reinterpret_cast<Lookup>(dlsym(RTLD_NEXT, "getaddrinfo"));
  return next(node, service, hints, result);
}

namespace halcyra {
namespace {

TEST(SlowNameLookup, AStopAndTheConnectLimitEndTheTransferOnTime) {
  struct Case {
    const char* what;
    int lookupMs;
    bool stopped;  // the stop is there when the transfer starts
    long connectTimeoutMs;
    int curlCode;
    double maxSeconds;
  };
  const Case cases[] = {
      {"stop during a 10 s lookup", 10000, true, 15000, 42, 1.5},
      {"connect limit of 2 s over a 30 s lookup", 30000, false, 2000, 28, 3.5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    lookupMilliseconds = c.lookupMs;
    UpdaterConfig configuration;
    configuration.server = u"http://lookup.halcyra.test";
    configuration.versionFile = u"manifest.json";
    platform::UniqueHandle const stop(platform::CreateEventA(nullptr, platform::kTrue, platform::kFalse, nullptr));
    ASSERT_TRUE(stop);
    if (c.stopped) platform::SetEvent(stop.get());
    UpdateServerClient client(configuration, stop.get());
    TransferOptions options;
    options.connectTimeoutMs = c.connectTimeoutMs;
    client.setTransferOptions(options);

    auto const started = std::chrono::steady_clock::now();
    ::testing::internal::CaptureStdout();
    std::string const body = client.fetchReleaseManifest();
    ::testing::internal::GetCapturedStdout();
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), c.maxSeconds);
    EXPECT_EQ(client.lastTransfer().curlCode, c.curlCode);
    EXPECT_TRUE(body.empty());
  }
}

}  // namespace
}  // namespace halcyra
