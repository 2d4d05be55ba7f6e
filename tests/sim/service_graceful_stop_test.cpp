// Ending the watched child: the stop-request instance, the grace period, termination.

#include <gtest/gtest.h>

#include "platform/console.h"
#include "platform/processes.h"
#include "service/graceful_stop.h"
#include "tests/sim/service_scenario.h"

namespace halcyra::test {
namespace {

constexpr std::uint64_t kStopAt = 10000;

struct StopCase {
  const char* name;
  std::uint64_t ctrlCExitAfter;  // of the server
  const char* failOperation;     // nullptr: no fault
  int failNth;
  Dword failError;
  std::uint64_t endsAfterStop;
  bool terminated;
  bool instanceCreated;
  bool instanceHangs = false;        // it raises the Ctrl-C, then does not end
  bool serviceIgnoresCtrlC = false;  // the service was started ignoring Ctrl-C
};

TEST(GracefulStop, EndsTheChildInOneOfThreeWays) {
  const std::vector<StopCase> cases = {
      {"obeyed", 2000, nullptr, 0, 0, 2000, false, true},
      {"obeyed at the last moment", 19999, nullptr, 0, 0, 19999, false, true},
      {"ignored", sim::kNever, nullptr, 0, 0, 20000, true, true},
      {"too slow", 20001, nullptr, 0, 0, 20000, true, true},
      // The 2nd CreateProcessAsUserW is the instance's (the 1st started the server).
      {"instance not created", 2000, "CreateProcessAsUserW", 2, platform::kErrorPrivilegeNotHeld, 0, true, false},
      {"no console to attach to", 2000, "AttachConsole", 1, platform::kErrorInvalidHandle, 0, true, true},
      {"Ctrl-C not raised", 2000, "GenerateConsoleCtrlEvent", 1, platform::kErrorInvalidParameter, 0, true, true},
      // Waits: the pass interval, the instance, then the grace period.
      {"grace wait failed", 2000, "WaitForSingleObject", 3, platform::kErrorInvalidHandle, 0, true, true},
      // Ended after 5 s; the child still has its grace, and the stop stays within 30 s.
      {"instance hangs", 2000, nullptr, 0, 0, 2000, false, true, true},
      {"instance hangs, child ignores Ctrl-C", sim::kNever, nullptr, 0, 0, 25000, true, true, true},
      // Children must not inherit it, or no Ctrl-C would ever reach them.
      {"service started ignoring Ctrl-C", 2000, nullptr, 0, 0, 2000, false, true, false, true},
  };
  for (const StopCase& c : cases) {
    SCOPED_TRACE(c.name);
    sim::ProgramBehaviour server;
    server.ctrlCExitAfter = c.ctrlCExitAfter;
    server.ctrlCExitCode = 0xC000013A;
    setUpMachine(server);
    if (c.failOperation != nullptr) sim::failCall(c.failOperation, c.failNth, c.failError);
    if (c.instanceHangs) {
      sim::ProgramBehaviour hanging = serverExitingAfter(kLastResortStopAt, 0);
      hanging.run = [](const std::vector<std::string>& args) { return runEntryWith(args); };
      sim::installProgram(kModulePath, hanging);
    }
    sim::scheduleControl(kStopAt, platform::kServiceControlStop);
    sim::scheduleControl(kLastResortStopAt, platform::kServiceControlStop);
    sim::runProcess([&c] {
      if (c.serviceIgnoresCtrlC) platform::SetConsoleCtrlHandler(nullptr, platform::kTrue);
      return runEntryWith({"HalcyraService.exe"});
    });

    ASSERT_EQ(servers().size(), 1u);
    const sim::ProcessRecord child = servers()[0];
    ASSERT_TRUE(child.endTime.has_value());
    EXPECT_EQ(*child.endTime, kStopAt + c.endsAfterStop);
    // A child that obeys keeps its own exit code.
    EXPECT_EQ(child.exitCode, c.terminated ? platform::kErrorProcessAborted : 0xC000013Au);
    EXPECT_EQ(sim::callsNamed("TerminateProcess").size(), (c.terminated ? 1u : 0u) + (c.instanceHangs ? 1u : 0u));
    const auto requests = stopRequests();
    ASSERT_EQ(requests.size(), c.instanceCreated ? 1u : 0u);
    if (c.instanceCreated && c.failOperation != nullptr && std::string_view(c.failOperation) != "WaitForSingleObject") {
      EXPECT_EQ(requests[0].exitCode, c.failError);  // the failed call's error
    }
    // The SCM hears of the end only once the child has gone.
    EXPECT_EQ(sim::statusReports().back().status.dwCurrentState, platform::kServiceStopped);
    EXPECT_GE(sim::statusReports().back().time, *child.endTime);
  }
}

TEST(GracefulStop, StopRequestInstanceIsStartedDetachedWithItsOwnCommandLine) {
  sim::ProgramBehaviour server;
  server.startsGrandchild = true;
  setUpMachine(server);
  sim::scheduleControl(kStopAt, platform::kServiceControlStop);
  runService();
  ASSERT_EQ(servers().size(), 1u);
  const sim::ProcessRecord child = servers()[0];
  const auto requests = stopRequests();
  ASSERT_EQ(requests.size(), 1u);
  const sim::ProcessRecord& instance = requests[0];
  EXPECT_EQ(instance.application, kModulePath);
  EXPECT_EQ(instance.commandLine, stopRequestCommandLine(kModulePath, child.id));
  EXPECT_EQ(instance.creationFlags, 0x408u);
  EXPECT_EQ(instance.startupInfoCb, 104u);
  EXPECT_EQ(instance.desktop, u"winsta0\\default");
  EXPECT_FALSE(instance.inheritHandles);
  EXPECT_TRUE(instance.inheritedHandles.empty());
  EXPECT_FALSE(instance.hasConsole);
  EXPECT_FALSE(instance.job.has_value());
  EXPECT_EQ(instance.sessionId, child.sessionId);
  EXPECT_EQ(instance.exitCode, 0u);
  // The Ctrl-C reached everything on the child's console.
  EXPECT_EQ(child.ctrlCTimes, (std::vector<std::uint64_t>{kStopAt}));
  for (const sim::ProcessRecord& process : sim::processes()) {
    if (process.parentId == child.id) {
      EXPECT_EQ(process.ctrlCTimes, (std::vector<std::uint64_t>{kStopAt}));
    }
  }
}

TEST(GracefulStop, CommandLineQuotesThePathAndGivesTheIdInUnsignedDecimal) {
  const std::vector<std::pair<Dword, std::u16string>> cases = {
      {0, u"0"}, {7, u"7"}, {4711, u"4711"}, {1000000, u"1000000"}, {4294967295u, u"4294967295"}};
  for (const auto& [id, digits] : cases) {
    EXPECT_EQ(stopRequestCommandLine(u"C:\\A\\B\\service.exe", id), u"\"C:\\A\\B\\service.exe\" --terminate " + digits);
  }
}

TEST(GracefulStop, RequestWithACutOffExecutablePathFailsWithoutStartingAnything) {
  std::u16string longPath = u"C:\\";
  while (longPath.size() < 300) longPath += u"Folder\\";
  longPath += u"HalcyraService.exe";
  sim::reset();
  sim::setModulePath(longPath);
  const int result = sim::runProcess([] { return requestGracefulStop(nullptr, 1234) ? 1 : 0; });
  EXPECT_EQ(result, 0);
  EXPECT_TRUE(sim::callsNamed("CreateProcessAsUserW").empty());
}

}  // namespace
}  // namespace halcyra::test
