// The update schedule of the real service: an updater that installs nothing is set aside
// after three runs, and an update server that answers 503 with Retry-After is asked no
// sooner, while a server that ends at once is still restarted after every pass's wait.

#include "e2e_fixture.h"

namespace halcyra::e2e {
namespace {

// An updater that ends with 0 and installs nothing runs three times for the announced
// version; then the server runs, is restarted as usual, and the updater is not started
// again: the event says the version was set aside and when it is tried again.
TEST_F(ServiceE2E, UpdaterThatInstallsNothingIsSetAside) {
  if (!installService("on-ctrl-c=exit") || !installUpdater()) return;
  if (!writeManifest("version.json", R"({"Version":"9.0.0.0","Files":[]})") || !writeUpdateConfig(manifestUrl()) ||
      !startService()) {
    return;
  }
  ASSERT_TRUE(awaitStarted()) << "the server runs after the updater's runs";
  EXPECT_EQ(logCount("sample updater: received"), 3) << "three runs of the updater, then the server";
  EXPECT_TRUE(traced(R"(0x0002 0x80000011: 9\.0\.0\.0 \| [0-9.]+ \| 3 \| (1[5-9]|2[0-9]|30))"))
      << "event: 9.0.0.0 set aside, tried again in 15 to 30 minutes";

  // The server's end leads to a new pass: the server again, not the updater.
  std::uint32_t const first = serverPid();
  ASSERT_TRUE(kill(first));
  EXPECT_TRUE(awaitNewServer(first, 15s)) << "the server is restarted";
  EXPECT_EQ(logCount("sample updater: received"), 3) << "the set-aside version's updater is not started again";
  EXPECT_GE(manifestRequests("/latest/version.json"), 4) << "the passes still ask the update server";
}

// 503 with Retry-After: 120, and a server that ends at once: the update server is asked once
// in the next 60 s, while the server is restarted every 3 s.
TEST_F(ServiceE2E, RetryAfterHoldsTheFetchesOfACrashLoop) {
  if (!installService("exit-after-ms=0 exit-code=1") || !installUpdater() ||
      !writeUpdateConfig("http://127.0.0.1:" + std::to_string(busyPort())) || !startService()) {
    return;
  }
  ASSERT_TRUE(awaitUntil(20s, [&] { return busyRequests() >= 1; })) << "the first pass asks";
  Stopwatch const since;
  int const startsBefore = logCount("sample server: started");
  ASSERT_TRUE(awaitUntil(
      60s, [&] { return since.ms() >= 60000; }, 1000ms));
  int const starts = logCount("sample server: started") - startsBefore;
  EXPECT_EQ(busyRequests(), 1) << "asked once, not after every pass";
  EXPECT_GE(starts, 12) << "the server is restarted after every 3 s wait";
  EXPECT_TRUE(stopService());
}

}  // namespace
}  // namespace halcyra::e2e
