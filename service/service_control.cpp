#include "service/service_control.h"

#include <atomic>

#include "platform/sync.h"
#include "service/graceful_stop.h"
#include "service/service_events.h"
#include "service/supervisor.h"
#include "service/trust_boundary.h"

namespace halcyra {

using platform::Dword;

platform::ServiceStatus ServiceStatus;
platform::ServiceStatusHandle statusHandle = nullptr;
platform::Handle stopEvent = nullptr;
platform::Handle sessionEvent = nullptr;
Dword entryFailure = 0;

namespace {

// Serialises the two threads' reports, so that each report passes a record written by one
// of them alone, and a stop that races with the supervisor's final report cannot follow
// SERVICE_STOPPED with SERVICE_STOP_PENDING. The control handler must never block (the
// dispatcher thread that runs it serves the service control manager), so it only tries to
// take its turn; when the service thread holds it, the handler leaves its stop report
// owed, and the service thread makes it as soon as it lets go. A flag rather than a mutex:
// its failed try is ordered before the holder's release, so the holder always sees what
// the handler owes, and a try on the flag never fails while it is free.
std::atomic<bool> reportTurnTaken{false};
// A stop or pre-shutdown control whose report is still to be made.
std::atomic<bool> stopReportOwed{false};

bool tryTakeReportTurn() { return !reportTurnTaken.exchange(true); }

// Passes the whole record; true when the SCM took it. The caller holds the turn.
bool reportStatus() { return platform::SetServiceStatus(statusHandle, &ServiceStatus) != platform::kFalse; }

// The stop report a control asked for, unless SERVICE_STOPPED has been reported already:
// the stop is then done, and that report stays the last one. The caller holds the turn.
void reportOwedStop() {
  if (!stopReportOwed.exchange(false) || ServiceStatus.dwCurrentState == platform::kServiceStopped) {
    return;
  }
  ServiceStatus.dwCurrentState = platform::kServiceStopPending;
  ServiceStatus.dwControlsAccepted = 0;
  ServiceStatus.dwWaitHint = kStopWaitHintMs;
  reportStatus();
}

// The service thread's turn, for one report: it waits for a handler's report to end, and
// on leaving makes any stop report that the handler could not.
class ServiceThreadReport {
 public:
  ServiceThreadReport() { take(); }
  ~ServiceThreadReport() {
    reportTurnTaken.store(false);
    while (stopReportOwed.load()) {
      take();
      reportOwedStop();
      reportTurnTaken.store(false);
    }
  }
  ServiceThreadReport(const ServiceThreadReport&) = delete;
  ServiceThreadReport& operator=(const ServiceThreadReport&) = delete;

 private:
  // A handler holds the turn only for its one report.
  static void take() {
    while (!tryTakeReportTurn()) {
      platform::SwitchToThread();
    }
  }
};

// A start that could not complete: SERVICE_STOPPED with the error of the failed step.
// What the earlier steps obtained stays; the process ends soon after.
void reportStartFailure(Dword error) {
  reportServiceStartFailure(error);
  closeEventSource();
  const ServiceThreadReport turn;
  ServiceStatus.dwWin32ExitCode = error;
  ServiceStatus.dwCurrentState = platform::kServiceStopped;
  reportStatus();
}

// The trust check reads security descriptors and looks accounts up, which can take long
// (a domain controller that does not answer). It runs on a pool thread, so that the first
// pass still comes 3 s after the start, and signals `done` as its last step; without a
// pool thread or the event it runs here. The event, or null when it ran here.
Dword warnOnPoolThread(void* done) noexcept {
  warnIfTrustBoundaryOpen();
  platform::SetEvent(static_cast<platform::Handle>(done));
  return 0;
}

platform::Handle warnIfTrustBoundaryOpenSoon() {
  platform::Handle const done = platform::CreateEventA(nullptr, platform::kTrue, platform::kFalse, nullptr);
  if (done != nullptr &&
      platform::QueueUserWorkItem(&warnOnPoolThread, done, platform::kWtExecuteLongFunction) != platform::kFalse) {
    return done;
  }
  if (done != nullptr) {
    platform::CloseHandle(done);
  }
  warnIfTrustBoundaryOpen();
  return nullptr;
}

// The check's thread must be done before SERVICE_STOPPED, after which the process may end
// under it, its events unwritten. The wait is short enough for the stop to stay within its
// wait hint after the child's whole grace; a check still held up then is left running, and
// its event open, since it still signals it.
// The event log's own wait (closeEventSource) is 2 s.
static_assert(kStopGraceMs + kTrustCheckWaitMs + 2000 < kStopWaitHintMs);
void waitForTrustCheck(platform::Handle done) {
  if (done != nullptr && platform::WaitForSingleObject(done, kTrustCheckWaitMs) == platform::kWaitObject0) {
    platform::CloseHandle(done);
  }
}

}  // namespace

void serviceMain(Dword /*argc*/, char** /*argv*/) {
  // The first thing: the service control manager waits for the registration.
  statusHandle = platform::RegisterServiceCtrlHandlerExA(kServiceName, serviceControlHandler, nullptr);
  if (statusHandle == nullptr) {
    // Without a status handle the SCM cannot be told anything; the exit code carries the
    // reason instead, and the event says it.
    const Dword error = platform::GetLastError();
    openEventSource();
    reportServiceStartFailure(error);
    writeEventsBeforeExit();
    platform::ExitProcess(error);
  }
  // Then, before anything else can fail: every outcome of the start is reported.
  openEventSource();
  stopReportOwed.store(false);

  {
    const ServiceThreadReport turn;
    ServiceStatus.dwServiceType = platform::kServiceWin32OwnProcess;
    ServiceStatus.dwWin32ExitCode = 0;
    ServiceStatus.dwServiceSpecificExitCode = 0;
    ServiceStatus.dwCheckPoint = 0;
    ServiceStatus.dwWaitHint = 0;
    ServiceStatus.dwCurrentState = platform::kServiceStartPending;
    ServiceStatus.dwControlsAccepted = 0;
    reportStatus();
  }

  if (entryFailure != 0) {
    reportStartFailure(entryFailure);
    return;
  }

  stopEvent = platform::CreateEventA(nullptr, platform::kTrue, platform::kFalse, nullptr);
  if (stopEvent == nullptr) {
    reportStartFailure(platform::GetLastError());
    return;
  }
  sessionEvent = platform::CreateEventA(nullptr, platform::kFalse, platform::kFalse, nullptr);
  if (sessionEvent == nullptr) {
    reportStartFailure(platform::GetLastError());
    return;
  }
  if (!prepareChildLaunchSetup()) {
    reportStartFailure(platform::GetLastError());
    return;
  }

  Dword runningRefused = platform::kErrorSuccess;
  {
    const ServiceThreadReport turn;
    ServiceStatus.dwControlsAccepted = kAcceptedWhileRunning;
    ServiceStatus.dwCurrentState = platform::kServiceRunning;
    if (!reportStatus()) {
      // The SCM would go on seeing a start in progress and never send the stop: a service
      // out of its reach must not start children that only a stop can end. The start
      // fails with the refusal's error, never with 0, which would read as a clean stop.
      const Dword error = platform::GetLastError();
      runningRefused = error != platform::kErrorSuccess ? error : platform::kErrorInvalidHandle;
      ServiceStatus.dwControlsAccepted = 0;
      ServiceStatus.dwCurrentState = platform::kServiceStartPending;
    }
  }
  if (runningRefused != platform::kErrorSuccess) {
    reportStartFailure(runningRefused);
    return;
  }
  reportServiceStarted();
  platform::Handle const trustCheckDone = warnIfTrustBoundaryOpenSoon();

  const Dword supervisorError = runSupervisorLoop();
  waitForTrustCheck(trustCheckDone);

  // Reported while the process surely still runs: the SCM may end it once it is stopped.
  reportServiceStopped();
  closeEventSource();

  // Only the state and the loop's error: a stop asked for by the SCM keeps its zero
  // controls and its hint. Whether the SCM takes this last report changes nothing now.
  const ServiceThreadReport turn;
  ServiceStatus.dwWin32ExitCode = supervisorError;
  ServiceStatus.dwCurrentState = platform::kServiceStopped;
  reportStatus();
}

Dword serviceControlHandler(Dword control, Dword eventType, void* /*eventData*/, void* /*context*/) {
  switch (control) {
    case platform::kServiceControlStop:
    case platform::kServiceControlPreshutdown:
      // Report, then signal: the supervisor's SERVICE_STOPPED cannot overtake the report.
      // While the service thread reports, the stop report is left to it (it makes it as
      // soon as its own report is done, before the supervisor can see the signal).
      stopReportOwed.store(true);
      if (tryTakeReportTurn()) {
        reportOwedStop();
        reportTurnTaken.store(false);
      }
      platform::SetEvent(stopEvent);
      return platform::kErrorSuccess;
    case platform::kServiceControlSessionChange:
      if (eventType == platform::kWtsConsoleConnect) {
        platform::SetEvent(sessionEvent);
      }
      return platform::kErrorSuccess;
    case platform::kServiceControlInterrogate:
      // The SCM answers from the last report.
      return platform::kErrorSuccess;
    default:
      return platform::kErrorCallNotImplemented;
  }
}

}  // namespace halcyra
