// The service's life with the sample server: starts, restarts, stops and the ways a server
// ends.
//
// What Wine cannot express is proven in the simulation instead: the console session is
// always 1 and SetTokenInformation(TokenSessionId) changes nothing, so moving a child to
// another session is never exercised here; SESSIONCHANGE and PRESHUTDOWN controls are never
// delivered; there are no privilege checks; and the SCM does not notice a service process
// that dies. Wine also delivers a Ctrl-C raised for process group 0 only to the caller's
// own process group (in the service the child and the stop-request instance share the
// service's group, so the stop works), and its service control dispatcher, started outside
// the SCM, gives up only after about 10 s.

#include "e2e_fixture.h"

namespace halcyra::e2e {
namespace {

std::string id(std::uint32_t pid) { return std::to_string(pid); }

// The server starts in installRoot with its output in the log; killed, it is back about
// 3 s later; a stop ends it with a Ctrl-C and the service reports STOPPED, and each step
// is an event.
TEST_F(ServiceE2E, StartRestart) {
  if (!installService("on-ctrl-c=exit") || !startService() || !awaitStarted()) return;
  std::uint32_t const first = serverPid();
  EXPECT_TRUE(alive(first)) << "the server runs";
  awaitUntil(5s, [&] { return logHas("sample server: standard error works (" + id(first) + ")"); });
  EXPECT_TRUE(logHas("sample server: started (" + id(first) + ")")) << "its standard output is in the log";
  EXPECT_TRUE(logHas("sample server: standard error works (" + id(first) + ")")) << "its standard error too";
  EXPECT_TRUE(logHas("sample server: working folder " + narrow(root))) << "it runs in installRoot";

  Stopwatch const killed;
  ASSERT_TRUE(kill(first));
  ASSERT_TRUE(awaitNewServer(first, 15s)) << "the killed server was not started again";
  EXPECT_GE(killed.ms(), 2500) << "the restart comes about 3 s later";
  EXPECT_LE(killed.ms(), 8000) << "the restart comes about 3 s later";

  std::uint32_t const second = serverPid();
  EXPECT_TRUE(stopService());
  EXPECT_TRUE(logHas("sample server: Ctrl-C received (" + id(second) + ")")) << "the server received the Ctrl-C";
  EXPECT_FALSE(alive(second));

  // Informational 0x0004, warning 0x0002. The server's restart after an end within 60 s
  // of its start is folded into the next report, so only the first start is an event.
  struct Event {
    const char* what;
    std::string pattern;
  };
  Event const expected[] = {
      {"the service started", "0x0004 0x40000001"},
      {"no configuration", "0x0002 0x8000000b: Updater config doesn't exist \\| no transfer was made \\| none"},
      {"the first server started", "0x0004 0x40000004: HalcyraServer.exe \\| " + id(first) + " \\| 1"},
      {"the first server ended with the kill's exit code 1",
       "0x0002 0x40000006: HalcyraServer.exe \\| " + id(first) + " \\| 1 \\| [0-9]+\\.[0-9]"},
      {"the second server obeyed the Ctrl-C with its exit code 42",
       "0x0004 0x40000007: HalcyraServer.exe \\| " + id(second) + " \\| 42"},
      {"the service stopped", "0x0004 0x40000002"},
  };
  for (Event const& event : expected) EXPECT_TRUE(traced(event.pattern)) << "event: " << event.what;
}

// The Ctrl-C reaches the server and the grandchild that shares its console; the server's
// own exit code stands; the stop completes well within the grace period.
TEST_F(ServiceE2E, GracefulStop) {
  if (!installService("grandchild=yes ctrl-c-delay-ms=500 ctrl-c-exit-code=42") || !startService() ||
      !awaitStarted(L"HalcyraServer.grandchild.pid")) {
    return;
  }
  std::uint32_t const server = serverPid();
  std::uint32_t const grandchild = grandchildPid();
  ProcessWatch watch(server);
  ASSERT_TRUE(watch.opened());

  Stopwatch const stop;
  EXPECT_TRUE(stopService());
  EXPECT_LT(stop.ms(), 15000) << "the stop did not wait for the grace period";
  ASSERT_TRUE(watch.awaitEnd(10s));
  EXPECT_EQ(watch.exitCode(), 42u) << "the server ended with its own exit code";
  EXPECT_TRUE(logHas("sample server: Ctrl-C received (" + id(server) + ")"));
  EXPECT_TRUE(logHas("sample server grandchild: Ctrl-C received (" + id(grandchild) + ")"))
      << "the grandchild got the Ctrl-C too";
  EXPECT_EQ(serviceExitCode(), 0u);
}

// A server that ignores Ctrl-C is terminated with 1067 about 20 s after the request.
TEST_F(ServiceE2E, IgnoredCtrlC) {
  if (!installService("on-ctrl-c=ignore") || !startService() || !awaitStarted()) return;
  std::uint32_t const server = serverPid();
  ProcessWatch watch(server);
  ASSERT_TRUE(watch.opened());

  Stopwatch const stop;
  stopService(0ms);
  ASSERT_TRUE(watch.awaitEnd(60s)) << "the server was never ended";
  EXPECT_EQ(watch.exitCode(), 1067u) << "the server was terminated";
  EXPECT_GE(stop.ms(), 19000) << "after the 20 s grace period";
  EXPECT_LE(stop.ms(), 30000) << "after the 20 s grace period";
  EXPECT_TRUE(logHas("sample server: Ctrl-C ignored (" + id(server) + ")")) << "the Ctrl-C reached it first";
  EXPECT_TRUE(awaitState(SERVICE_STOPPED, 10s));
  EXPECT_TRUE(traced("0x0002 0x80000008: HalcyraServer.exe \\| " + id(server) + " \\| 20 \\| 1067"))
      << "event: terminated after the grace";
}

// A server that exits with 1115 stops the service, with exit code 0 and no restart.
TEST_F(ServiceE2E, Exit1115) {
  if (!installService("exit-after-ms=1000 exit-code=1115") || !startService()) return;
  EXPECT_TRUE(awaitState(SERVICE_STOPPED, 20s)) << "the service stops by itself";
  EXPECT_EQ(serviceExitCode(), 0u);
  EXPECT_EQ(logCount("sample server: started"), 1) << "the server ran once";
  EXPECT_TRUE(logHas("sample server: exiting with 1115"));
}

// A grandchild left behind by a server that ended is ended when the pass closes its job.
TEST_F(ServiceE2E, GrandchildJob) {
  if (!installService("grandchild=yes exit-after-ms=1500 exit-code=0") || !startService() ||
      !awaitStarted(L"HalcyraServer.grandchild.pid")) {
    return;
  }
  std::uint32_t const server = serverPid();
  std::uint32_t const grandchild = grandchildPid();
  EXPECT_TRUE(alive(grandchild));
  ProcessWatch watch(server);
  EXPECT_TRUE(watch.awaitEnd(10s)) << "the server ended by itself";
  EXPECT_TRUE(awaitUntil(2s, [&] { return !alive(grandchild); })) << "the grandchild is ended with the pass's job";
  EXPECT_TRUE(awaitNewServer(server, 10s)) << "the next pass starts a new server";
  EXPECT_TRUE(stopService());
}

// Started by hand, outside the SCM, the executable exits with 0 without starting anything.
// Windows refuses the dispatcher at once; Wine's dispatcher first waits about 10 s for a
// control pipe that never comes.
TEST_F(ServiceE2E, ManualStart) {
  if (!installService("")) return;
  Stopwatch const started;
  Outcome const manual = run(commandLine({serviceExe}), 60s);
  EXPECT_TRUE(manual.ended);
  EXPECT_EQ(manual.exitCode, 0u) << manual.output;
  EXPECT_NE(manual.output.find("HalcyraService.exe is a Windows service"), std::string::npos)
      << "it says in one line what it is: " << manual.output;
  EXPECT_LT(started.ms(), 20000) << "it waits for nothing but the dispatcher";
  EXPECT_FALSE(exists(root + L"\\HalcyraServer.pid")) << "it started no server";
}

// Stop-request mode: Ctrl-C on a live console child and exit 0; the failing call's error
// otherwise.
TEST_F(ServiceE2E, StopRequest) {
  if (!installService("")) return;
  std::wstring const folder = base + L"\\console-child";
  ASSERT_TRUE(makeFolders(folder) && copyFile(builtServer(), folder + L"\\HalcyraServer.exe"));
  Outcome const request = probe({L"stop-request", serviceExe, folder + L"\\child.log", folder + L"\\HalcyraServer.exe"},
                                {L"HALCYRA_SERVER_BEHAVIOUR=ctrl-c-exit-code=42"});
  EXPECT_EQ(countLines(request.output, "stop request exit code 0"), 1)
      << "the request exits with 0: " << request.output;
  EXPECT_EQ(countLines(request.output, "child exit code 42"), 1) << "the child obeyed the Ctrl-C: " << request.output;
  EXPECT_GE(countLines(readText(folder + L"\\child.log"), "sample server: Ctrl-C received"), 1) << "and said so";

  for (std::wstring const target : {L"4000001", L"abc"}) {
    Outcome const refused = run(commandLine({serviceExe, L"--terminate", target}), 60s, DETACHED_PROCESS);
    EXPECT_TRUE(refused.ended);
    EXPECT_NE(refused.exitCode, 0u) << "--terminate " << narrow(target) << " exits with the error of AttachConsole";
  }
}

}  // namespace
}  // namespace halcyra::e2e
