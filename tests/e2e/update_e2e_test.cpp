// The update check before each launch, against local manifest servers: an update that is
// due, servers that never answer, and faults between passes.

#include <regex>

#include "e2e_fixture.h"

namespace halcyra::e2e {
namespace {

// An update that is due starts the updater instead of the server, with the configuration
// as base64 JSON; the updater's exit code 1115 stops the service.
TEST_F(ServiceE2E, Updater) {
  if (!installService("") || !installUpdater()) return;
  ASSERT_TRUE(writeBytes(root + L"\\updater\\sample-updater.exitcode", "1115\n"));
  if (!writeManifest("version.json", R"({"Version":"2.0.0.0","Files":["HalcyraServer.exe"]})") ||
      !writeUpdateConfig(manifestUrl()) || !startService()) {
    return;
  }
  EXPECT_TRUE(awaitState(SERVICE_STOPPED, 30s)) << "the updater's 1115 stops the service";
  EXPECT_EQ(serviceExitCode(), 0u);
  EXPECT_GE(manifestRequests("/latest/version.json"), 1) << "the manifest was fetched";
  EXPECT_EQ(logCount("sample server: started"), 0) << "the server was not started";
  EXPECT_EQ(logCount("sample updater: received"), 1) << "the updater ran once";
  EXPECT_TRUE(
      traced(R"(0x0004 0x40000005: [^|]*updater[^|]*sample-updater\.exe \| [0-9]+ \| 1 \| 2\.0\.0\.0 \| [0-9.]+)"))
      << "event: the updater started for 2.0.0.0";

  std::string const json = updaterReceived();
  std::smatch pid;
  ASSERT_TRUE(std::regex_search(json, pid, std::regex(R"(^\{"pid":([0-9]+),)"))) << "the updater received: " << json;
  std::string const expected =
      R"({"pid":)" + pid[1].str() + R"(,"files":["a.dll","b.dll"],"server":")" + manifestUrl() +
      R"(","appFolder":"C:\\halcyra-e2e\\Halcyra","relativeAppPath":"HalcyraServer.exe","login":"",)"
      R"("password":"","version":"1.0.0.0","versionFile":"version.json","tempFolder":"C:\\halcyra-e2e\\tmp",)"
      R"("useGUI":0,"autoUpdate":true,"serverOneVersion":false,"useLatest":false,"enableUpdate":true,)"
      R"("updaterPath":")" +
      updaterPathJson() + R"("})";
  EXPECT_EQ(json, expected) << "the configuration with the service's pid and the derived appFolder";
  EXPECT_EQ(pid[1].str(), std::to_string(pidIn(L"updater\\sample-updater.parent")))
      << "the pid is the service's, the updater's parent";
}

// Update servers that never answer: one that accepts and stays silent, one whose
// connections never complete. Neither may keep the server from starting nor hold a stop.
TEST_F(ServiceE2E, StalledUpdateServer) {
  if (!installService("on-ctrl-c=exit") || !installUpdater()) return;

  // A silent server: the check gives up after 20 s without a byte, and the server starts.
  if (!writeUpdateConfig("http://127.0.0.1:" + std::to_string(silentPort())) || !startService()) return;
  Stopwatch running;
  ASSERT_TRUE(awaitUntil(40s, [&] { return serverPid() != 0; })) << "no server despite the silent update server";
  EXPECT_GE(stalledConnections(), 1) << "the check asked the silent update server";
  EXPECT_GE(running.ms(), 20000) << "the server started after the 20 s stall";
  EXPECT_LE(running.ms(), 35000) << "well within a minute and a half";

  // Its end leads to a pass that asks the update server again; a stop during that stalled
  // check completes at once.
  ASSERT_TRUE(kill(serverPid()));
  EXPECT_TRUE(awaitUntil(15s, [&] { return stalledConnections() >= 2; })) << "the next pass asks again";
  int const startedBefore = logCount("sample server: started");
  Stopwatch const stop;
  EXPECT_TRUE(stopService());
  EXPECT_LT(stop.ms(), 5000) << "the stop during the stalled check is prompt";
  // The check ends as a failed one, so the pass launches the server as after any failed
  // check; the watch sees the stop at once and ends it with a Ctrl-C.
  int const afterStop = logCount("sample server: started") - startedBefore;
  EXPECT_LE(afterStop, 1) << "at most the pass's own server started after the stop";
  EXPECT_EQ(logCount("sample server: started"), logCount("sample server: Ctrl-C received") + 1)
      << "and none is left running";

  // A connection that never completes ends with the 15 s connect time-out.
  if (!writeUpdateConfig("http://127.0.0.1:" + std::to_string(unacceptedPort()))) return;
  removeFile(root + L"\\HalcyraServer.pid");
  if (!startService()) return;
  running.reset();
  ASSERT_TRUE(awaitUntil(40s, [&] { return serverPid() != 0; })) << "no server despite the unaccepting server";
  EXPECT_GE(running.ms(), 15000) << "after the 15 s connect time-out";
  EXPECT_LE(running.ms(), 28000) << "after the 15 s connect time-out";
  EXPECT_TRUE(stopService());
}

// Faults between passes: the configuration replaced while the service runs is read by the
// next pass; a missing server executable is tried again every 3 s, and started once it is
// back; an update server that has gone leaves the server running; a stop ends a service
// that has no server to start.
TEST_F(ServiceE2E, Faults) {
  if (!installService("exit-after-ms=1500 exit-code=0") || !installUpdater()) return;
  std::string const none = R"({"Version":"0.0.0.1","Files":[]})";
  if (!writeManifest("first.json", none) || !writeManifest("second.json", none) ||
      !writeUpdateConfig(manifestUrl(), "first.json") || !startService() || !awaitStarted()) {
    return;
  }
  EXPECT_GE(manifestRequests("/latest/first.json"), 1) << "the first configuration is read";

  ASSERT_TRUE(writeUpdateConfig(manifestUrl(), "second.json"));
  EXPECT_TRUE(awaitNewServer(serverPid(), 10s)) << "the next pass starts a server";
  EXPECT_GE(manifestRequests("/latest/second.json"), 1) << "after reading the new configuration";

  // The executable goes while a server runs; each later pass still checks for an update.
  std::uint32_t const running = serverPid();
  std::wstring const server = root + L"\\HalcyraServer.exe";
  std::wstring const aside = base + L"\\HalcyraServer.exe";
  ASSERT_TRUE(moveFile(server, aside));
  ProcessWatch(running).awaitEnd(10s);
  int const fetched = manifestRequests("/latest/second.json");
  Stopwatch const passes;
  EXPECT_TRUE(awaitUntil(20s, [&] { return manifestRequests("/latest/second.json") >= fetched + 3; }))
      << "passes go on without the executable";
  EXPECT_GE(passes.ms(), 6500) << "a pass every 3 s";
  EXPECT_LE(passes.ms(), 15000) << "a pass every 3 s";
  EXPECT_EQ(serviceState(), SERVICE_RUNNING) << "the service stays RUNNING";
  EXPECT_EQ(serverPid(), running) << "no server started meanwhile";
  ASSERT_TRUE(moveFile(aside, server));
  EXPECT_TRUE(awaitNewServer(running, 8s)) << "the server starts once its file is back";

  // The update server goes away: the next pass starts the server all the same.
  ASSERT_TRUE(stopManifestServer());
  EXPECT_TRUE(awaitNewServer(serverPid(), 15s)) << "the server runs without the update server";

  // Without its executable the service still stops at once: the stop comes once the last
  // server has ended and a pass has failed to start the next (or 8 s later).
  ASSERT_TRUE(moveFile(server, aside));
  int const failuresBefore = tracedCount("0x0001 0xc000000c.*");
  ProcessWatch(serverPid()).awaitEnd(10s);
  awaitUntil(8s, [&] { return tracedCount("0x0001 0xc000000c.*") > failuresBefore; });
  EXPECT_TRUE(stopService(10s)) << "the service without a server stops";
  EXPECT_EQ(serviceExitCode(), 0u);
}

}  // namespace
}  // namespace halcyra::e2e
