// The service's conversation with the SCM: status sequences, the control handler's
// answers and effects, and the failures of start-up.

#include "service/service_control.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <iterator>

#include "platform/files.h"
#include "platform/processes.h"
#include "platform/sim/sim_security.h"
#include "platform/sync.h"
#include "service/event_messages.h"
#include "tests/sim/service_scenario.h"

namespace halcyra::test {
namespace {

std::vector<sim::ReportedEvent> eventsWithId(Dword id) {
  std::vector<sim::ReportedEvent> found;
  for (const sim::ReportedEvent& event : sim::reportedEvents()) {
    if (event.eventId == id) found.push_back(event);
  }
  return found;
}

std::u16string decimalText(Dword value) {
  const std::string text = std::to_string(value);
  return {text.begin(), text.end()};
}

using platform::kServiceRunning;
using platform::kServiceStartPending;
using platform::kServiceStopped;
using platform::kServiceStopPending;

constexpr Dword kRunningControls = 0x181;

TEST(ServiceStatus, SequencesEndWithTheRecordAsTheLastReportLeftIt) {
  const ReportRow starting{kServiceStartPending, 0, 0, 0}, running{kServiceRunning, kRunningControls, 0, 0};
  struct Case {
    const char* name;
    sim::ProgramBehaviour server;
    Dword control;  // scheduled at 10 s; 0 for none
    std::vector<ReportRow> expected;
    int duringReport = 0;  // instead, it arrives during this status report (1 the first)
  };
  const Case cases[] = {
      {"scm stop",
       patientServer(),
       platform::kServiceControlStop,
       {starting, running, {kServiceStopPending, 0, 0, 30000}, {kServiceStopped, 0, 0, 30000}}},
      {"child exits with 1115",
       serverExitingAfter(5000, 1115),
       0,
       {starting, running, {kServiceStopped, kRunningControls, 0, 0}}},
      // The handler finds the report's turn taken and returns at once (in the simulation,
      // waiting would never end); the service thread reports the stop right after.
      {"stop while RUNNING is being reported",
       patientServer(),
       platform::kServiceControlStop,
       {starting, running, {kServiceStopPending, 0, 0, 30000}, {kServiceStopped, 0, 0, 30000}},
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setUpMachine(c.server);
    if (c.duringReport != 0) sim::scheduleControlAtCall("SetServiceStatus", c.duringReport, c.control);
    if (c.control != 0 && c.duringReport == 0) sim::scheduleControl(10000, c.control);
    EXPECT_EQ(runService(), 1);  // the dispatcher's TRUE
    EXPECT_EQ(reportRows(), c.expected);
    for (const sim::StatusReport& report : sim::statusReports()) {
      EXPECT_EQ(report.status.dwServiceType, 0x10u);
      EXPECT_EQ(report.status.dwServiceSpecificExitCode, 0u);
      EXPECT_EQ(report.status.dwCheckPoint, 0u);
    }
    EXPECT_EQ(servers().size(), c.duringReport == 0 ? 1u : 0u);
    // Registration is serviceMain's first call.
    EXPECT_EQ(std::next(std::ranges::find(sim::calls(), "StartServiceCtrlDispatcherA", &sim::Call::name))->name,
              "RegisterServiceCtrlHandlerExA");
  }
}

// The handler on its own, in a service main of the test's making: the events and the
// record are set up as serviceMain leaves them when running.
struct HandlerOutcome {
  Dword result = 0;
  bool stopSignalled = false, sessionSignalled = false;
};
Dword probeControl = 0, probeEventType = 0;
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

TEST(ServiceControlHandler, AnswersEachControlAndSignalsOnlyWhatItShould) {
  struct Case {
    const char* name;
    Dword control, eventType, result;
    bool stop;     // stop report made and stopEvent signalled
    bool session;  // sessionEvent signalled
  };
  const Case cases[] = {
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
  for (const Case& c : cases) {
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

// A temporary folder of `length` units with its final backslash: 241 units, and 18 of the
// log file's name, leave just room for the terminator in MAX_PATH.
std::u16string useTempFolder(std::size_t length) {
  const std::u16string temp = u"C:\\" + std::u16string(length - 4, u'T') + u"\\";
  sim::addDirectory(temp);
  sim::setTempPath(temp);
  return temp;
}

TEST(ServiceStart, EachFailedStepEndsTheStartWithItsError) {
  using namespace platform;
  const auto failing = [](const char* operation, int nth, Dword error) {
    return [=] { sim::failCall(operation, nth, error); };
  };
  struct Case {
    const char* name;
    std::function<void()> arrange;
    Dword reported;
  };
  const Case cases[] = {
      {"stop event", failing("CreateEventA", 1, kErrorNotEnoughMemory), kErrorNotEnoughMemory},
      {"session event", failing("CreateEventA", 2, kErrorInvalidParameter), kErrorInvalidParameter},
      {"log file, every try", [] { sim::failCall("CreateFileW", 1, kErrorAccessDenied, true); }, kErrorAccessDenied},
      {"temporary folder", failing("GetTempPathW", 1, kErrorPathNotFound), kErrorPathNotFound},
      {"log path one unit too long", [] { useTempFolder(242); }, 206},
      // HeapAlloc sets no error of its own: the size query's 122 must not be reported.
      {"attribute list memory", failing("HeapAlloc", 1, 0), kErrorNotEnoughMemory},
      {"attribute list", failing("InitializeProcThreadAttributeList", 2, kErrorInvalidParameter),
       kErrorInvalidParameter},
      // Freeing the block must not replace the reason of the failure.
      {"attribute list, then freeing it",
       [] {
         sim::failCall("InitializeProcThreadAttributeList", 2, kErrorInvalidParameter);
         sim::failCall("HeapFree", 1, kErrorInvalidHandle);
       },
       kErrorInvalidParameter},
      // A service the SCM does not know to be running could never be stopped.
      {"RUNNING report refused", failing("SetServiceStatus", 2, kErrorInvalidHandle), kErrorInvalidHandle},
      // A refusal without an error must still not read as a clean stop.
      {"RUNNING report refused without an error", failing("SetServiceStatus", 2, 0), kErrorInvalidHandle},
      // Children started from another folder would not be the installed ones.
      {"working folder", failing("SetCurrentDirectoryW", 1, kErrorAccessDenied), kErrorAccessDenied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    setUpMachine(patientServer());
    c.arrange();
    EXPECT_EQ(runService(), 1);
    const std::vector<ReportRow> expected = {{kServiceStartPending, 0, 0, 0}, {kServiceStopped, 0, c.reported, 0}};
    EXPECT_EQ(reportRows(), expected);
    EXPECT_TRUE(sim::processes().empty());
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
  const std::u16string log = useTempFolder(241) + u"HalcyraService.log";  // the longest that fits
  sim::addFile(log, "left from the last run\n");
  sim::scheduleControl(9500, platform::kServiceControlStop);
  runService();
  ASSERT_EQ(servers().size(), 2u);
  EXPECT_EQ(sim::fileContent(log), "served\nserved\n");
  for (const sim::ProcessRecord& started : servers()) {
    ASSERT_EQ(started.inheritedHandles.size(), 1u);
    const auto open = sim::openFile(started.inheritedHandles[0]);
    ASSERT_TRUE(open.has_value());
    EXPECT_TRUE(open->inheritable);
    EXPECT_EQ(open->access, 0x100084u) << "appending only, so that the log can be emptied under it";
    EXPECT_EQ(open->shareMode, 0x3u);
  }
}

// A file of an ordinary user's under the log's name.
void plantUserFile(const std::u16string& log) {
  sim::addFile(log, "planted");
  sim::setFileSecurity(log, {u"S-1-5-21-1001"});
}

// Whatever another user leaves under the log's name in the shared temporary folder, the
// service never writes or truncates anything else and never follows a link; the log it
// writes to is a new file that only SYSTEM and the Administrators can open. A name that
// stays blocked sends the output to NUL with a warning, and the server runs all the same.
TEST(ServiceStart, LogFileNamePlantedByAnotherUserIsNeverFollowed) {
  const std::u16string secret = u"C:\\Secret\\data.txt", unborn = u"C:\\Secret\\new.txt";
  struct Case {
    const char* name;
    std::function<void(const std::u16string& log)> plant;
    Dword fallback;  // 0: the log is had; else the error that sends the output to NUL
  };
  const Case cases[] = {
      {"nothing", [](const std::u16string&) {}, 0},
      {"a file", [](const std::u16string& log) { plantUserFile(log); }, 0},
      {"a read-only file",
       [](const std::u16string& log) {
         plantUserFile(log);
         sim::setReadOnly(log);
       },
       0},
      {"a hard link", [&](const std::u16string& log) { sim::addLink(log, secret, sim::LinkKind::hard); }, 0},
      {"a symbolic link", [&](const std::u16string& log) { sim::addLink(log, secret, sim::LinkKind::symbolic); }, 0},
      {"a dangling symbolic link",
       [&](const std::u16string& log) { sim::addLink(log, unborn, sim::LinkKind::symbolic); }, 0},
      {"a junction", [](const std::u16string& log) { sim::addLink(log, u"C:\\Secret", sim::LinkKind::junction); }, 0},
      {"a file held open, deletion shared",
       [](const std::u16string& log) {
         plantUserFile(log);
         sim::holdOpen(log, 0x7);
       },
       0},
      {"a file held open, deletion not shared",
       [](const std::u16string& log) {
         plantUserFile(log);
         sim::holdOpen(log, 0x3);
       },
       platform::kErrorSharingViolation},
      {"a hard link to a file held open, deletion not shared",
       [&](const std::u16string& log) {
         sim::addLink(log, secret, sim::LinkKind::hard);
         sim::holdOpen(secret, 0x3);
       },
       platform::kErrorSharingViolation},
      {"a folder with content", [](const std::u16string& log) { sim::addFile(log + u"\\inside", "x"); }, 145},
      {"planted again before every creation",
       [](const std::u16string& log) {
         sim::setCallObserver([log](const sim::Call& call) {
           if (call.name == "CreateFileW" && call.args.find(" disposition=1 ") != std::string::npos) {
             plantUserFile(log);
           }
         });
       },
       platform::kErrorFileExists},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim::ProgramBehaviour server = serverExitingAfter(1000, 1115);
    server.output = "served\n";
    setUpMachine(server);
    const std::u16string log = useTempFolder(20) + u"HalcyraService.log";
    sim::addFile(secret, "secret");
    c.plant(log);
    runService();
    sim::setCallObserver({});

    EXPECT_EQ(sim::fileContent(secret), "secret");
    EXPECT_EQ(sim::fileContent(unborn), std::nullopt);
    EXPECT_EQ(sim::openSecurityDescriptors(), 0u);
    ASSERT_FALSE(sim::statusReports().empty());
    EXPECT_EQ(sim::statusReports().back().status.dwWin32ExitCode, 0u);
    const std::vector<sim::ProcessRecord> started = servers();
    const bool inheritsOneHandle = started.size() == 1 && started[0].inheritedHandles.size() == 1;
    ASSERT_TRUE(inheritsOneHandle);
    const auto open = sim::openFile(started[0].inheritedHandles[0]);
    ASSERT_TRUE(open.has_value());
    const auto warnings = eventsWithId(EVENT_LOG_FALLBACK);
    if (c.fallback != 0) {
      EXPECT_EQ(open->path, u"NUL");
      ASSERT_EQ(warnings.size(), 1u);
      EXPECT_EQ(warnings[0].strings,
                (std::vector<std::u16string>{log, decimalText(c.fallback), u"NUL, which discards it"}));
      continue;
    }
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(sim::fileContent(log), "served\n");
    EXPECT_EQ(sim::fileSecurity(log), sim::FileSecurity{u"S-1-5-18"}) << "SYSTEM's, for SYSTEM and the Administrators";
  }
}

// A stop that reaches the handler just as the supervisor reports its own end (a child's
// 1115) must not follow SERVICE_STOPPED with a SERVICE_STOP_PENDING.
TEST(ServiceStatus, StopArrivingWithTheFinalReportDoesNotReopenTheService) {
  setUpMachine(serverExitingAfter(5000, 1115));
  // SetServiceStatus: START_PENDING, RUNNING, then the final report. The stop arrives
  // during it and reaches the handler once the SCM has the report.
  sim::scheduleControlAtCall("SetServiceStatus", 3, platform::kServiceControlStop);
  runService();
  // The stop was delivered, and only after the final report.
  ASSERT_EQ(sim::callsNamed("ServiceControl").size(), 1u);
  const auto& log = sim::calls();
  const auto named = [](const char* name) { return [name](const sim::Call& call) { return call.name == name; }; };
  EXPECT_LT(std::find_if(log.rbegin(), log.rend(), named("ServiceControl")),
            std::find_if(log.rbegin(), log.rend(), named("SetServiceStatus")));
  ASSERT_FALSE(sim::statusReports().empty());
  EXPECT_EQ(sim::statusReports().back().status.dwCurrentState, kServiceStopped);
}

}  // namespace
}  // namespace halcyra::test
