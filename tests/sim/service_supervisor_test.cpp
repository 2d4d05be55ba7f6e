// The supervisor loop: the timing of passes, console sessions, the watch, the pass's own
// resources, and the updater in the child's place.

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/processes.h"
#include "tests/sim/service_scenario.h"

namespace halcyra::test {
namespace {

using platform::kServiceControlStop;

TEST(Supervisor, FirstPassBeginsThreeSecondsAfterRunning) {
  setUpMachine(patientServer());
  sim::scheduleControl(10000, kServiceControlStop);
  runService();
  ASSERT_EQ(servers().size(), 1u);
  const sim::ProcessRecord server = servers()[0];
  EXPECT_EQ(server.startTime, reportTime(platform::kServiceRunning) + 3000);
  EXPECT_EQ(server.sessionId, kConsoleSession);
  EXPECT_EQ(server.commandLine, u"");
  EXPECT_EQ(server.creationFlags, 0x08080400u);
  EXPECT_TRUE(server.inheritHandles);
  EXPECT_EQ(server.startupInfoCb, 112u);
  EXPECT_EQ(server.desktop, u"winsta0\\default");
  EXPECT_TRUE(server.job.has_value());
  EXPECT_TRUE(server.hasConsole);
  // What is left when the service has ended: its two events, the log file and the
  // service's own opening of it.
  EXPECT_EQ(sim::liveHandles(), 4u);
}

TEST(Supervisor, EndedChildIsReplacedAfterThreeSecondsWhateverItsExitCode) {
  for (const Dword exitCode : {0u, 1u, 0xC0000005u}) {
    SCOPED_TRACE(exitCode);
    setUpMachine(serverExitingAfter(1000, exitCode));
    sim::scheduleControl(12500, kServiceControlStop);
    runService();
    const auto started = servers();
    ASSERT_EQ(started.size(), 3u);
    for (std::size_t i = 1; i < started.size(); ++i) {
      ASSERT_TRUE(started[i - 1].endTime.has_value());
      EXPECT_EQ(started[i].startTime, *started[i - 1].endTime + 3000);
      // Each pass has a job of its own, and its child is created in it.
      EXPECT_NE(started[i].job, started[i - 1].job);
    }
    // Each end is read once, for its exit code.
    EXPECT_EQ(sim::callsNamed("GetExitCodeProcess").size(), 3u);
  }
}

TEST(Supervisor, WithoutAConsoleSessionNothingStartsAndTheLoopAsksEveryThreeSeconds) {
  setUpMachine(patientServer());
  sim::setConsoleSession(platform::kNoConsoleSession);
  // Attached at 7.5 s: the connect signal stays pending until the watch of the pass at
  // 9 s, which finds the child already in that session and dismisses it.
  sim::scheduleConsoleConnect(7500, kConsoleSession);
  sim::scheduleControl(15000, kServiceControlStop);
  runService();
  EXPECT_EQ(callTimes("WTSGetActiveConsoleSessionId"), (std::vector<std::uint64_t>{3000, 6000, 9000, 9000}));
  ASSERT_EQ(servers().size(), 1u);
  EXPECT_EQ(servers()[0].startTime, 9000u);
  EXPECT_EQ(servers()[0].ctrlCTimes, (std::vector<std::uint64_t>{15000}));
}

TEST(Supervisor, ConsoleConnectMovesTheChildOnlyWhenTheSessionChanged) {
  for (const Dword session : {kConsoleSession, Dword{2}}) {
    SCOPED_TRACE(session);
    setUpMachine(patientServer());
    sim::scheduleConsoleConnect(10000, session);
    sim::scheduleControl(20000, kServiceControlStop);
    runService();
    const bool moved = session != kConsoleSession;
    const auto started = servers();
    const auto requests = stopRequests();
    ASSERT_EQ(started.size(), moved ? 2u : 1u);
    ASSERT_EQ(requests.size(), started.size());
    // The stop request runs with the old token, where the child is.
    EXPECT_EQ(requests[0].startTime, moved ? 10000u : 20000u);
    EXPECT_EQ(requests[0].sessionId, kConsoleSession);
    EXPECT_EQ(requests[0].exitCode, 0u);
    EXPECT_EQ(started[0].endTime, requests[0].startTime);
    if (moved) {
      EXPECT_EQ(started[1].startTime, 13000u);
      EXPECT_EQ(started[1].sessionId, 2u);
      EXPECT_EQ(requests[1].sessionId, 2u);
    }
  }
}

TEST(Supervisor, StopDuringTheUpdateCheckStillLaunchesThenStopsAtOnce) {
  // The check looks for the configuration file, after the start-up trust check has; the
  // stop arrives right then.
  setUpMachine(patientServer());
  runService();
  const auto looks = sim::callsNamed("GetFileAttributesExW");
  const auto atConfig = [](const sim::Call& call) { return call.args.find("config.json") != std::string::npos; };
  ASSERT_EQ(std::count_if(looks.begin(), looks.end(), atConfig), 2);
  const auto passLook = std::find_if(looks.rbegin(), looks.rend(), atConfig);
  setUpMachine(patientServer());
  sim::scheduleControlAtCall("GetFileAttributesExW", static_cast<int>(looks.rend() - passLook), kServiceControlStop);
  runService();
  ASSERT_EQ(servers().size(), 1u);
  const sim::ProcessRecord server = servers()[0];
  EXPECT_EQ(reportTime(platform::kServiceStopPending), server.startTime);
  EXPECT_EQ(server.ctrlCTimes, (std::vector<std::uint64_t>{server.startTime}));
  EXPECT_EQ(server.endTime, std::optional<std::uint64_t>(server.startTime));
  EXPECT_EQ(sim::statusReports().back().status.dwCurrentState, platform::kServiceStopped);
}

TEST(Supervisor, StopAndTheChildsEndTogetherCountAsAStop) {
  setUpMachine(serverExitingAfter(7000, 0));
  sim::scheduleControl(10000, kServiceControlStop);  // the server ends at 10 s too
  runService();
  ASSERT_EQ(servers().size(), 1u);
  // The stop sequence ran: its request failed on the ended child, and terminating that
  // child changed nothing.
  ASSERT_EQ(stopRequests().size(), 1u);
  EXPECT_NE(stopRequests()[0].exitCode, 0u);
  EXPECT_EQ(sim::callsNamed("TerminateProcess").size(), 1u);
  EXPECT_EQ(servers()[0].exitCode, 0u);
  EXPECT_EQ(sim::callsNamed("GetExitCodeProcess").size(), 1u);  // the request's only
}

TEST(Supervisor, ExitCodeThatCannotBeReadDoesNotStopTheService) {
  setUpMachine(serverExitingAfter(1000, 1115));
  sim::failCall("GetExitCodeProcess", 1, platform::kErrorInvalidHandle);
  runService();
  ASSERT_EQ(servers().size(), 2u);
  EXPECT_EQ(servers()[1].startTime, 7000u);
}

TEST(Supervisor, FailedWatchLeavesTheChildToTheJob) {
  sim::ProgramBehaviour server;
  server.startsGrandchild = true;
  setUpMachine(server);
  sim::failCall("WaitForMultipleObjects", 1, platform::kErrorInvalidHandle);
  sim::scheduleControl(10000, kServiceControlStop);
  runService();
  ASSERT_EQ(servers().size(), 2u);
  // Closing the job at the end of the pass ended the child and what it started.
  const auto first = servers()[0].id;
  for (const sim::ProcessRecord& process : sim::processes()) {
    if (process.id == first || process.parentId == first) {
      EXPECT_EQ(process.endTime, 3000u) << process.id;
    }
  }
  EXPECT_EQ(servers()[1].startTime, 6000u);
  EXPECT_EQ(stopRequests().size(), 1u);
}

// Live handles seen by each server as it starts: a pass that leaks makes the count grow.
std::vector<std::size_t> runSampledPasses(const std::function<void()>& fault) {
  auto samples = std::make_shared<std::vector<std::size_t>>();
  sim::ProgramBehaviour server;
  server.exitAfter = 1000;
  server.run = [samples](const std::vector<std::string>&) {
    samples->push_back(sim::liveHandles());
    return 0;
  };
  setUpMachine(server);
  fault();
  sim::scheduleControl(14500, kServiceControlStop);
  runService();
  return *samples;
}

TEST(Supervisor, FailedPassSetUpIsRetriedThreeSecondsLaterWithoutLeaks) {
  const std::vector<std::size_t> clean = runSampledPasses([] {});
  ASSERT_EQ(clean.size(), 3u);  // at 3, 7 and 11 s
  EXPECT_EQ(clean, std::vector<std::size_t>(3, clean[0]));
  const std::vector<std::pair<const char*, Dword>> steps = {
      {"OpenProcessToken", platform::kErrorAccessDenied},
      {"DuplicateTokenEx", platform::kErrorNotEnoughMemory},
      {"SetTokenInformation", platform::kErrorPrivilegeNotHeld},
      {"CreateJobObjectW", platform::kErrorNotEnoughMemory},
      {"SetInformationJobObject", platform::kErrorInvalidParameter},
  };
  for (const auto& [operation, error] : steps) {
    SCOPED_TRACE(operation);
    // Named captures: clang 14 cannot capture structured bindings.
    const std::vector<std::size_t> faulty =
        runSampledPasses([&operation = operation, error = error] { sim::failCall(operation, 1, error); });
    // The first pass is dropped; the next comes 3 s later and holds as much as before.
    ASSERT_EQ(servers().size(), 3u);
    EXPECT_EQ(servers()[0].startTime, 6000u);
    EXPECT_EQ(faulty, clean);
    EXPECT_EQ(sim::statusReports().back().status.dwCurrentState, platform::kServiceStopped);
  }
}

// ---- The updater in the server's place -------------------------------------------------

TEST(Supervisor, UpdaterThatAsksForTheStopEndsTheService) {
  setUpMachine(patientServer());
  announceRelease("2.0.0.0", serverExitingAfter(2000, 1115));
  runService();
  EXPECT_TRUE(servers().empty());
  const auto updaters = processesOf(kUpdaterPath);
  ASSERT_EQ(updaters.size(), 1u);
  EXPECT_EQ(updaters[0].commandLine.substr(0, 1), u"\"");
  EXPECT_TRUE(updaters[0].job.has_value());
  EXPECT_EQ(sim::statusReports().back().status.dwControlsAccepted, 0x181u);
  EXPECT_EQ(sim::statusReports().back().status.dwCurrentState, platform::kServiceStopped);
}

TEST(Supervisor, UpdaterThatFailsToStartIsTriedAgainNeverReplacedByTheServerAndWatched) {
  setUpMachine(patientServer());
  announceRelease("2.0.0.0", serverExitingAfter(2000, 0));
  sim::failCall("CreateProcessAsUserW", 1, platform::kErrorAccessDenied);
  sim::scheduleControl(12000, kServiceControlStop);
  runService();
  EXPECT_TRUE(servers().empty());
  // The second launch is watched: its end leads to the next pass 3 s later; the stop
  // request at 12 s comes last.
  EXPECT_EQ(callTimes("CreateProcessAsUserW"), (std::vector<std::uint64_t>{3000, 6000, 11000, 12000}));
  EXPECT_EQ(processesOf(kUpdaterPath).size(), 2u);
}

}  // namespace
}  // namespace halcyra::test
