// halcyra-idle-service: a service that does nothing but answer the SCM, the floor of the
// SCM's own round trip. It reports RUNNING, and on STOP goes the same way as the real
// service: the control handler reports STOP_PENDING and signals an event, and the
// service thread, waiting on that event, reports STOPPED.

#include <windows.h>

namespace {

wchar_t serviceName[] = L"HalcyraIdle";
SERVICE_STATUS_HANDLE statusHandle = nullptr;
SERVICE_STATUS status{};
HANDLE stopEvent = nullptr;

void report(DWORD state) {
  status.dwCurrentState = state;
  status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
  SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI onControl(DWORD control, DWORD, void*, void*) {
  if (control == SERVICE_CONTROL_STOP) {
    report(SERVICE_STOP_PENDING);
    SetEvent(stopEvent);
  }
  return NO_ERROR;
}

void WINAPI serviceMain(DWORD, wchar_t**) {
  statusHandle = RegisterServiceCtrlHandlerExW(serviceName, onControl, nullptr);
  if (statusHandle == nullptr) {
    return;
  }
  status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  stopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  if (stopEvent == nullptr) {
    status.dwWin32ExitCode = GetLastError();
    report(SERVICE_STOPPED);
    return;
  }
  report(SERVICE_RUNNING);
  WaitForSingleObject(stopEvent, INFINITE);
  report(SERVICE_STOPPED);
}

}  // namespace

int main() {
  SERVICE_TABLE_ENTRYW const table[] = {{serviceName, serviceMain}, {nullptr, nullptr}};
  return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
