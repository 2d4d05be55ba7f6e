// The service control manager of the simulated machine: the dispatcher runs serviceMain
// synchronously, status reports are recorded with their time, and controls reach the
// registered handler at wait points (or at a chosen call, or at once).

#include <utility>
#include <vector>

#include "platform/service_manager.h"
#include "platform/sim/sim_machine.h"

namespace halcyra::sim {

using namespace detail;

namespace {

platform::ServiceStatusHandle const kStatusHandle =
    reinterpret_cast<platform::ServiceStatusHandle>(std::uintptr_t{0x5C0001});

// Stop, pre-shutdown and session-change controls need the matching accept flag of the
// last report; the SCM sends every other control regardless.
bool accepted(Dword control) {
  Dword const acceptedControls = machine().controlsAccepted;
  switch (control) {
    case platform::kServiceControlStop:
      return (acceptedControls & platform::kServiceAcceptStop) != 0;
    case platform::kServiceControlPreshutdown:
      return (acceptedControls & platform::kServiceAcceptPreshutdown) != 0;
    case platform::kServiceControlSessionChange:
      return (acceptedControls & platform::kServiceAcceptSessionChange) != 0;
    default:
      return true;
  }
}

}  // namespace

namespace detail {

Dword deliverControlNow(Dword control, Dword eventType) {
  Machine& m = machine();
  std::string const args = "control=" + std::to_string(control) + " event=" + std::to_string(eventType);
  auto log = [&](std::string_view refusal) {
    Call call;
    call.name = "ServiceControl";
    call.args = args + std::string(refusal);
    call.time = m.clock;
    call.processId = m.current;
    call.control = ControlRecord{control, eventType, refusal.empty()};
    m.calls.push_back(std::move(call));
  };
  if (m.handler == nullptr) {
    log(" refused: no handler");
    return kErrorServiceNotActive;
  }
  if (!accepted(control)) {
    log(" refused: not accepted");
    return kErrorInvalidServiceControl;
  }
  log({});
  // The handler runs on the dispatcher thread of the service process: its last error is
  // not the one of the thread it interrupts.
  Dword const previous = m.current;
  bool const wasInHandler = m.inHandler;
  m.current = kServiceProcessId;
  m.inHandler = true;
  Dword const savedError = currentProcess().lastError;
  Dword result = 0;
  try {
    result = m.handler(control, eventType, nullptr, m.handlerContext);
  } catch (...) {
    currentProcess().lastError = savedError;
    m.current = previous;
    m.inHandler = wasInHandler;
    throw;
  }
  currentProcess().lastError = savedError;
  m.current = previous;
  m.inHandler = wasInHandler;
  return result;
}

}  // namespace detail

void setScmConnected(bool connected) { machine().scmConnected = connected; }

void scheduleControl(std::uint64_t time, Dword control, Dword eventType) {
  Machine& m = machine();
  m.controls.push_back(TimedControl{time, m.nextControlSequence++, control, eventType});
}

void scheduleControlAtCall(std::string_view operation, int nth, Dword control, Dword eventType) {
  machine().callControls.push_back(CallControl{std::string(operation), nth, control, eventType});
}

Dword deliverControl(Dword control, Dword eventType) { return deliverControlNow(control, eventType); }

const std::vector<StatusReport>& statusReports() { return machine().statusReports; }

}  // namespace halcyra::sim

namespace halcyra::platform {

using namespace sim::detail;

Bool StartServiceCtrlDispatcherA(const ServiceTableEntryA* table) {
  std::string args;
  for (const ServiceTableEntryA* entry = table; entry != nullptr && entry->lpServiceName != nullptr; ++entry) {
    args += (args.empty() ? "" : ",") + std::string(entry->lpServiceName);
  }
  if (enterFails("StartServiceCtrlDispatcherA", std::move(args))) {
    return kFalse;
  }
  Machine& m = machine();
  if (!m.scmConnected || m.current != kServiceProcessId) {
    setLastError(kErrorFailedServiceControllerConnect);
    return kFalse;
  }
  if (table == nullptr || table->lpServiceName == nullptr || table->lpServiceProc == nullptr || m.dispatcherRunning) {
    setLastError(kErrorInvalidParameter);
    return kFalse;
  }
  // The service runs until its serviceMain returns; afterwards no control reaches it.
  struct DispatcherScope {
    Machine& m;
    ~DispatcherScope() {
      m.dispatcherRunning = false;
      m.handler = nullptr;
      m.handlerContext = nullptr;
      m.controlsAccepted = 0;
    }
  } const scope{m};
  m.dispatcherRunning = true;
  m.serviceName = table->lpServiceName;
  std::string name = m.serviceName;
  char* argv[] = {name.data(), nullptr};
  table->lpServiceProc(1, argv);
  // A control that arrived during the final status report reaches the handler now, as the
  // dispatcher thread would run it once the service thread has let go of its report.
  for (auto it = m.controls.begin(); it != m.controls.end();) {
    if (it->arrivedDuringCall) {
      TimedControl const control = *it;
      m.controls.erase(it);
      deliverControlNow(control.control, control.eventType);
      it = m.controls.begin();
    } else {
      ++it;
    }
  }
  return kTrue;
}

ServiceStatusHandle RegisterServiceCtrlHandlerExA(const char* serviceName, HandlerFunctionEx handler, void* context) {
  if (enterFails("RegisterServiceCtrlHandlerExA", text(serviceName))) {
    return nullptr;
  }
  Machine& m = machine();
  if (!m.dispatcherRunning) {
    setLastError(kErrorFailedServiceControllerConnect);
    return nullptr;
  }
  if (serviceName == nullptr || handler == nullptr || m.serviceName != serviceName) {
    setLastError(serviceName == nullptr || handler == nullptr ? kErrorInvalidParameter : kErrorServiceDoesNotExist);
    return nullptr;
  }
  m.handler = handler;
  m.handlerContext = context;
  return sim::kStatusHandle;
}

namespace {

Bool recordStatus(ServiceStatusHandle handle, ServiceStatus* status, sim::Call call) {
  if (enterFails(std::move(call))) {
    return kFalse;
  }
  Machine& m = machine();
  if (handle != sim::kStatusHandle || m.handler == nullptr) {
    setLastError(kErrorInvalidHandle);
    return kFalse;
  }
  if (status == nullptr || status->dwCurrentState < kServiceStopped || status->dwCurrentState > 7) {
    setLastError(13);  // ERROR_INVALID_DATA
    return kFalse;
  }
  m.statusReports.push_back(sim::StatusReport{*status, m.clock});
  m.controlsAccepted = status->dwControlsAccepted;
  return kTrue;
}

}  // namespace

Bool SetServiceStatus(ServiceStatusHandle handle, ServiceStatus* status) {
  sim::Call call;
  call.name = "SetServiceStatus";
  call.args = "handle=" + handleText(handle);
  if (status != nullptr) {
    call.args += " state=" + std::to_string(status->dwCurrentState) + " accepted=" + hex(status->dwControlsAccepted) +
                 " exit=" + std::to_string(status->dwWin32ExitCode) + " wait=" + std::to_string(status->dwWaitHint);
    call.reportedState = status->dwCurrentState;
  }
  Bool const result = recordStatus(handle, status, std::move(call));
  // Controls that arrived during this report reach the handler now, once the SCM has the
  // report and while the service thread is still inside the call; the report's own last
  // error is the service thread's.
  Dword const error = currentProcess().lastError;
  std::vector<CallControl> const arrived = std::exchange(machine().controlsDuringReport, {});
  for (CallControl const& control : arrived) {
    deliverControlNow(control.control, control.eventType);
  }
  currentProcess().lastError = error;
  return result;
}

void ExitProcess(Dword exitCode) {
  enterFails("ExitProcess", std::to_string(exitCode));
  throw sim::ProcessExit{exitCode};
}

}  // namespace halcyra::platform
