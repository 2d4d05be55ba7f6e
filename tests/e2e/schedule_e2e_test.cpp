// The update schedule of the real service: an updater that installs nothing is retried
// through its first minute, and an update server that answers 503 with Retry-After is asked no
// sooner, while a server that ends at once is still restarted after every pass's wait.

#include "e2e_fixture.h"

namespace halcyra::e2e {
namespace {

// An updater that ends with 0 and installs nothing is started again after every pass's
// wait through its first minute, and the server does not run yet: a brief failure is
// retried, not set aside. The set-aside after 10 minutes, with the server running then, is
// proven in the simulation; 11 minutes here would outlast the whole test command.
TEST_F(ServiceE2E, UpdaterThatInstallsNothingIsRetriedThroughItsFirstMinute) {
  if (!installService("on-ctrl-c=exit") || !installUpdater()) return;
  if (!writeManifest("version.json", R"({"Version":"9.0.0.0","Files":[]})") || !writeUpdateConfig(manifestUrl()) ||
      !startService()) {
    return;
  }
  Stopwatch const since;
  ASSERT_TRUE(awaitUntil(
      60s, [&] { return since.ms() >= 60000; }, 1000ms));
  EXPECT_GE(logCount("sample updater: received"), 6) << "the updater is started again after every pass";
  EXPECT_EQ(logCount("sample server: started"), 0) << "no server in the first minute";
  EXPECT_EQ(tracedCount(R"(0x0002 0x80000011.*)"), 0) << "nothing set aside yet";
  EXPECT_TRUE(stopService());
}

// The long run of the same updater (by hand, see the README): it keeps installing nothing,
// its version is set aside once, and the server runs within 11 minutes.
TEST_F(ServiceE2E, DISABLED_UpdaterThatInstallsNothingIsSetAsideWithinElevenMinutes) {
  if (!installService("on-ctrl-c=exit") || !installUpdater()) return;
  if (!writeManifest("version.json", R"({"Version":"9.0.0.0","Files":[]})") || !writeUpdateConfig(manifestUrl()) ||
      !startService()) {
    return;
  }
  EXPECT_TRUE(awaitUntil(
      11min, [&] { return logCount("sample server: started") > 0; }, 5000ms))
      << "the server runs within 11 minutes";
  EXPECT_EQ(tracedCount(R"(0x0002 0x80000011.*)"), 1) << "set aside once";
  EXPECT_TRUE(stopService());
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
