// The service's conversation with the SCM: status sequences, the control handler's
// answers and effects, and the failures of start-up.

#include "service/service_control.h"

#include <gtest/gtest.h>

#include "platform/processes.h"
#include "platform/sync.h"
#include "tests/sim/service_scenario.h"

namespace halcyra::test {
namespace {

using platform::kServiceRunning;
using platform::kServiceStartPending;
using platform::kServiceStopped;
using platform::kServiceStopPending;

constexpr Dword kRunningControls = 0x181;

struct StatusCase {
  const char* name;
  sim::ProgramBehaviour server;
  Dword control;  // scheduled at 10 s; 0 for none
  std::vector<ReportRow> expected;
};

TEST(ServiceStatus, SequencesEndWithTheRecordAsTheLastReportLeftIt) {
  const std::vector<StatusCase> cases = {
      {"scm stop",
       patientServer(),
       platform::kServiceControlStop,
       {{kServiceStartPending, 0, 0, 0},
        {kServiceRunning, kRunningControls, 0, 0},
        {kServiceStopPending, 0, 0, 30000},
        {kServiceStopped, 0, 0, 30000}}},
      {"pre-shutdown",
       patientServer(),
       platform::kServiceControlPreshutdown,
       {{kServiceStartPending, 0, 0, 0},
        {kServiceRunning, kRunningControls, 0, 0},
        {kServiceStopPending, 0, 0, 30000},
        {kServiceStopped, 0, 0, 30000}}},
      {"child exits with 1115",
       serverExitingAfter(5000, 1115),
       0,
       {{kServiceStartPending, 0, 0, 0},
        {kServiceRunning, kRunningControls, 0, 0},
        {kServiceStopped, kRunningControls, 0, 0}}},
  };
  for (const StatusCase& c : cases) {
    SCOPED_TRACE(c.name);
    setUpMachine(c.server);
    if (c.control != 0) sim::scheduleControl(10000, c.control);
    EXPECT_EQ(runService(), 1);  // the dispatcher's TRUE
    EXPECT_EQ(reportRows(), c.expected);
    for (const sim::StatusReport& report : sim::statusReports()) {
      EXPECT_EQ(report.status.dwServiceType, 0x10u);
      EXPECT_EQ(report.status.dwServiceSpecificExitCode, 0u);
      EXPECT_EQ(report.status.dwCheckPoint, 0u);
    }
    EXPECT_EQ(servers().size(), 1u);
  }
}

// The handler on its own, in a service main of the test's making: the events and the
// record are set up as serviceMain leaves them when running.
struct HandlerOutcome {
  Dword result = 0;
  bool stopSignalled = false;
  bool sessionSignalled = false;
};
Dword probeControl = 0;
Dword probeEventType = 0;
HandlerOutcome probeOutcome;

void probeServiceMain(Dword /*argc*/, char** /*argv*/) {
  statusHandle = platform::RegisterServiceCtrlHandlerExA(kServiceName, serviceControlHandler, nullptr);
  stopEvent = platform::CreateEventA(nullptr, platform::kTrue, platform::kFalse, nullptr);
  sessionEvent = platform::CreateEventA(nullptr, platform::kFalse, platform::kFalse, nullptr);
  ServiceStatus = {};
  ServiceStatus.dwServiceType = platform::kServiceWin32OwnProcess;
  ServiceStatus.dwCurrentState = kServiceRunning;
  ServiceStatus.dwControlsAccepted = kRunningControls;
  platform::SetServiceStatus(statusHandle, &ServiceStatus);
  probeOutcome.result = serviceControlHandler(probeControl, probeEventType, nullptr, nullptr);
  probeOutcome.stopSignalled = platform::WaitForSingleObject(stopEvent, 0) == platform::kWaitObject0;
  probeOutcome.sessionSignalled = platform::WaitForSingleObject(sessionEvent, 0) == platform::kWaitObject0;
  ServiceStatus.dwCurrentState = kServiceStopped;
  platform::SetServiceStatus(statusHandle, &ServiceStatus);
}

struct ControlCase {
  const char* name;
  Dword control;
  Dword eventType;
  Dword result;
  bool stop;     // stop report made and stopEvent signalled
  bool session;  // sessionEvent signalled
};

TEST(ServiceControlHandler, AnswersEachControlAndSignalsOnlyWhatItShould) {
  const std::vector<ControlCase> cases = {
      {"stop", platform::kServiceControlStop, 0, 0, true, false},
      {"pre-shutdown", platform::kServiceControlPreshutdown, 0, 0, true, false},
      {"console connect", platform::kServiceControlSessionChange, platform::kWtsConsoleConnect, 0, false, true},
      {"console disconnect", platform::kServiceControlSessionChange, platform::kWtsConsoleDisconnect, 0, false, false},
      {"session logon", platform::kServiceControlSessionChange, platform::kWtsSessionLogon, 0, false, false},
      {"session lock", platform::kServiceControlSessionChange, platform::kWtsSessionLock, 0, false, false},
      {"interrogate", platform::kServiceControlInterrogate, 0, 0, false, false},
      {"pause", platform::kServiceControlPause, 0, 120, false, false},
      {"shutdown", platform::kServiceControlShutdown, 0, 120, false, false},
      {"user-defined", 200, 0, 120, false, false},
  };
  for (const ControlCase& c : cases) {
    SCOPED_TRACE(c.name);
    sim::reset();
    probeControl = c.control;
    probeEventType = c.eventType;
    probeOutcome = {};
    sim::runProcess([] {
      static const platform::ServiceTableEntryA table[] = {{kServiceName, probeServiceMain}, {nullptr, nullptr}};
      return platform::StartServiceCtrlDispatcherA(table);
    });
    EXPECT_EQ(probeOutcome.result, c.result);
    EXPECT_EQ(probeOutcome.stopSignalled, c.stop);
    EXPECT_EQ(probeOutcome.sessionSignalled, c.session);
    // The probe's own reports are RUNNING first and STOPPED last; the handler's, if any,
    // comes in between.
    std::vector<ReportRow> expected = {{kServiceRunning, kRunningControls, 0, 0}};
    if (c.stop) expected.emplace_back(kServiceStopPending, 0, 0, 30000);
    expected.emplace_back(kServiceStopped, c.stop ? 0 : kRunningControls, 0, c.stop ? 30000 : 0);
    EXPECT_EQ(reportRows(), expected);
  }
}

struct StartFailureCase {
  const char* name;
  const char* operation;
  int nth;
  Dword injected;
  Dword reported;
  const char* alsoFailing = nullptr;  // a clean-up call that fails as well, with error 6
};

TEST(ServiceStart, EachFailedStepEndsTheStartWithItsError) {
  const std::vector<StartFailureCase> cases = {
      {"stop event", "CreateEventA", 1, platform::kErrorNotEnoughMemory, platform::kErrorNotEnoughMemory},
      {"session event", "CreateEventA", 2, platform::kErrorInvalidParameter, platform::kErrorInvalidParameter},
      {"log file", "CreateFileW", 1, platform::kErrorAccessDenied, platform::kErrorAccessDenied},
      {"log file shared", "CreateFileW", 1, platform::kErrorSharingViolation, platform::kErrorSharingViolation},
      {"temporary folder", "GetTempPathW", 1, platform::kErrorPathNotFound, platform::kErrorPathNotFound},
      // HeapAlloc sets no error of its own: the size query's 122 must not be reported.
      {"attribute list memory", "HeapAlloc", 1, 0, platform::kErrorNotEnoughMemory},
      {"attribute list", "InitializeProcThreadAttributeList", 2, platform::kErrorInvalidParameter,
       platform::kErrorInvalidParameter},
      // Freeing the block must not replace the reason of the failure.
      {"attribute list, then freeing it", "InitializeProcThreadAttributeList", 2, platform::kErrorInvalidParameter,
       platform::kErrorInvalidParameter, "HeapFree"},
  };
  for (const StartFailureCase& c : cases) {
    SCOPED_TRACE(c.name);
    setUpMachine(patientServer());
    sim::failCall(c.operation, c.nth, c.injected);
    if (c.alsoFailing != nullptr) sim::failCall(c.alsoFailing, 1, platform::kErrorInvalidHandle);
    EXPECT_EQ(runService(), 1);
    const std::vector<ReportRow> expected = {{kServiceStartPending, 0, 0, 0}, {kServiceStopped, 0, c.reported, 0}};
    EXPECT_EQ(reportRows(), expected);
    EXPECT_TRUE(sim::processes().empty());
  }
}

TEST(ServiceStart, LogPathThatDoesNotFitFailsTheStart) {
  // 241 units of folder and 18 of file name leave just room for the terminator; one
  // more unit does not fit.
  for (const bool fits : {true, false}) {
    SCOPED_TRACE(fits ? "fits" : "too long");
    std::u16string temp = u"C:\\";
    temp.append(fits ? 237 : 238, u'T');
    temp.push_back(u'\\');
    setUpMachine(serverExitingAfter(1000, 1115));
    sim::addDirectory(temp);
    sim::setTempPath(temp);
    runService();
    if (fits) {
      EXPECT_EQ(sim::statusReports().back().status.dwWin32ExitCode, 0u);
      EXPECT_TRUE(sim::fileContent(temp + u"HalcyraService.log").has_value());
    } else {
      const std::vector<ReportRow> expected = {{kServiceStartPending, 0, 0, 0}, {kServiceStopped, 0, 206, 0}};
      EXPECT_EQ(reportRows(), expected);
      EXPECT_TRUE(sim::callsNamed("CreateFileW").empty());
    }
  }
}

TEST(ServiceStart, RegistrationFailureEndsTheProcessWithItsError) {
  setUpMachine(patientServer());
  sim::failCall("RegisterServiceCtrlHandlerExA", 1, 1060);
  EXPECT_EQ(runService(), 1060);
  EXPECT_TRUE(sim::statusReports().empty());
  EXPECT_TRUE(sim::callsNamed("CreateEventA").empty());
}

TEST(ServiceStart, LogFileIsEmptiedAtStartAndCollectsEveryChildsOutput) {
  sim::ProgramBehaviour server = serverExitingAfter(1000, 0);
  server.output = "served\n";
  setUpMachine(server);
  sim::addFile(u"C:\\Temp\\HalcyraService.log", "left from the last run\n");
  sim::scheduleControl(9500, platform::kServiceControlStop);
  runService();
  ASSERT_EQ(servers().size(), 2u);
  EXPECT_EQ(sim::fileContent(u"C:\\Temp\\HalcyraService.log"), "served\nserved\n");
  for (const sim::ProcessRecord& started : servers()) {
    ASSERT_EQ(started.inheritedHandles.size(), 1u);
    const auto log = sim::openFile(started.inheritedHandles[0]);
    ASSERT_TRUE(log.has_value());
    EXPECT_TRUE(log->inheritable);
    EXPECT_EQ(log->access, 0x40000000u);
    EXPECT_EQ(log->shareMode, 0x1u);
  }
}

// A stop that reaches the handler just as the supervisor reports its own end (a child's
// 1115) must not follow SERVICE_STOPPED with a SERVICE_STOP_PENDING.
TEST(ServiceStatus, StopArrivingWithTheFinalReportDoesNotReopenTheService) {
  setUpMachine(serverExitingAfter(5000, 1115));
  // SetServiceStatus: START_PENDING, RUNNING, then the final report.
  sim::scheduleControlAtCall("SetServiceStatus", 3, platform::kServiceControlStop);
  runService();
  ASSERT_FALSE(sim::statusReports().empty());
  EXPECT_EQ(sim::statusReports().back().status.dwCurrentState, kServiceStopped);
}

}  // namespace
}  // namespace halcyra::test
