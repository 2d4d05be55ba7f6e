#include "service/service_control.h"

#include <mutex>

#include "platform/sync.h"
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
// SERVICE_STOPPED with SERVICE_STOP_PENDING. The handler runs on the dispatcher thread and
// the service thread never calls into it, so no thread takes the lock twice.
std::mutex reportLock;

// Passes the whole record; true when the SCM took it. The caller holds reportLock.
bool reportStatus() { return platform::SetServiceStatus(statusHandle, &ServiceStatus) != platform::kFalse; }

// A start that could not complete: SERVICE_STOPPED with the error of the failed step.
// What the earlier steps obtained stays; the process ends soon after.
void reportStartFailure(Dword error) {
  reportServiceStartFailure(error);
  closeEventSource();
  const std::lock_guard lock(reportLock);
  ServiceStatus.dwWin32ExitCode = error;
  ServiceStatus.dwCurrentState = platform::kServiceStopped;
  reportStatus();
}

}  // namespace

void serviceMain(Dword /*argc*/, char** /*argv*/) {
  // Before anything can fail: every outcome of the start is reported.
  openEventSource();
  statusHandle = platform::RegisterServiceCtrlHandlerExA(kServiceName, serviceControlHandler, nullptr);
  if (statusHandle == nullptr) {
    // Without a status handle the SCM cannot be told anything; the exit code carries the
    // reason instead.
    const Dword error = platform::GetLastError();
    reportServiceStartFailure(error);
    writeEventsBeforeExit();
    platform::ExitProcess(error);
  }

  {
    const std::lock_guard lock(reportLock);
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
    const std::lock_guard lock(reportLock);
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
  warnIfTrustBoundaryOpen();

  const Dword supervisorError = runSupervisorLoop();

  // Reported while the process surely still runs: the SCM may end it once it is stopped.
  reportServiceStopped();
  closeEventSource();

  // Only the state and the loop's error: a stop asked for by the SCM keeps its zero
  // controls and its hint. Whether the SCM takes this last report changes nothing now.
  const std::lock_guard lock(reportLock);
  ServiceStatus.dwWin32ExitCode = supervisorError;
  ServiceStatus.dwCurrentState = platform::kServiceStopped;
  reportStatus();
}

Dword serviceControlHandler(Dword control, Dword eventType, void* /*eventData*/, void* /*context*/) {
  switch (control) {
    case platform::kServiceControlStop:
    case platform::kServiceControlPreshutdown:
      // Report first, then signal: the supervisor's SERVICE_STOPPED cannot overtake it.
      // Once SERVICE_STOPPED is reported (a child ended the service at this moment) the
      // stop is done already, and the report stays the last one.
      {
        const std::lock_guard lock(reportLock);
        if (ServiceStatus.dwCurrentState != platform::kServiceStopped) {
          ServiceStatus.dwCurrentState = platform::kServiceStopPending;
          ServiceStatus.dwControlsAccepted = 0;
          ServiceStatus.dwWaitHint = kStopWaitHintMs;
          reportStatus();
        }
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
